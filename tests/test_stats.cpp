// The tracker against the simulated server with real files and a controlled clock, also faulty.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>

#include "drav_access.h"
#include "drav_event.h"
#include "drav_listip.h"
#include "drav_net.h"
#include "drav_pane.h"
#include "drav_screen.h"
#include "drav_stats.h"
#include "stats_support.h"

namespace {

// Polls that took the server's player list, as the screen hears of them.
int gi_polls_done = 0;
void count_polls_done(const ts_event& event) {
  gi_polls_done += event.te_kind == EVENT_POLL_DONE ? 1 : 0;
}

using namespace drav_test;

constexpr std::string_view PRINT = "\xff\xff\xff\xffprint\n";
constexpr char CC = 0x03;  // console_color of the bench
constexpr char PC = 0x06;  // player_color of the bench

// An announcement as the server receives it; names are framed in the player colour.
std::string say(const std::string& text) {
  return std::string("say \"-\r") + CC + "*** " + CC + text + " " + CC + "***\"";
}
std::string named(const std::string& name) {
  return PC + name + CC;
}

// Nobody is blocked before the first complete poll; settings are asked then, when due and on a
// new map or type, a refusal keeping them. A kicked player still listed (a kick does not always
// take) is kicked again every poll, under its current number.
TEST(Stats, FirstCompletePollAcceptsEveryoneThenSettingsAndKicksFollowTheServer) {
  const int base = drav_test::free_udp_port_range(NET_SLOT_SOCKETS + 1);
  ASSERT_NE(base, 0);
  StatsBench bench("0 192.0.2.0/24       banned range\n", [&](ts_config& c) {
    c.say_connect_incoming = c.say_connect_block = 1;
    c.say_connect_reject_kicked = c.say_connect_cancel = 1;
    c.net_client_port = base;
    c.poll_interval_serverinfo = 30;
  });
  ts_status& status = bench.status;
  drav_sim::SimServer& server = bench.server;
  server.set_map("dm_canyon", "coop");
  server.set_serverinfo({{"mapname", "dm_canyon"}, {"hostname", "\x01My \x02Server"}});
  const drav_sim::Player bravo = player("\002Bravo", "198.51.100.7", 102, true);
  server.set_player(0, player("Alpha", "192.0.2.10", 101));
  server.set_player(3, bravo);
  server.set_faults({.silent = true});
  gi_polls_done = 0;
  r_dravevent_add_listener(count_polls_done);
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  EXPECT_EQ(gi_polls_done, 0);
  server.set_faults({});
  const std::time_t first = bench.now;
  // Each player is asked on its number's socket, after the announcements and kicks; changed
  // settings (one reply joined from datagrams) are asked twice.
  EXPECT_EQ(
      bench.poll(),
      Polled({"status", "serverinfo", "serverinfo", say("Incoming: " + named("\002Bravo")),
              "dumpuser 0", "dumpuser 3"},
             {"Server Change     dm_canyon\n", client_line("Connect   ", 0, "192.0.2.10", "Alpha"),
              client_line("Connect   ", 3, "198.51.100.7", "Bravo")}));
  EXPECT_EQ(bench.ports, (std::vector<int>{base, base, base, base, base + 1, base + 4}));
  EXPECT_EQ(gi_polls_done, 1);
  r_dravevent_remove_listener(count_polls_done);
  EXPECT_EQ(status.i_hostname_length, 9u);            // colour codes do not count
  EXPECT_EQ(status.ats_client[0].i_access_level, 0);  // known, though not applied yet

  status.ats_client[3].i_kick_reason = KICK_ADMIN;            // what the screen does
  EXPECT_EQ(bench.poll(), Polled({"status", "kick 3"}, {}));  // 10 s
  server.remove_player(3);  // kicked while connecting: no cancel to announce
  EXPECT_EQ(bench.poll(),
            Polled({"status"}, {client_line("Disconnect", 3, "198.51.100.7", "Bravo")}));
  server.set_player(6, bravo);  // 30 s: the settings are due, and identical
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo", say("Rejected: " + named("\002Bravo")),
                                  "kick 6", "dumpuser 6"},
                                 {client_line("Reject    ", 6, "198.51.100.7", "Bravo")}));
  EXPECT_EQ(status.t_last_serverinfo, first + 30);
  EXPECT_EQ(status.ats_client[6].i_access_level, 0);
  // From the second complete poll on, the access list applies to newcomers.
  server.set_player(6, bravo);  // the simulated kick took: undo it
  server.set_map("dm_harbor", "coop");
  server.set_player(5, player("Charlie", "192.0.2.20", 103));
  EXPECT_EQ(bench.poll(),
            Polled({"status", "serverinfo", "serverinfo", say("Blocked: " + named("Charlie")),
                    "kick 5", "kick 6", "dumpuser 5", "dumpuser 6"},
                   {"Server Change     dm_harbor\n",
                    client_line("Block     ", 5, "192.0.2.20", "Charlie")}));
  // A change of settings other than the host name keeps the host name length.
  status.i_hostname_length = 99;
  server.set_serverinfo(
      {{"mapname", "dm_harbor"}, {"hostname", "\x01My \x02Server"}, {"fraglimit", "40"}});
  server.set_map("dm_harbor", "ctf");
  server.remove_player(6);
  server.set_player(11, bravo);
  // Bravo's details are asked at once under the new number, after the kick.
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo", "serverinfo", "kick 11", "dumpuser 11"},
                                 {"Server Change     dm_harbor\n",
                                  client_line("Change    ", 11, "198.51.100.7", "Bravo"),
                                  client_line("Disconnect", 5, "192.0.2.20", "Charlie")}));
  EXPECT_EQ(status.i_hostname_length, 99u);
  EXPECT_EQ(status.ts_serverinfo.i_fraglimit, 40);

  server.set_reply_override([](const std::string& command) -> std::optional<Lines> {
    return command == "serverinfo" ? std::optional(Lines{"\xff\xff\xff\xffprint\nno settings\n"})
                                   : std::nullopt;
  });
  server.set_map("dmap9", "coop");
  for (int poll = 0; poll < 2; ++poll) {  // asked again on the next poll
    const Lines gone = {client_line("Disconnect", 11, "198.51.100.7", "Bravo")};
    EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, poll == 0 ? gone : Lines{}));
    EXPECT_EQ(status.t_last_serverinfo, 0);
    EXPECT_EQ(status.ts_serverinfo.i_fraglimit, 40);
  }

  // Intervals use a clock the wall clock's corrections do not move; an unanswered poll counts.
  server.set_faults({.silent = true});
  status.t_last_status = r_dravstats_clock() - 5;
  EXPECT_EQ(r_dravstats_run(), 0);
  const std::time_t before = r_dravstats_clock();
  status.t_last_status = before - 10;
  server.clear_commands();
  EXPECT_EQ(r_dravstats_run(), 1);
  EXPECT_EQ(server.commands().size(), 1u);  // the poll ran: one status, not answered
  EXPECT_GE(status.t_last_status, before);
}

// Eve arrives on a running server and leaves: logged, decided and announced as configured.
TEST(Stats, ArrivalIsDecidedByTheAccessListAndArrivalAndCancelAreAnnouncedAsConfigured) {
  const char* const FRIEND = "5 203.0.113.9        old friend\n";  // comments begin in column 21
  const char* const CHEATER = "0 203.0.113.0/24     cheater\n";
  const std::string in = "Incoming: " + named("Eve"), out = "Blocked: " + named("Eve");
  const struct {
    int level, say_incoming, say_block;
    bool connecting;
    const char* list;
    int access;
    std::string say;  // empty: no announcement
  } cases[] = {
      {1, 1, 0, true, FRIEND, 5, in},
      {1, 2, 0, true, FRIEND, 5, in + " (" + named("old friend") + ")"},
      {1, 2, 0, true, "", 1, in},
      {1, 0, 0, true, FRIEND, 5, ""},
      {1, 2, 0, false, FRIEND, 5, ""},  // already connected
      {5, 0, 1, false, FRIEND, 5, ""},  // the level equals the threshold
      {6, 1, 2, true, FRIEND, 5, out + " (" + named("old friend") + ")"},
      {1, 1, 1, true, CHEATER, 0, out},
      {1, 1, 2, true, "0 203.0.113.9\n", 0, out},
      {1, 1, 0, true, CHEATER, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.say + " " + c.list + std::to_string(c.say_incoming));
    StatsBench bench(c.list, [&](ts_config& config) {
      config.access_level = c.level;
      config.say_connect_incoming = c.say_incoming;
      config.say_connect_block = c.say_block;
      config.say_connect_cancel = c.say_incoming > 0 ? 1 : 0;
    });
    bench.poll();  // an empty server: Eve is a newcomer
    bench.server.set_player(0, player("Eve", "203.0.113.9", 555, c.connecting));
    const bool block = c.access < c.level;
    Lines commands = {"status", c.say.empty() ? "" : say(c.say), block ? "kick 0" : "",
                      "dumpuser 0"};
    std::erase(commands, "");
    EXPECT_EQ(bench.poll(), Polled(commands, {client_line(block ? "Block     " : "Connect   ", 0,
                                                          "203.0.113.9", "Eve")}));
    EXPECT_EQ(bench.status.ats_client[0].i_access_level, c.access);
    // Leaving before the connection completed is announced, unless Eve was kicked.
    bench.server.remove_player(0);
    const bool chickened = c.connecting && !block && c.say_incoming > 0;
    commands = {"status", chickened ? say(named("Eve") + " chickened out") : ""};
    std::erase(commands, "");
    EXPECT_EQ(bench.poll(), Polled(commands, {client_line("Disconnect", 0, "203.0.113.9", "Eve")}));
  }
}

// Reverse-zone host names: line ends and the separator become "?", the text ends at a whole name.
// One address, port and qport listed twice is two players; one leaving keeps the other's text.
TEST(Stats, HostNamesCannotBreakAHistoryLineAndAreNeverShared) {
  StatsBench bench;
  std::vector<std::string> aliases;
  // The text holds at most 1024 bytes: after the 40-byte name, nine 100-byte aliases and a
  // 74-byte one fill it exactly, and the next does not fit.
  std::string expected = "evil?20120218 192.0.2.99      Forged\\??x";
  for (char c = 'a'; c < 'a' + 20; ++c) {
    aliases.emplace_back(c == 'a' + 9 ? 74 : 100, c);
    expected += c <= 'a' + 9 ? ";" + aliases.back() : "";
  }
  bench.hostnames["192.0.2.10"] = {"evil\n20120218 192.0.2.99      Forged\\\r;x", aliases};
  bench.server.set_player(1, player("One", "192.0.2.10", 101));
  bench.poll();
  EXPECT_EQ(bench.history().substr(8), " 192.0.2.10      One\\" + expected + "\n");

  bench.server.set_player(4, player("Two", "192.0.2.10", 101));
  EXPECT_EQ(bench.poll().second, Lines{client_line("Connect   ", 4, "192.0.2.10", "Two")});
  EXPECT_EQ(bench.poll().second, Lines{});
  bench.server.remove_player(1);
  EXPECT_EQ(bench.poll().second, Lines{client_line("Disconnect", 1, "192.0.2.10", "One")});
  EXPECT_EQ(bench.status.ats_client[4].pc_hostnames, expected);
  // A new start forgets every player, host-name texts included: all are newcomers again.
  r_dravstats_init(bench.config, bench.status);
  EXPECT_FALSE(bench.status.ats_client[4].pc_hostnames.has_value());
  EXPECT_EQ(bench.poll().second, (Lines{"Server Change     canyon_ridge\n",
                                        client_line("Connect   ", 4, "192.0.2.10", "Two")}));
}

// Each fetch waits the interval, but only ceil(players / interval) fetches a poll wait it whole,
// the rest one poll less, so players due together drift apart.
TEST(Stats, DetailsFallingDueTogetherAreSpreadOverPolls) {
  const Lines renamed = {"status", "dumpuser 0", "dumpuser 1"},
              all = {"status", "dumpuser 0", "dumpuser 1", "dumpuser 2"};
  const struct {
    int interval;  // -1: every poll, 0: on changes only
    Lines second;  // the commands of the poll that renames A and B
    Lines next;    // the commands of the poll after that
  } cases[] = {
      {-1, all, all},
      {0, renamed, {"status"}},
      {2, renamed, {"status", "dumpuser 2"}},
      {INT32_MAX, renamed, {"status"}},  // the largest wait does not wrap into every poll
  };
  for (const auto& c : cases) {
    StatsBench bench("", [&](ts_config& config) { config.poll_interval_dumpuser = c.interval; });
    const auto put = [&bench](const std::string& suffix) {
      bench.server.set_player(0, player("A" + suffix, "192.0.2.1", 1));
      bench.server.set_player(1, player("B" + suffix, "192.0.2.2", 2));
      return bench.poll().first;
    };
    bench.server.set_player(2, player("C", "192.0.2.3", 3));
    put("");
    // Renamed players are fetched at once; three players at interval 2: two fetches keep it whole.
    EXPECT_EQ(put("2"), c.second) << c.interval;
    EXPECT_EQ(bench.poll().first, c.next) << c.interval;
  }
}

// 32 players with 31-byte names need three datagrams; a reply losing or cutting one skips the
// poll. A newcomer whose details do not come waits for them, asked again each poll. A poll
// without a usable reply changes nothing but still expires the lists.
TEST(StatsFaults, UnusableRepliesChangeNothingButTheLists) {
  StatsBench bench;
  ts_status& status = bench.status;
  for (int i = 0; i < 32; ++i) {  // a full server of the usual size
    char name[32];
    std::snprintf(name, sizeof name, "Player-with-a-long-name-%02d-wxyz", i);
    bench.server.set_player(i, player(name, "198.51.100." + std::to_string(i + 1), 2000 + i));
  }
  std::atomic<bool> refuse_details = true;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    return refuse_details && command == "dumpuser 1" ? std::optional(Lines{}) : std::nullopt;
  });
  const Lines first = bench.poll().second;
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(first.back(),
            client_line("Connect   ", 31, "198.51.100.32", "Player-with-a-long-name-31-wxyz"));
  const ts_client& slot = status.ats_client[1];
  EXPECT_EQ(slot.b_active, 0);
  const std::string history = bench.history();
  // The last datagram without the empty line that closes the list, then other losses: a reply
  // showing a loss is asked once more; the slots it lists are checked up to where it stops.
  const std::size_t last_size = bench.server.execute("status").back().size();
  const Lines checked = {"status", "status", "dumpuser 1"};
  for (const auto& [fault, asked] : std::vector<std::pair<drav_sim::Faults, Lines>>{
           {{.cut_datagram = -1, .cut_bytes = last_size - 1}, checked},
           {{.drop_datagram = -1}, checked},
           {{.cut_datagram = 0, .cut_bytes = 200}, {"status", "status"}}}) {
    bench.server.set_faults(fault);
    EXPECT_EQ(bench.poll(), Polled(asked, {})) << fault.cut_bytes;
  }
  bench.server.set_faults({});
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 1"}, {}));
  EXPECT_EQ(bench.history(), history);
  refuse_details = false;
  const std::string name = "Player-with-a-long-name-01-wxyz";
  EXPECT_EQ(bench.poll(),
            Polled({"status", "dumpuser 1"}, {client_line("Connect   ", 1, "198.51.100.2", name)}));
  EXPECT_EQ(slot.i_dumpuser_countdown, 0);
  EXPECT_EQ(slot.ts_info.ac_name, name);
  refuse_details = true;
  ts_dumpuser info = slot.ts_info;
  EXPECT_EQ(r_dravstats_do_dumpuser(info, 1), 0);
  EXPECT_TRUE(info == ts_dumpuser{});

  bench.server.remove_player(0);
  bench.server.set_faults({.silent = true});
  EXPECT_EQ(bench.poll().second, Lines{});
  bench.server.set_faults({});
  EXPECT_EQ(bench.poll().second,
            Lines{client_line("Disconnect", 0, "198.51.100.1", "Player-with-a-long-name-00-wxyz")});
  ASSERT_FALSE(status.pts_disconnected.empty());
  gi_polls_done = 0;
  r_dravevent_add_listener(count_polls_done);
  bench.now += 50;  // the departure is now as old as access_reconnect_timeout
  bench.server.remove_player(1);
  bench.server.set_faults({.silent = true});
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  EXPECT_TRUE(status.pts_disconnected.empty());
  EXPECT_EQ(gi_polls_done, 0);
  r_dravevent_remove_listener(count_polls_done);
  EXPECT_EQ(status.ats_client[1].b_active, 1);
}

// The status reply after a lost datagram: the text split inside two players' lines at the
// same column, so the first one's start joins the second's end into one full-length line.
Lines spliced(drav_sim::SimServer& server, const std::string& first, const std::string& second) {
  std::string text;
  for (const std::string& datagram : server.execute("status"))
    text += datagram.substr(PRINT.size());
  const std::size_t from = text.find(first) + 5, to = text.find(second) + 5;
  return {std::string(PRINT) + text.substr(0, from), std::string(PRINT) + text.substr(to)};
}

std::string long_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "Player%02dxxxxxxxxxxxxxxxxxxxxxxx", i);
  return name;
}

// Players 0..count-1 with 31-byte names at 192.0.2.10 on: twelve fit one status datagram,
// twenty need two.
void fill_players(StatsBench& bench, int count = 12) {
  for (int i = 0; i < count; ++i)
    bench.server.set_player(i, player(long_name(i), "192.0.2." + std::to_string(10 + i), 3000 + i));
  ASSERT_EQ(bench.poll().second.size(), static_cast<std::size_t>(count) + 1);
}

// Renames the player of a slot on the server, keeping everything else.
void rename(StatsBench& bench, int slot, const std::string& name) {
  drav_sim::Player renamed = *bench.server.player(slot);
  renamed.name = name;
  bench.server.set_player(slot, renamed);
}

// A reply that lost a datagram can join one player's line start to another's end and lack the
// players between: each slot it would change is checked with the slot's details. It logs,
// records and kicks nothing (all here would be blocked). A real departure among the lost lines
// could be a move into another lost line: it is logged once the details of every slot a lost
// line could hold, and the player's own slot asked last, show the player nowhere. A newcomer
// whose line was lost waits for a reply and details that agree.
TEST(StatsFaults, ALostStatusDatagramSplicesNobody) {
  StatsBench bench("0 192.0.2.0/24\n");
  fill_players(bench);
  const std::string history = bench.history();
  std::atomic<int> damage_countdown = 0;  // the status request to damage, counted from 1
  std::atomic<const char*> first = "Player05", second = "Player10";
  std::atomic<int> details_lost = -1;  // the slot whose details are lost; MAX_CLIENTS: all
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (command.starts_with("dumpuser") &&
        (details_lost == MAX_CLIENTS || command == "dumpuser " + std::to_string(details_lost)))
      return Lines{};
    if (command != "status" || --damage_countdown != 0)
      return std::nullopt;
    return spliced(bench.server, first.load(), second.load());
  });
  const struct {
    const char *first, *second, *leaves;
    bool taken;
    int lost_to;  // the last slot a lost line could hold: after the last line, the server's last
  } cases[] = {
      {"Player05", "Player10", nullptr, false, 0}, {"Player00", "Player03", nullptr, false, 0},
      {"Player09", "Player11", nullptr, false, 0}, {"Player05", "Player10", "08", false, 10},
      {"Player04", "Player06", "05", false, 6},    {"Player09", "Player11", "10", true, 31},
  };
  for (const auto& c : cases) {
    first = c.first;
    second = c.second;
    Lines gone;
    if (c.leaves != nullptr) {
      const int slot = std::stoi(c.leaves);
      bench.server.remove_player(slot);
      gone = {
          client_line("Disconnect", slot, "192.0.2." + std::to_string(10 + slot), long_name(slot))};
      if (c.taken)
        bench.server.set_player(slot, player("Newcomer", "198.51.100.7", 7));
    }
    damage_countdown = 1;
    Lines asked = {"status"};
    for (int slot = std::stoi(c.first + 6); slot <= std::max(std::stoi(c.second + 6), c.lost_to);
         ++slot)
      asked.push_back("dumpuser " + std::to_string(slot));
    if (c.leaves != nullptr)
      asked.push_back("dumpuser " + std::to_string(std::stoi(c.leaves)));
    EXPECT_EQ(bench.poll(), Polled(asked, gone)) << c.first << c.second;
    asked = {"status"};
    if (c.taken) {  // the next reply comes whole in two datagrams
      first = second = "Player00";
      damage_countdown = 1;
      details_lost = MAX_CLIENTS;
      asked.push_back(std::string("dumpuser ") + c.leaves);
    }
    EXPECT_EQ(bench.poll(), Polled(asked, {})) << c.first << c.second;
  }
  // Player04 takes the slot Player07 left, while lines are lost: Player04 is not logged as gone,
  // Player07, whom no slot a lost line could hold shows, is.
  details_lost = -1;
  bench.server.remove_player(10);
  const drav_sim::Player four = *bench.server.player(4);
  bench.server.remove_player(4);
  bench.server.set_player(7, four);
  first = "Player00";
  second = "Player03";
  damage_countdown = 1;
  EXPECT_EQ(bench.poll().second, Lines({client_line("Change    ", 7, "192.0.2.14", long_name(4)),
                                        client_line("Disconnect", 7, "192.0.2.17", long_name(7))}));
  // Player02's slot is taken while the lines of slots 2 to 6 are lost, and slot 3's details
  // with them: Player02 may be in slot 3 and is kept. The next reply lists the newcomer in slot
  // 2, whose details are lost now: Player02 left, as the details said a poll before.
  bench.server.set_player(2, player("Other", "198.51.100.8", 8));
  details_lost = 3;
  first = "Player01";
  second = "Player06";
  damage_countdown = 1;
  EXPECT_EQ(bench.poll().second, Lines{});
  details_lost = 2;
  first = second = "Player00";
  damage_countdown = 1;
  EXPECT_EQ(bench.poll().second, Lines{client_line("Disconnect", 2, "192.0.2.12", long_name(2))});
  EXPECT_EQ(bench.history(), history);
  details_lost = -1;
  EXPECT_EQ(bench.poll().second, Lines{client_line("Connect   ", 2, "198.51.100.8", "Other")});
  // Player00 moves to slot 1 and Zero takes slot 0, while the lines of slots 1 to 3 are lost and
  // slot 1's details with them: Player00 may be in slot 1 and keeps slot 0 until a whole reply.
  const drav_sim::Player zero = *bench.server.player(0);
  bench.server.set_player(0, player("Zero", "198.51.100.9", 9));
  bench.server.set_player(1, zero);
  details_lost = 1;
  first = "Player00";
  second = "Player04";
  damage_countdown = 1;
  EXPECT_EQ(bench.poll().second, Lines{});
  details_lost = -1;
  EXPECT_EQ(bench.poll().second, Lines({client_line("Connect   ", 0, "198.51.100.9", "Zero"),
                                        client_line("Change    ", 1, "192.0.2.10", long_name(0)),
                                        client_line("Disconnect", 1, "192.0.2.11", long_name(1))}));
}

// A slot whose details do not settle what a damaged reply says keeps its stored player and
// stored details (not compared then); the rename is logged once a reply confirms it.
TEST(StatsFaults, DetailsWaitForASlotToBeConfirmed) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_dumpuser = 1; });
  fill_players(bench);
  std::atomic<int> damage_countdown = 1;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (command != "status" || --damage_countdown != 0)
      return std::nullopt;
    return spliced(bench.server, "Player05", "Player10");
  });
  rename(bench, 7, "Seven");
  EXPECT_EQ(bench.poll().second, Lines{});
  EXPECT_EQ(bench.status.ats_client[7].ts_info.ac_name, long_name(7));
  EXPECT_EQ(bench.poll().second, Lines{client_line("Change    ", 7, "192.0.2.17", "Seven")});
}

// The blocked Mallory's slot is taken by Innocent; the reply (two datagrams) says so, but
// Innocent's details do not come: the slot keeps Mallory unconfirmed, and no kick goes to it.
TEST(StatsFaults, AKickGoesOnlyToTheOccupantTheLatestReplyConfirmed) {
  StatsBench bench("0 192.0.2.0/24\n");
  fill_players(bench, 20);
  const drav_sim::Player mallory = player("Mallory", "192.0.2.99", 99);
  bench.server.set_player(25, mallory);
  EXPECT_EQ(bench.poll().second, Lines{client_line("Block     ", 25, "192.0.2.99", "Mallory")});
  bench.server.set_player(25, mallory);  // the kick did not take
  const Lines with_mallory = bench.server.execute("status");
  bench.server.set_player(25, player("Innocent", "198.51.100.50", 50));
  std::atomic<int> statuses = 0;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (command == "dumpuser 25")
      return Lines{};
    return command == "status" && ++statuses == 2 ? std::optional(with_mallory) : std::nullopt;
  });
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 25"}, {}));
  bench.server.set_reply_override({});
  EXPECT_EQ(bench.poll().second, (Lines{client_line("Connect   ", 25, "198.51.100.50", "Innocent"),
                                        client_line("Disconnect", 25, "192.0.2.99", "Mallory")}));
  for (const drav_sim::Kick& kick : bench.server.kicks())
    EXPECT_EQ(kick.player.name, "Mallory");
  // A marked player the reply lists unchanged is kicked before a newcomer's details are asked.
  bench.status.ats_client[3].i_kick_reason = KICK_ADMIN;  // what the screen does
  bench.server.set_player(26, player("Newcomer", "198.51.100.26", 26));
  EXPECT_EQ(bench.poll().first, Lines({"status", "kick 3", "dumpuser 26"}));
}

// A server splits an unchanged table at the same bytes every time, so losing the middle
// datagram of every reply damages each the same way: checked by the details, nothing of it is
// taken. A datagram longer than the read takes is no details reply, even cut at a line end.
TEST(StatsFaults, RepliesDamagedAlikeAndDatagramsCutByTheReadAreNotTaken) {
  StatsBench bench("0 192.0.2.0/24\n");
  fill_players(bench, 32);
  const std::string history = bench.history();
  bench.server.set_faults({.drop_datagram = 1, .only_command = "status"});
  for (int poll = 0; poll < 3; ++poll)
    EXPECT_EQ(bench.poll().second, Lines{}) << poll;
  EXPECT_EQ(bench.history(), history);
  EXPECT_TRUE(bench.server.kicks().empty());

  std::string details = std::string(PRINT) + "userinfo\n--------\nname                Player01\n" +
                        "ip                  192.0.2.11:27901\n";
  while (details.size() < 2052)
    details += "skin                male/grunt\n";
  details.resize(2052);
  details.back() = '\n';
  // A copy: the server's thread may still answer a late request after the test's end.
  bench.server.set_reply_override([details](const std::string&) -> std::optional<Lines> {
    return Lines{details + "fov                 90\n"};
  });
  ts_dumpuser info;
  EXPECT_EQ(r_dravstats_do_dumpuser(info, 1), 0);
}

// A player renaming at every status request, in a busy server's reply: each name the details
// confirm is logged and recorded.
TEST(StatsFaults, ANameChangedFasterThanThePollsIsLoggedWhenTheDetailsAgree) {
  StatsBench bench;
  fill_players(bench, 20);
  std::atomic<int> renames = 0;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (command == "status")
      rename(bench, 2, "Fast" + std::to_string(++renames));
    return std::nullopt;
  });
  for (int poll = 1; poll <= 3; ++poll) {
    const std::string name = "Fast" + std::to_string(renames + 1);
    EXPECT_EQ(bench.poll(),
              Polled({"status", "dumpuser 2"}, {client_line("Change    ", 2, "192.0.2.12", name)}));
    EXPECT_NE(bench.history().find(" 192.0.2.12      " + name + "\\"), std::string::npos);
  }
}

// Eve takes Player02's slot between the status reply and his due details request: her details
// are not taken for his, and the next poll tells what happened.
TEST(StatsFaults, DetailsOfTheNextOccupantAreNotTakenAsThePlayersOwn) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_dumpuser = 1; });
  fill_players(bench);
  std::atomic<bool> taken = false;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (command == "dumpuser 2" && !taken.exchange(true))
      bench.server.set_player(2, player("Eve", "203.0.113.5", 5));
    return std::nullopt;
  });
  EXPECT_EQ(bench.poll().second, Lines{});
  EXPECT_EQ(bench.status.ats_client[2].ts_info.ac_name, long_name(2));
  EXPECT_EQ(bench.poll().second, (Lines{client_line("Connect   ", 2, "203.0.113.5", "Eve"),
                                        client_line("Disconnect", 2, "192.0.2.12", long_name(2))}));
}

// Two players on one address; the operator bans one, the other leaves and comes back within
// the reconnect time: the ban wins. A player whose port changes in the same slot stays.
TEST(StatsFaults, ABanWinsOverAReturnAndANewPortIsTheSamePlayer) {
  StatsBench bench;
  drav_sim::Player one = player("One", "192.0.2.7", 1), two = player("Two", "192.0.2.7", 2);
  two.port = 27999;
  bench.server.set_player(1, one);
  bench.server.set_player(2, two);
  bench.poll();
  one.port = 40000;  // behind a router that picked another port
  bench.server.set_player(1, one);
  EXPECT_EQ(bench.poll().second, Lines{});
  EXPECT_EQ(bench.status.ats_client[1].ts_line.ts_address.port, 40000);

  r_dravaccess_block_ip(bench.status.ats_client[1].ts_line.ts_address.ip, "One", "banned");
  r_dravstats_forget_departed(bench.status, bench.status.ats_client[1].ts_line.ts_address.ip);
  bench.status.ats_client[1].i_kick_reason = KICK_ADMIN_BAN;  // what the screen does
  bench.server.remove_player(2);
  EXPECT_EQ(bench.poll(),
            Polled({"status", "kick 1"}, {client_line("Disconnect", 2, "192.0.2.7", "Two")}));
  bench.server.set_player(2, two);
  EXPECT_EQ(bench.poll().second, (Lines{client_line("Block     ", 2, "192.0.2.7", "Two"),
                                        client_line("Disconnect", 1, "192.0.2.7", "One")}));
}

// Player07, on the server at start, renames during the first poll and his details are lost
// then: taken in on the next poll, he is not blocked.
TEST(StatsFaults, APlayerPresentAtStartIsNotBlockedAfterRenamingInTheFirstPoll) {
  StatsBench bench("0 192.0.2.0/24\n");
  for (int i = 0; i < 20; ++i)
    bench.server.set_player(i, player(long_name(i), "192.0.2." + std::to_string(10 + i), 3000 + i));
  std::atomic<int> asked = 0;
  std::atomic<bool> lost = false;
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (++asked == 2)
      rename(bench, 7, "Seven");
    return command == "dumpuser 7" && !lost.exchange(true) ? std::optional(Lines{}) : std::nullopt;
  });
  EXPECT_EQ(bench.poll().second.size(), 20u);
  EXPECT_EQ(bench.poll().second, Lines{client_line("Connect   ", 7, "192.0.2.17", "Seven")});
}

// A server of 64 slots in the bracketed layout: players above 31 are logged, asked for details on
// the socket of their slot, and a ban of slot 40 ends in a kick and, on return, Block and kick.
// The settings come without their empty line and are not asked again; details after a rename
// lack the address and are whole.
TEST(Stats, SlotsAbove31AreTrackedAndEnforcedInThePlainLayouts) {
  const int base = drav_test::free_udp_port_range(NET_SLOT_SOCKETS + 1);
  ASSERT_NE(base, 0);
  // The status of 48 players comes in several datagrams: a fixed wait for each next one, so that
  // a busy machine cannot end the first reply early.
  StatsBench bench("", [&](ts_config& c) {
    c.net_client_port = base;
    c.net_response_timeout_next = 300;
  });
  drav_sim::SimServer& server = bench.server;
  server.set_layout(drav_sim::Layout::BRACKETED);
  server.set_max_clients(64);
  server.fill_players(48);
  const Polled first = bench.poll();
  ASSERT_EQ(first.second.size(), 49u);
  EXPECT_EQ(first.second[41], client_line("Connect   ", 40, "192.0.2.41", "Player40"));
  const auto asked = std::ranges::find(first.first, "dumpuser 47");
  ASSERT_NE(asked, first.first.end());
  EXPECT_EQ(bench.ports[static_cast<std::size_t>(asked - first.first.begin())], base + 48);
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));

  server.rename_player(40, "Forty");
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 40"},
                                 {client_line("Change    ", 40, "192.0.2.41", "Forty")}));
  EXPECT_EQ(bench.status.ats_client[40].ts_info.ts_address, (ts_ip_port{ip("192.0.2.41"), 27941}));
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));

  r_dravscreen_attach(bench.config, bench.status);
  r_dravscreen_set_client_cursor({0, 40});
  r_dravscreen_apply_key('B');
  EXPECT_EQ(bench.poll(),
            Polled({"status", "kick 40"}, {client_line("Admin ban ", 40, "192.0.2.41", "Forty")}));
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 40"},
                                 {client_line("Disconnect", 40, "192.0.2.41", "Forty")}));
  server.set_player(
      40, {.name = "Forty", .ip = "192.0.2.41", .port = 27941, .qport = 1280, .userinfo = {}});
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 40", "kick 40"},
                                 {client_line("Block     ", 40, "192.0.2.41", "Forty")}));
}

// Only a poll without any reply counts toward silence, told after three intervals, and the
// return with how long. A reply of an unknown layout (on two polls in a row) and a refused password
// are told once until a reply is understood; a cut reply counts toward nothing. All in the pane
// only.
TEST(StatsFaults, RepliesNotUnderstoodRefusedOrCutAreNoSilence) {
  StatsBench bench;
  bench.poll();
  std::atomic<int> answer = 0;  // 0 the real one, 1 not understood, 2 refused, 3 none
  bench.server.set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    const char* texts[] = {"", "Server is busy\tloading a level, come back later\nmore\n",
                           "Bad rcon_password.\n"};
    if (command != "status" || answer == 0)
      return std::nullopt;
    return answer == 3 ? Lines{} : Lines{std::string(PRINT) + texts[answer]};
  });
  const auto told = [&](const std::vector<int>& answers) {
    const int before = r_dravpane_line_count();
    for (const int each : answers) {
      answer = each;
      EXPECT_EQ(bench.poll().second, Lines{});
    }
    Lines lines;
    for (int line = before; line < r_dravpane_line_count(); ++line)
      lines.push_back(drav_test::without_stamp(r_dravpane_line(line)));
    return lines;
  };
  EXPECT_EQ(told({1, 1, 1, 1}),
            Lines{"Server Reply not understood: Server is busy?loading a level, come bac"});
  const Lines refused = {
      "Server Password   rejected (\"Bad rcon_password.\"): check net_server_rcon"};
  EXPECT_EQ(told({2, 2, 2, 2, 1}), refused);
  EXPECT_EQ(told({0, 2, 2}), refused);  // told again once a reply was accepted
  // One such reply alone may be one that lost its beginning on the way: told from the second.
  EXPECT_EQ(told({0, 1}), Lines{});
  EXPECT_EQ(told({1}),
            Lines{"Server Reply not understood: Server is busy?loading a level, come bac"});
  // A reply without its closing line, between silent polls, neither breaks nor adds to silence.
  bench.server.set_faults({.cut_datagram = -1, .cut_bytes = 40, .only_command = "status"});
  const Lines silent = told({3, 3, 0, 3, 3});
  ASSERT_EQ(silent.size(), 1u);
  EXPECT_TRUE(
      std::regex_match(silent[0], std::regex("Server Silent since [0-2][0-9](:[0-5][0-9]){2}")))
      << silent[0];
  bench.server.set_faults({});
  EXPECT_EQ(told({0}), Lines{"Server Replying again after 50 s"});

  // A server that floods blanks without end after its reply: every reply stops at its bounds
  // and counts toward nothing, however long the flood lasts; then polls go on as before.
  bench.server.set_faults({.endless_ms = 0, .endless_blanks = true, .only_command = "status"});
  EXPECT_EQ(told({0, 0, 0, 0}), Lines{});
  // A fixed wait for further datagrams, so that a busy machine's pause in the flood cannot end
  // the reply before its bound.
  bench.config.net_response_timeout_next = 2000;
  bool b_bounded = false;
  const auto flooded = r_dravnet_send_command("status", -1, NET_MAIN_SOCKET, &b_bounded);
  EXPECT_EQ(std::tuple(flooded.value_or("").size(), b_bounded),
            std::tuple(NET_REPLY_MAX_BYTES, true));
  bench.config.net_response_timeout_next = 0;
  bench.server.set_faults({});
  bench.poll();  // may still take blanks sent before the flood stopped
  EXPECT_EQ(told({0}), Lines{});
}

// History lines without their date and its blank.
std::string undated(std::string text) {
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
    text.erase(at, 9);
  return text;
}

// A look-up never holds up a poll: Connect lines come at once, the history entry when the
// look-up ends (a rename meanwhile waits for it too), and without host names after its 10 s
// bound or when the history finishes first.
TEST(StatsFaults, LookUpsRunBesideThePollsAndAreBounded) {
  StatsBench bench;
  // Closed gates hold the look-ups of .20 (opened in the test) and of .22 and .23 (never).
  auto open = std::make_shared<std::atomic<bool>>(false);
  r_dravip_set_resolver([open](std::uint32_t ip) -> std::optional<ts_hostent> {
    while ((ip & 0xFF) >= 20 && (ip & 0xFF) != 21 && ((ip & 0xFF) != 20 || !*open))
      usleep(1000);
    return ts_hostent{"host" + std::to_string(ip & 0xFF) + ".example", {}};
  });
  bench.server.set_player(1, player("Slow", "192.0.2.20", 1));
  bench.server.set_player(2, player("Quick", "192.0.2.21", 2));
  r_dravstats_update(bench.now);
  for (const std::string& connect : {client_line("Connect   ", 1, "192.0.2.20", "Slow"),
                                     client_line("Connect   ", 2, "192.0.2.21", "Quick")})
    EXPECT_NE(read_file(bench.config.log_file).find(connect), std::string::npos);
  while (r_dravlistip_lookups_waiting() > 1)
    r_dravlistip_run();
  const auto line = [](const char* address, const std::string& name, const std::string& hosts) {
    return address + std::string(16 - std::strlen(address), ' ') + name + "\\" + hosts + "\n";
  };
  const auto history = [&bench] { return undated(bench.history()); };
  EXPECT_EQ(history(), line("192.0.2.21", "Quick", "host21.example"));
  bench.server.set_player(1, player("Slower", "192.0.2.20", 1));
  bench.now += 10;
  r_dravstats_update(bench.now);  // polled while the look-up waits
  EXPECT_NE(
      read_file(bench.config.log_file).find(client_line("Change    ", 1, "192.0.2.20", "Slower")),
      std::string::npos);
  *open = true;
  bench.server.set_player(3, player("Late", "192.0.2.22", 3));
  bench.poll();  // waits until .20 is answered and .22 has passed its bound
  EXPECT_EQ(history(), line("192.0.2.21", "Quick", "host21.example") +
                           line("192.0.2.20", "Slow", "host20.example") +
                           line("192.0.2.20", "Slower", "host20.example") +
                           line("192.0.2.22", "Late", ""));
  EXPECT_EQ(bench.status.ats_client[1].pc_hostnames, "host20.example");
  bench.server.set_player(4, player("Last", "192.0.2.23", 4));
  r_dravstats_update(bench.now);
  r_dravlistip_finish();
  EXPECT_TRUE(history().ends_with(line("192.0.2.22", "Late", "") + line("192.0.2.23", "Last", "")));
}

// Makes this process the only one in a new namespace of `kind` (network, mounts); false when the
// system refuses even as an unprivileged user's own namespace.
bool own_namespace(int kind) {
  return unshare(kind) == 0 || unshare(CLONE_NEWUSER | kind) == 0;
}

// A full disk (a small file system of this test's own) holds back the history lines but no
// poll; once there is room they are written in order, and the operator is told both.
TEST(StatsFaults, AFullDiskLosesNoHistoryLineAndPollingGoesOn) {
  const TempDir disk;
  if (!own_namespace(CLONE_NEWNS) ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "no file system of the test's own";
  const std::string history = disk.file("ip.txt"), filler = disk.file("filler");
  StatsBench bench("", [&](ts_config& c) { r_dravtools_varcpy(c.log_file_ip, history.c_str()); });
  const int file = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
  const std::string block(4096, 'f');
  for (const std::size_t size : {block.size(), std::size_t{1}})
    while (write(file, block.data(), size) > 0) {
    }
  close(file);
  const std::string told =
      "IP     File " + history +
      " could not be written (No space left on device): the monitor goes on; "
      "entries waiting in memory: 1 (at most 10000), written when writing works again\n";
  for (int i = 0; i < 3; ++i) {
    const std::string name = "Player" + std::to_string(i),
                      address = "192.0.2." + std::to_string(30 + i);
    bench.server.set_player(i, player(name, address, i));
    const Polled polled = bench.poll();
    EXPECT_NE(std::ranges::find(polled.first, "status"), polled.first.end());
    Lines expected = {client_line("Connect   ", i, address, name)};
    if (i == 0)
      expected = {"Server Change     canyon_ridge\n", expected[0], told};
    EXPECT_EQ(polled.second, expected);
  }
  EXPECT_EQ(read_file(history), "");
  std::filesystem::remove(filler);
  EXPECT_EQ(bench.poll().second, Lines{"IP     File " + history +
                                       " written again: 3 waiting entries written, 0 dropped\n"});
  EXPECT_EQ(undated(read_file(history)),
            "192.0.2.30      Player0\\\n192.0.2.31      Player1\\\n192.0.2.32      Player2\\\n");
  r_dravlistip_finish();
  umount2(disk.path().c_str(), MNT_DETACH);
}

// Gives the loopback interface of this network namespace its address, or takes it away (the
// address 0 removes it), which takes the route to 127.0.0.1 with it.
void set_loopback(bool present) {
  const int socket_descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  ASSERT_EQ(ioctl(socket_descriptor, SIOCGIFFLAGS, &request), 0);
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ASSERT_EQ(ioctl(socket_descriptor, SIOCSIFFLAGS, &request), 0);
  sockaddr_in address{.sin_family = AF_INET,
                      .sin_port = 0,
                      .sin_addr = {htonl(present ? 0x7F000001 : 0)},
                      .sin_zero = {}};
  std::memcpy(&request.ifr_addr, &address, sizeof address);
  ASSERT_EQ(ioctl(socket_descriptor, SIOCSIFADDR, &request), 0);
  close(socket_descriptor);
}

// A route to the server that goes away (the loopback of the test's own network taken down) is
// told once; the monitor polls on and is told when sending works again.
TEST(StatsFaults, ASendFailureIsToldOnceAndPollingResumes) {
  if (!own_namespace(CLONE_NEWNET))
    GTEST_SKIP() << "no network of the test's own";
  set_loopback(true);
  StatsBench bench;
  bench.server.set_player(1, player("Red", "192.0.2.10", 1));
  EXPECT_EQ(bench.poll().second, (Lines{"Server Change     canyon_ridge\n",
                                        client_line("Connect   ", 1, "192.0.2.10", "Red")}));
  set_loopback(false);
  for (int poll = 0; poll < 2; ++poll, bench.now += 10)
    r_dravstats_update(bench.now);
  set_loopback(true);
  const Polled resumed = bench.poll();
  EXPECT_NE(std::ranges::find(resumed.first, "status"), resumed.first.end());
  EXPECT_EQ(resumed.second,
            (Lines{"Net    Unable to send \"status\" to the server (Network is unreachable): "
                   "the monitor goes on and sends again at the next step\n",
                   "Net    Sending to the server works again\n"}));
  EXPECT_EQ(bench.poll().second, Lines{});
}

}  // namespace
