// Faults from outside, each shown with the log and history files afterwards: lost and cut
// datagrams, strangers' datagrams, a refused password, extreme settings, hostile host names
// and full disks.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "drav_stats.h"
#include "stats_support.h"

namespace {

using drav_sim::Player;
using drav_test::client_line;
using drav_test::Lines;
using drav_test::Polled;
using drav_test::StatsBench;

Player player(const std::string& name, const std::string& ip, int qport) {
  return {.name = name, .ip = ip, .qport = qport, .userinfo = {}};
}

int active_slots(StatsBench& bench) {
  int active = 0;
  for (const ts_client& slot : bench.status().ats_client) {
    active += slot.b_active;
  }
  return active;
}

// "date address 'name' 'hostnames' level" of every history entry.
Lines history_entries() {
  Lines entries;
  for (const ts_listip_data& d : r_dravlistip_get_list()) {
    char text[2200];
    std::snprintf(text, sizeof text, "%d%02d%02d %s '%s' '%s' %d", d.year, d.month, d.day,
                  r_dravip_ip_to_text(d.ip).c_str(), d.name, d.hostnames, d.access_level);
    entries.push_back(text);
  }
  return entries;
}

// A full server whose status reply takes three datagrams.
TEST(FaultsStatus, ReplyCutShortSkipsThePollAndALossInTheMiddleNeverEndsTheProgram) {
  StatsBench bench;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Player-with-a-long-name-%02d-wxyz", i);
    bench.server().set_player(i, player(name, "198.51.100." + std::to_string(i + 1), 2000 + i));
  }
  ASSERT_EQ(bench.poll().second.size(), 33u);
  const std::string history = bench.history();
  const struct {
    const char* what;
    drav_sim::Faults faults;
    bool cut_at_the_end;
  } cases[] = {
      {"last datagram lost", {.drop_datagram = -1}, true},
      {"last datagram cut", {.cut_datagram = -1, .cut_bytes = 300}, true},
      {"first datagram cut", {.cut_datagram = 0, .cut_bytes = 200}, true},
      // Cannot be told from players leaving; it must only be survived.
      {"middle datagram lost", {.drop_datagram = 1}, false},
  };
  for (const auto& c : cases) {
    bench.server().set_faults(c.faults);
    const Polled faulty = bench.poll();
    bench.server().set_faults({});
    const Polled next = bench.poll();
    if (c.cut_at_the_end) {
      EXPECT_EQ(faulty, Polled({"status"}, {})) << c.what;
      EXPECT_EQ(next, Polled({"status"}, {})) << c.what;
      EXPECT_EQ(bench.history(), history) << c.what;
    }
    EXPECT_EQ(active_slots(bench), MAX_CLIENTS) << c.what;
  }
}

TEST(FaultsStrangers, ForgedRepliesFromAnotherPortAreNeverBelieved) {
  StatsBench bench;
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  r_dravstats_update(bench.now);
  bench.now += 10;
  const std::uint16_t main_port = bench.server().commands().front().source_port;
  // Forged status replies stream in from another port, and the server answers late.
  bench.server().start_stream(main_port, 1000, drav_sim::forged_status_datagram());
  bench.server().set_faults({.reply_delay_ms = 100});

  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo", "dumpuser 0", "status"},
                                 {"Server Change     canyon_ridge\n",
                                  client_line("Connect   ", 0, "192.0.2.10", "Alpha")}));
  bench.server().remove_player(0);
  bench.server().set_player(1, player("Beta", "198.51.100.20", 102));
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 1"},
                                 {client_line("Connect   ", 1, "198.51.100.20", "Beta"),
                                  client_line("Disconnect", 0, "192.0.2.10", "Alpha")}));
  // The server's own answers from another port count no more than anyone's.
  bench.server().set_faults({.reply_from_other_port = true});
  bench.server().remove_player(1);
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  bench.server().stop_stream();
  EXPECT_EQ(active_slots(bench), 1);
  EXPECT_EQ(bench.history().find("Intruder"), std::string::npos);
  EXPECT_EQ(bench.history().find("203.0.113.66"), std::string::npos);
}

TEST(FaultsPassword, RefusalIsToldInThePaneOnceUntilAReplyWasAccepted) {
  StatsBench bench;
  std::atomic<bool> refuse = true;
  bench.server().set_reply_override([&refuse](const std::string& command) -> std::optional<Lines> {
    if (refuse && command == "status") {
      return Lines{"\xff\xff\xff\xffprint\nBad rcon_password.\n"};
    }
    return std::nullopt;
  });
  const std::string told =
      "Server Password   rejected (\"Bad rcon_password.\"): check net_server_rcon";
  const struct {
    bool refuse;
    Lines log;
    int pane_lines;  // added to the pane
  } polls[] = {{true, {}, 1},
               {true, {}, 0},
               {false, {"Server Change     canyon_ridge\n"}, 1},
               {true, {}, 1},
               {true, {}, 0}};
  for (const auto& poll : polls) {
    refuse = poll.refuse;
    const int before = r_dravscreen_log_line_count();
    EXPECT_EQ(bench.poll().second, poll.log);
    EXPECT_EQ(r_dravscreen_log_line_count() - before, poll.pane_lines);
    if (poll.refuse && poll.pane_lines == 1) {
      EXPECT_EQ(bench.pane_last(), told);
    }
  }
}

TEST(FaultsSettings, ExtremeIntervalsNeitherOverflowNorStopPolling) {
  for (const std::int32_t extreme : {INT32_MAX, INT32_MIN}) {
    StatsBench bench("", [extreme](ts_config& c) {
      c.poll_interval_status = c.poll_interval_dumpuser = c.poll_interval_serverinfo = extreme;
      c.access_reconnect_timeout = c.access_kicked_reject_timeout = extreme;
    });
    bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
    bench.server().set_player(1, player("Beta", "198.51.100.20", 102));
    // The first call polls whatever the interval; afterwards the interval decides.
    EXPECT_EQ(r_dravstats_run(), 1) << extreme;
    EXPECT_EQ(r_dravstats_run(), extreme > 0 ? 0 : 1) << extreme;
    bench.server().set_player(1, player("Beta2", "198.51.100.20", 102));
    bench.server().remove_player(0);
    const Lines changed = bench.poll().second;
    ASSERT_FALSE(changed.empty()) << extreme;
    EXPECT_EQ(changed.back(), client_line("Disconnect", 0, "192.0.2.10", "Alpha")) << extreme;
    // One player present, fetched once: the full interval, not one less.
    EXPECT_EQ(bench.status().ats_client[1].i_dumpuser_countdown, extreme);
  }
}

TEST(FaultsHostnames, HostNamesCannotBreakOrForgeAHistoryLine) {
  StatsBench bench;
  const std::string forged = "evil\n20120218 192.0.2.99      Forged\\\r;x";
  std::vector<std::string> aliases;
  for (char c = 'a'; c < 'a' + 20; ++c) {
    aliases.emplace_back(100, c);
  }
  bench.hostnames["192.0.2.10"] = {forged, aliases};
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  bench.poll();
  // Line ends and the name separator become "?"; the text stops at a whole name.
  std::string expected = "evil?20120218 192.0.2.99      Forged\\??x";
  for (int i = 0; i < 9; ++i) {
    expected += ";" + aliases[i];
  }
  const Lines written = history_entries();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].find("'Alpha' '" + expected + "' 1"), std::string::npos);
  const std::string file = bench.history();
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1);
  r_dravlistip_init(bench.config());  // as the next start reads it
  EXPECT_EQ(history_entries(), written);
}

TEST(FaultsFiles, AppendsStartANewLineAndAFullDiskLeavesEveryEarlierEntry) {
  drav_test::TempDir dir;
  ts_config config;
  const std::string history = dir.file("history.txt");
  const std::string additions = dir.file("access-add.txt");
  r_dravtools_varcpy(config.log_file_ip, history.c_str());
  r_dravtools_varcpy(config.access_list_file_add, additions.c_str());
  // Earlier entries; each file's last line was edited by hand and lost its line feed. The
  // size also leaves room under the file size limit for the fatal message below.
  std::string earlier;
  for (int i = 1; i <= 60; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "20120218 192.0.2.%-7d Name%d\\host%d.example\n", i, i, i);
    earlier += line;
  }
  earlier += "20120218 192.0.2.100     Red\\gw";
  drav_test::write_file(history, earlier);
  drav_test::write_file(additions, std::string(2000, ';') + "\n" + "0 192.0.2.1");
  const auto restart = [&] {
    r_dravlog_init_first();
    r_dravaccess_init(config);
    r_dravlistip_init(config);
  };
  restart();
  r_dravlistip_add_ip_name(r_dravip_string_to_ip("198.51.100.7"), "Blue", nullptr);
  r_dravaccess_block_ip(r_dravip_string_to_ip("203.0.113.9"), "", "IP banned by admin");
  restart();
  const Lines entries = history_entries();
  ASSERT_EQ(entries.size(), 62u);
  EXPECT_NE(entries[60].find(" 192.0.2.100 'Red' 'gw' 1"), std::string::npos);
  EXPECT_NE(entries[61].find(" 198.51.100.7 'Blue' '' 1"), std::string::npos);
  EXPECT_EQ(r_dravaccess_get_access_level(r_dravip_string_to_ip("192.0.2.1"), nullptr), 0);
  EXPECT_EQ(r_dravaccess_get_access_level(r_dravip_string_to_ip("203.0.113.9"), nullptr), 0);

  const struct {
    std::string path, message;
    std::function<void()> append;
  } appends[] = {
      {history, "./src/drav_listip - File " + history + " could not be closed\n",
       [] { r_dravlistip_add_ip_name(r_dravip_string_to_ip("203.0.113.5"), "Green", "gw"); }},
      {additions, "./src/drav_access - File " + additions + " could not be closed\n",
       [] { r_dravaccess_block_ip(r_dravip_string_to_ip("203.0.113.6"), "Green", "why"); }},
  };
  for (const auto& append : appends) {
    const std::string before = drav_test::read_file(append.path);
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "r", stdin);
          drav_test::FileSizeLimit full(before.size() + 5);
          append.append();
        },
        ::testing::ExitedWithCode(1), drav_test::fatal_stderr_pattern(append.message));
    EXPECT_EQ(drav_test::read_file(append.path), before);
  }
  // The next start after space was freed finds everything as it was.
  restart();
  EXPECT_EQ(history_entries(), entries);
  EXPECT_EQ(r_dravaccess_get_access_level(r_dravip_string_to_ip("203.0.113.6"), nullptr), 1);
}

}  // namespace
