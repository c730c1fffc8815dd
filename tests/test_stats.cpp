// The tracker against the simulated server over UDP on 127.0.0.1, with real log, history
// and access files and a controlled clock.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <regex>
#include <set>

#include "drav_listip.h"
#include "drav_net.h"
#include "drav_stats.h"
#include "stats_support.h"

namespace {

using drav_sim::Player;
using drav_test::parse_player_event;
using drav_test::say_command;
using drav_test::StatsBench;
using Lines = std::vector<std::string>;

constexpr char CC = 0x03;  // console_color of the bench
constexpr char PC = 0x06;  // player_color of the bench

Player player(const std::string& name, const std::string& ip, int qport, bool connecting = false) {
  Player p;
  p.name = name;
  p.ip = ip;
  p.port = 27901;
  p.qport = qport;
  p.connecting = connecting;
  return p;
}

std::string client_line(const char* label, int num, const char* address, const std::string& name) {
  char head[64];
  std::snprintf(head, sizeof head, "Client %s %02d %-15s ", label, num, address);
  return head + name + "\n";
}

// Names the instances of a table-driven test after their rows.
struct CaseTitle {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& row) const {
    return row.param.title;
  }
};

Lines says(const std::vector<std::string>& commands) {
  Lines result;
  std::copy_if(commands.begin(), commands.end(), std::back_inserter(result),
               [](const std::string& c) { return c.rfind("say ", 0) == 0; });
  return result;
}

Lines without_says(const std::vector<std::string>& commands) {
  Lines result;
  std::copy_if(commands.begin(), commands.end(), std::back_inserter(result),
               [](const std::string& c) { return c.rfind("say ", 0) != 0; });
  return result;
}

bool listed(const std::forward_list<ts_disconnected>& list, const std::string& ip, int qport) {
  return std::any_of(list.begin(), list.end(), [&](const ts_disconnected& entry) {
    return entry.ts_address == r_dravip_string_to_ip_port((ip + ":27901").c_str()) &&
           entry.i_qport == qport;
  });
}

// --- Poll timing and the first poll -------------------------------------------------------

TEST(StatsRun, PollsOnTheFirstCallThenOnlyAfterTheInterval) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_status = 60; });
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  EXPECT_EQ(r_dravstats_run(), 1);
  EXPECT_EQ(bench.status().ats_client[0].b_active, 1);
  EXPECT_EQ(r_dravstats_run(), 0);
  bench.status().t_last_status = std::time(nullptr) - 50;
  EXPECT_EQ(r_dravstats_run(), 0);

  // A poll that gets no answer still counts as the last poll.
  bench.server().set_faults({.silent = true});
  const std::time_t before = std::time(nullptr);
  bench.status().t_last_status = before - 60;
  EXPECT_EQ(r_dravstats_run(), 1);
  EXPECT_GE(bench.status().t_last_status, before);
}

TEST(StatsFirstPoll, EveryoneConnectsUnblockedAndServerSettingsAreTaken) {
  StatsBench bench("0 192.0.2.0/24       banned range\n", [](ts_config& c) {
    c.say_connect_incoming = 1;
    c.say_connect_block = 1;
  });
  bench.server().set_map("q2dm1", "coop");
  bench.server().set_serverinfo({{"mapname", "q2dm1"}, {"hostname", "\x01My \x02Server"}});
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  bench.server().set_player(3, player("\x02"
                                      "Bravo",
                                      "198.51.100.7", 102, true));
  bench.hostnames["198.51.100.7"] = {"bravo.example.net", {"alias.example.net", "b.example"}};
  bench.poll();

  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "serverinfo", "dumpuser 0", "dumpuser 3",
                                              say_command(CC, std::string{CC} + "Incoming: " + PC +
                                                                  "\x02"
                                                                  "Bravo" +
                                                                  CC)}));
  const Lines expected = {"Server Change     q2dm1\n",
                          client_line("Connect   ", 0, "192.0.2.10", "Alpha"),
                          client_line("Connect   ", 3, "198.51.100.7", "Bravo")};
  EXPECT_EQ(bench.new_log_lines(), expected);
  // The pane keeps the colour codes that the file drops.
  EXPECT_EQ(bench.pane_tail(1), (Lines{"Client Connect    03 198.51.100.7    \x02"
                                       "Bravo"}));
  EXPECT_TRUE(std::regex_match(bench.history(),
                               std::regex("\\d{8} 192\\.0\\.2\\.10      Alpha\\\\\n"
                                          "\\d{8} 198\\.51\\.100\\.7    \x02"
                                          "Bravo\\\\bravo\\.example\\.net;alias\\.example\\.net;"
                                          "b\\.example\n")))
      << bench.history();

  const ts_status& status = bench.status();
  EXPECT_EQ(status.b_status_updated, 1);
  EXPECT_EQ(status.b_serverinfo_updated, 1);
  EXPECT_EQ(status.t_last_serverinfo, bench.now - 10);
  EXPECT_EQ(status.i_hostname_length, 9u);
  EXPECT_STREQ(status.ac_map, "q2dm1");
  EXPECT_STREQ(status.ac_gametype, "coop");
  EXPECT_EQ(status.ats_client[0].i_kick_reason, KICK_NONE);
  EXPECT_EQ(status.ats_client[0].i_access_level, 0);
  EXPECT_FALSE(status.ats_client[0].pc_hostnames.has_value());
  EXPECT_EQ(status.ats_client[3].i_access_level, 1);
  EXPECT_EQ(status.ats_client[3].pc_hostnames, "bravo.example.net;alias.example.net;b.example");
  EXPECT_STREQ(status.ats_client[3].ts_info.ac_name,
               "\x02"
               "Bravo");

  // From the second poll on the access list applies to newcomers.
  bench.server().set_player(5, player("Charlie", "192.0.2.20", 103));
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Block     ", 5, "192.0.2.20", "Charlie")}));
  EXPECT_EQ(
      bench.new_command_texts(),
      (Lines{"status", "dumpuser 5",
             say_command(CC, std::string{CC} + "Blocked: " + PC + "Charlie" + CC), "kick 5"}));
}

// --- Connection decisions and their announcements ----------------------------------------

struct AnnouncementCase {
  const char* title;
  int access_level;
  int say_incoming;
  int say_block;
  bool connecting;
  const char* access_list;
  const char* label;
  std::string say;  // empty: no announcement
};

class StatsAnnouncement : public ::testing::TestWithParam<AnnouncementCase> {};

TEST_P(StatsAnnouncement, LogsDecidesAndSays) {
  const AnnouncementCase& c = GetParam();
  StatsBench bench(c.access_list, [&](ts_config& config) {
    config.access_level = c.access_level;
    config.say_connect_incoming = c.say_incoming;
    config.say_connect_block = c.say_block;
  });
  bench.poll();  // an empty server: the next player is a newcomer
  bench.new_command_texts();
  bench.new_log_lines();
  bench.server().set_player(7, player("Eve", "203.0.113.9", 555, c.connecting));
  bench.poll();

  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line(c.label, 7, "203.0.113.9", "Eve")}));
  const Lines commands = bench.new_command_texts();
  EXPECT_EQ(says(commands), c.say.empty() ? Lines{} : Lines{say_command(CC, c.say)});
  const bool blocked = std::string(c.label) == "Block     ";
  EXPECT_EQ(without_says(commands),
            (blocked ? Lines{"status", "dumpuser 7", "kick 7"} : Lines{"status", "dumpuser 7"}));
  EXPECT_EQ(bench.status().ats_client[7].i_kick_reason, blocked ? KICK_BLOCKED : KICK_NONE);
}

const std::string kIncomingShort = std::string{CC} + "Incoming: " + PC + "Eve" + CC;
const std::string kIncomingLong = kIncomingShort + " (" + PC + "old friend" + CC + ")";
const std::string kBlockedShort = std::string{CC} + "Blocked: " + PC + "Eve" + CC;
const std::string kBlockedLong = kBlockedShort + " (" + PC + "cheater" + CC + ")";
// Access-list comments begin in column 21.
constexpr const char* kFriend = "5 203.0.113.9        old friend\n";
constexpr const char* kCheater = "0 203.0.113.0/24     cheater\n";
constexpr const char* kBare = "0 203.0.113.9\n";

INSTANTIATE_TEST_SUITE_P(
    Decisions, StatsAnnouncement,
    ::testing::Values(
        AnnouncementCase{"IncomingShort", 1, 1, 0, true, kFriend, "Connect   ", kIncomingShort},
        AnnouncementCase{"IncomingLong", 1, 2, 0, true, kFriend, "Connect   ", kIncomingLong},
        AnnouncementCase{"IncomingLongNoComment", 1, 2, 0, true, "", "Connect   ", kIncomingShort},
        AnnouncementCase{"IncomingOff", 1, 0, 0, true, kFriend, "Connect   ", ""},
        AnnouncementCase{"IncomingNegative", 1, -1, 0, true, kFriend, "Connect   ", ""},
        AnnouncementCase{"AlreadyConnected", 1, 2, 0, false, kFriend, "Connect   ", ""},
        AnnouncementCase{"LevelEqualsThreshold", 5, 0, 1, false, kFriend, "Connect   ", ""},
        AnnouncementCase{"LevelBelowThreshold", 6, 1, 2, true, kFriend, "Block     ",
                         kBlockedShort + " (" + PC + "old friend" + CC + ")"},
        AnnouncementCase{"UnlistedAtLevelTwo", 2, 1, 2, true, "", "Block     ", kBlockedShort},
        AnnouncementCase{"UnlistedAtLevelOne", 1, 0, 1, false, "", "Connect   ", ""},
        AnnouncementCase{"BlockShort", 1, 1, 1, true, kCheater, "Block     ", kBlockedShort},
        AnnouncementCase{"BlockLong", 1, 1, 2, true, kCheater, "Block     ", kBlockedLong},
        AnnouncementCase{"BlockLongNoComment", 1, 1, 2, true, kBare, "Block     ", kBlockedShort},
        AnnouncementCase{"BlockSilent", 1, 1, 0, true, kCheater, "Block     ", ""}),
    CaseTitle{});

// --- Changes of name and number -----------------------------------------------------------

TEST(StatsChange, RenameAndNewNumberAreChangesOfTheSamePlayer) {
  StatsBench bench;
  bench.hostnames["192.0.2.10"] = {"alpha-host-with-a-long-name.example.net", {}};
  bench.server().set_player(2, player("Alpha", "192.0.2.10", 101));
  bench.poll();
  bench.new_log_lines();
  bench.new_command_texts();

  Player renamed = player(
      "\x01"
      "Alpha2",
      "192.0.2.10", 101);
  bench.server().set_player(2, renamed);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Change    ", 2, "192.0.2.10", "Alpha2")}));
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "dumpuser 2"}));

  const std::string* text_before = &*bench.status().ats_client[2].pc_hostnames;
  bench.server().remove_player(2);
  bench.server().set_player(7, renamed);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Change    ", 7, "192.0.2.10", "Alpha2")}));
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "dumpuser 7"}));
  EXPECT_EQ(bench.status().ats_client[2].b_active, 0);
  EXPECT_FALSE(bench.status().ats_client[2].pc_hostnames.has_value());
  EXPECT_EQ(bench.status().ats_client[7].pc_hostnames, "alpha-host-with-a-long-name.example.net");
  EXPECT_NE(&*bench.status().ats_client[7].pc_hostnames, text_before);
  EXPECT_TRUE(bench.status().pts_disconnected.empty());

  bench.poll();  // nothing changed: no line, no details request
  EXPECT_EQ(bench.new_log_lines(), Lines{});
  EXPECT_EQ(bench.new_command_texts(), Lines{"status"});

  EXPECT_TRUE(std::regex_match(
      bench.history(), std::regex("\\d{8} 192\\.0\\.2\\.10      Alpha\\\\alpha-host-with-a-long-"
                                  "name\\.example\\.net\n"
                                  "\\d{8} 192\\.0\\.2\\.10      \x01"
                                  "Alpha2\\\\alpha-host-with-a-long-"
                                  "name\\.example\\.net\n")))
      << bench.history();
}

TEST(StatsChange, NewConnectionFromTheSameAddressIsHandledBeforeTheOldOneLeaves) {
  StatsBench bench;
  bench.server().set_player(1, player("Alpha", "192.0.2.10", 101));
  bench.poll();
  bench.new_log_lines();
  bench.server().set_player(1, player("Alpha", "192.0.2.10", 202));
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Connect   ", 1, "192.0.2.10", "Alpha"),
                                          client_line("Disconnect", 1, "192.0.2.10", "Alpha")}));
  EXPECT_TRUE(listed(bench.status().pts_disconnected, "192.0.2.10", 101));
}

// A reply that lists one address, port and qport twice: the second line becomes a player of
// its own with its own copy of the host names, and both stay stable afterwards.
TEST(StatsChange, DuplicateLinesNeverShareAHostNameText) {
  StatsBench bench;
  bench.hostnames["192.0.2.10"] = {"twin-host-with-a-long-name.example.net", {}};
  bench.server().set_player(1, player("One", "192.0.2.10", 101));
  bench.poll();
  bench.new_log_lines();
  bench.server().set_player(4, player("Two", "192.0.2.10", 101));
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Connect   ", 4, "192.0.2.10", "Two")}));
  for (int poll = 0; poll < 2; ++poll) {
    const auto& one = bench.status().ats_client[1].pc_hostnames;
    const auto& two = bench.status().ats_client[4].pc_hostnames;
    ASSERT_TRUE(one && two);
    EXPECT_EQ(*one, *two);
    EXPECT_NE(one->data(), two->data());
    bench.poll();
    EXPECT_EQ(bench.new_log_lines(), Lines{});
  }
  bench.server().remove_player(1);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Disconnect", 1, "192.0.2.10", "One")}));
  EXPECT_EQ(bench.status().ats_client[4].pc_hostnames, "twin-host-with-a-long-name.example.net");
}

// --- Departures ---------------------------------------------------------------------------

struct DepartureCase {
  const char* title;
  bool zombie;  // listed as a zombie instead of missing
  bool connecting;
  int say_cancel;
  te_kick_reason kick_reason;  // as the tracker or the screen left it
  bool to_disconnected;
  bool to_kicked;
  bool chickened_out;
};

class StatsDeparture : public ::testing::TestWithParam<DepartureCase> {};

TEST_P(StatsDeparture, LogsListsAndSays) {
  const DepartureCase& c = GetParam();
  StatsBench bench("", [&](ts_config& config) { config.say_connect_cancel = c.say_cancel; });
  bench.hostnames["198.51.100.3"] = {"leaver-host-with-a-long-name.example.net", {}};
  bench.server().set_player(6, player("\x05Leaver", "198.51.100.3", 303, c.connecting));
  bench.poll();
  bench.status().ats_client[6].i_kick_reason = c.kick_reason;
  bench.new_log_lines();
  bench.new_command_texts();
  if (c.zombie) {
    Player zombie = *bench.server().player(6);
    zombie.zombie = true;
    bench.server().set_player(6, zombie);
  } else {
    bench.server().remove_player(6);
  }
  bench.poll();

  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Disconnect", 6, "198.51.100.3", "Leaver")}));
  EXPECT_EQ(bench.pane_tail(1), (Lines{"Client Disconnect 06 198.51.100.3    \x05Leaver"}));
  const Lines expected_says =
      c.chickened_out
          ? Lines{say_command(CC, std::string{CC} + PC + "\x05Leaver" + CC + " chickened out")}
          : Lines{};
  EXPECT_EQ(says(bench.new_command_texts()), expected_says);
  const ts_status& status = bench.status();
  EXPECT_EQ(listed(status.pts_disconnected, "198.51.100.3", 303), c.to_disconnected);
  EXPECT_EQ(listed(status.pts_kicked, "198.51.100.3", 303), c.to_kicked);
  EXPECT_EQ(status.ats_client[6].b_active, 0);
  EXPECT_FALSE(status.ats_client[6].pc_hostnames.has_value());
  EXPECT_STREQ(status.ats_client[6].ts_line.ac_name, "\x05Leaver");  // stale, inactive
}

INSTANTIATE_TEST_SUITE_P(
    Departures, StatsDeparture,
    ::testing::Values(
        DepartureCase{"Missing", false, false, 1, KICK_NONE, true, false, false},
        DepartureCase{"Zombie", true, false, 1, KICK_NONE, true, false, false},
        DepartureCase{"CancelledConnection", false, true, 1, KICK_NONE, true, false, true},
        DepartureCase{"CancelledSilently", false, true, 0, KICK_NONE, true, false, false},
        DepartureCase{"Blocked", false, true, 1, KICK_BLOCKED, false, false, false},
        DepartureCase{"Rejected", false, true, 1, KICK_REJECTED, false, false, false},
        DepartureCase{"AdminKick", true, true, 1, KICK_ADMIN, false, true, false},
        DepartureCase{"AdminBan", false, false, 1, KICK_ADMIN_BAN, false, false, false}),
    CaseTitle{});

// --- Returns after leaving ----------------------------------------------------------------

struct ReturnCase {
  const char* title;
  int reconnect_timeout;
  int away_seconds;
  const char* label;
};

class StatsReturn : public ::testing::TestWithParam<ReturnCase> {};

// The address is blocked by the access list: a reconnect skips that test and says nothing,
// a return after the timeout is a new connection and is blocked.
TEST_P(StatsReturn, ReconnectsOnlyWithinTheTimeout) {
  const ReturnCase& c = GetParam();
  StatsBench bench("0 192.0.2.77         cheater\n", [&](ts_config& config) {
    config.access_reconnect_timeout = c.reconnect_timeout;
    config.say_connect_incoming = 1;
  });
  const Player back = player("Back", "192.0.2.77", 404, true);
  bench.server().set_player(2, back);
  bench.poll();
  bench.server().remove_player(2);
  bench.poll();
  bench.new_log_lines();
  bench.new_command_texts();
  bench.now += c.away_seconds - bench.config().poll_interval_status;
  bench.server().set_player(9, back);
  bench.poll();

  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line(c.label, 9, "192.0.2.77", "Back")}));
  const bool reconnect = std::string(c.label) == "Reconnect ";
  EXPECT_EQ(bench.new_command_texts(),
            (reconnect ? Lines{"status", "dumpuser 9"} : Lines{"status", "dumpuser 9", "kick 9"}));
  EXPECT_EQ(bench.status().ats_client[9].i_access_level, 0);
  EXPECT_EQ(bench.status().ats_client[9].i_kick_reason, reconnect ? KICK_NONE : KICK_BLOCKED);
}

INSTANTIATE_TEST_SUITE_P(Returns, StatsReturn,
                         ::testing::Values(ReturnCase{"Soon", 60, 30, "Reconnect "},
                                           ReturnCase{"JustInTime", 60, 59, "Reconnect "},
                                           ReturnCase{"AtTheTimeout", 60, 60, "Block     "},
                                           ReturnCase{"TimeoutZero", 0, 1, "Block     "}),
                         CaseTitle{});

// --- Admin kicks, rejects and the repeated kicks ------------------------------------------

class StatsReject : public ::testing::TestWithParam<int> {};

TEST_P(StatsReject, KickedPlayerIsRejectedAndKickedOnEveryPollUntilTheEntryExpires) {
  const int say_reject = GetParam();
  StatsBench bench("", [&](ts_config& config) {
    config.say_connect_reject_kicked = say_reject;
    config.access_kicked_reject_timeout = 100;
  });
  const Player alpha = player("Alpha", "192.0.2.10", 101);
  bench.server().set_player(4, alpha);
  bench.poll();
  bench.new_log_lines();
  bench.new_command_texts();

  bench.status().ats_client[4].i_kick_reason = KICK_ADMIN;  // what the screen does
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "kick 4"}));
  EXPECT_EQ(bench.new_log_lines(), Lines{});
  bench.server().remove_player(4);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Disconnect", 4, "192.0.2.10", "Alpha")}));
  EXPECT_TRUE(listed(bench.status().pts_kicked, "192.0.2.10", 101));
  EXPECT_TRUE(bench.status().pts_disconnected.empty());

  bench.new_command_texts();
  bench.server().set_player(6, alpha);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Reject    ", 6, "192.0.2.10", "Alpha")}));
  const std::string rejected = std::string{CC} + "Rejected: " + PC + "Alpha" + CC;
  EXPECT_EQ(bench.new_command_texts(),
            (say_reject == 1 ? Lines{"status", "dumpuser 6", say_command(CC, rejected), "kick 6"}
                             : Lines{"status", "dumpuser 6", "kick 6"}));
  EXPECT_EQ(bench.status().ats_client[6].i_access_level, 0);

  // The server may keep listing the player (a kick does not always take): kicked again,
  // each time under the current number.
  bench.server().set_player(6, alpha);
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "kick 6"}));
  bench.server().remove_player(6);
  bench.server().set_player(11, alpha);
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Change    ", 11, "192.0.2.10", "Alpha")}));
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "dumpuser 11", "kick 11"}));

  // Rejected players leave no list entry; the kick entry alone expires after its timeout.
  bench.server().remove_player(11);
  bench.poll();
  bench.new_log_lines();
  bench.now += 100;
  bench.server().set_player(3, alpha);
  bench.poll();
  EXPECT_TRUE(bench.status().pts_kicked.empty());
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Connect   ", 3, "192.0.2.10", "Alpha")}));
}

INSTANTIATE_TEST_SUITE_P(SayRejectSetting, StatsReject, ::testing::Values(1, 2, 0));

// --- The details schedule -----------------------------------------------------------------

std::vector<int> countdowns(const ts_status& status, int count) {
  std::vector<int> result;
  for (int i = 0; i < count; ++i) {
    result.push_back(status.ats_client[i].i_dumpuser_countdown);
  }
  return result;
}

int dumpuser_count(const Lines& commands) {
  return static_cast<int>(std::count_if(commands.begin(), commands.end(), [](const auto& c) {
    return c.rfind("dumpuser ", 0) == 0;
  }));
}

TEST(StatsDetails, PlayersWhoFallDueTogetherAreSpreadOverPolls) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_dumpuser = 4; });
  bench.server().fill_players(8);
  bench.poll();
  EXPECT_EQ(dumpuser_count(bench.new_command_texts()), 8);
  EXPECT_EQ(countdowns(bench.status(), 8), std::vector<int>(8, 4));
  for (int poll = 0; poll < 3; ++poll) {
    bench.poll();
    EXPECT_EQ(bench.new_command_texts(), Lines{"status"});
  }
  EXPECT_EQ(countdowns(bench.status(), 8), std::vector<int>(8, 1));
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(),
            (Lines{"status", "dumpuser 0", "dumpuser 1", "dumpuser 2", "dumpuser 3", "dumpuser 4",
                   "dumpuser 5", "dumpuser 6", "dumpuser 7"}));
  EXPECT_EQ(countdowns(bench.status(), 8), (std::vector<int>{4, 4, 3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(bench.new_log_lines().size(), 9u);  // the first poll only: nothing changed since
  for (int poll = 0; poll < 3; ++poll) {
    bench.poll();
  }
  EXPECT_EQ(bench.new_command_texts(),
            (Lines{"status", "status", "status", "dumpuser 2", "dumpuser 3", "dumpuser 4",
                   "dumpuser 5", "dumpuser 6", "dumpuser 7"}));
}

TEST(StatsDetails, NegativeIntervalFetchesEveryPollAndZeroOnlyOnChanges) {
  for (const int interval : {-1, 0}) {
    StatsBench bench("", [&](ts_config& c) { c.poll_interval_dumpuser = interval; });
    bench.server().fill_players(2);
    bench.poll();
    bench.new_command_texts();
    bench.poll();
    EXPECT_EQ(bench.new_command_texts(),
              (interval < 0 ? Lines{"status", "dumpuser 0", "dumpuser 1"} : Lines{"status"}))
        << interval;
  }
}

TEST(StatsDetails, FailedFetchIsRetriedOnTheNextPoll) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_dumpuser = 0; });
  std::atomic<bool> refuse{true};
  bench.server().set_reply_override(
      [&](const std::string& command) -> std::optional<std::vector<std::string>> {
        if (refuse && command == "dumpuser 1") {
          return std::vector<std::string>{};  // no answer at all
        }
        return std::nullopt;
      });
  Player beta = player("Beta", "198.51.100.20", 505);
  beta.userinfo = {{"skin", "female/athena"}};
  bench.server().set_player(1, beta);
  bench.poll();
  EXPECT_EQ(bench.status().ats_client[1].i_dumpuser_countdown, -1);
  EXPECT_STREQ(bench.status().ats_client[1].ts_info.ac_skin, "");
  bench.new_log_lines();
  bench.new_command_texts();

  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "dumpuser 1"}));
  EXPECT_EQ(bench.new_log_lines(), Lines{});
  EXPECT_EQ(bench.status().ats_client[1].i_dumpuser_countdown, -1);

  // The details that finally arrive differ from the empty ones: logged as a change.
  refuse = false;
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "dumpuser 1"}));
  EXPECT_EQ(bench.new_log_lines(), (Lines{client_line("Change    ", 1, "198.51.100.20", "Beta")}));
  EXPECT_EQ(bench.status().ats_client[1].i_dumpuser_countdown, 0);
  EXPECT_STREQ(bench.status().ats_client[1].ts_info.ac_skin, "female/athena");
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), Lines{"status"});
}

// --- Server settings ----------------------------------------------------------------------

TEST(StatsServerinfo, AskedOnMapChangesAndWhenDueLoggedOnlyWhenDifferent) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_serverinfo = 30; });
  bench.server().set_map("q2dm1", "deathmatch");
  bench.server().set_serverinfo({{"mapname", "q2dm1"}, {"hostname", "Plain"}, {"fraglimit", "30"}});
  const std::time_t first = bench.now;
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), Lines{"Server Change     q2dm1\n"});
  EXPECT_EQ(bench.status().ts_serverinfo.i_fraglimit, 30);
  EXPECT_EQ(bench.status().i_hostname_length, 5u);
  bench.status().b_serverinfo_updated = 0;
  bench.new_command_texts();

  bench.poll();  // 10 s
  bench.poll();  // 20 s
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "status"}));
  EXPECT_EQ(bench.status().b_serverinfo_updated, 0);

  bench.poll();  // 30 s: due, identical
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "serverinfo"}));
  EXPECT_EQ(bench.new_log_lines(), Lines{});
  EXPECT_EQ(bench.status().t_last_serverinfo, first + 30);
  EXPECT_EQ(bench.status().b_serverinfo_updated, 1);

  // A new map asks at once; a change of other settings keeps the host name length.
  bench.server().set_map("q2dm2", "deathmatch");
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "serverinfo"}));
  EXPECT_EQ(bench.new_log_lines(), Lines{"Server Change     q2dm2\n"});
  EXPECT_STREQ(bench.status().ac_map, "q2dm2");
  bench.status().i_hostname_length = 99;
  bench.server().set_serverinfo({{"mapname", "q2dm2"}, {"hostname", "Plain"}, {"fraglimit", "40"}});
  bench.server().set_map("q2dm2", "ctf");
  bench.poll();
  EXPECT_EQ(bench.new_log_lines(), Lines{"Server Change     q2dm2\n"});
  EXPECT_EQ(bench.status().i_hostname_length, 99u);
  EXPECT_EQ(bench.status().ts_serverinfo.i_fraglimit, 40);
}

TEST(StatsServerinfo, RefusedReplyKeepsTheSettingsAndAsksAgain) {
  StatsBench bench;
  bench.server().set_serverinfo({{"mapname", "q2dm1"}});
  bench.poll();
  bench.new_log_lines();
  bench.new_command_texts();
  bench.server().set_reply_override(
      [](const std::string& command) -> std::optional<std::vector<std::string>> {
        if (command == "serverinfo") {
          return std::vector<std::string>{std::string("\xff\xff\xff\xffprint\nno settings\n")};
        }
        return std::nullopt;
      });
  bench.server().set_map("q2dm9", "deathmatch");
  for (int poll = 0; poll < 2; ++poll) {
    bench.status().b_serverinfo_updated = 0;
    bench.poll();
    EXPECT_EQ(bench.new_command_texts(), (Lines{"status", "serverinfo"}));
    EXPECT_EQ(bench.status().t_last_serverinfo, 0);
    EXPECT_EQ(bench.status().b_serverinfo_updated, 1);
    EXPECT_STREQ(bench.status().ts_serverinfo.ac_mapname, "q2dm1");
  }
  EXPECT_EQ(bench.new_log_lines(), Lines{});
}

// --- A server that does not answer --------------------------------------------------------

TEST(StatsSilent, NoStatusReplyChangesNothingButExpiresTheLists) {
  StatsBench bench("0 192.0.2.0/24       cheater\n");
  bench.server().set_faults({.silent = true});
  bench.poll();  // the first poll fails: the next complete one is still the first
  EXPECT_EQ(bench.status().b_status_updated, 0);
  bench.server().set_faults({});
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  bench.server().set_player(1, player("Beta", "198.51.100.20", 102));
  bench.poll();
  const Lines connected = bench.new_log_lines();
  EXPECT_NE(std::find(connected.begin(), connected.end(),
                      client_line("Connect   ", 0, "192.0.2.10", "Alpha")),
            connected.end());
  bench.server().remove_player(1);
  bench.poll();
  bench.new_log_lines();
  ASSERT_FALSE(bench.status().pts_disconnected.empty());

  bench.status().b_status_updated = 0;
  bench.status().b_serverinfo_updated = 0;
  bench.server().set_faults({.silent = true});
  bench.server().set_player(5, player("Gamma", "203.0.113.1", 103));
  bench.new_command_texts();
  bench.now += 60;  // the departure is now as old as access_reconnect_timeout
  bench.poll();
  EXPECT_EQ(bench.new_command_texts(), Lines{"status"});
  EXPECT_EQ(bench.new_log_lines(), Lines{});
  const ts_status& status = bench.status();
  EXPECT_TRUE(status.pts_disconnected.empty());
  EXPECT_EQ(status.b_status_updated, 0);
  EXPECT_EQ(status.b_serverinfo_updated, 0);
  EXPECT_EQ(status.ats_client[0].b_active, 1);
  EXPECT_EQ(status.ats_client[5].b_active, 0);
}

// --- Long player tables -------------------------------------------------------------------

// 32 players with 31-byte names need three reply datagrams; none may be lost.
TEST(StatsLongStatus, FullServerWithLongNamesStaysConnected) {
  StatsBench bench;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Player-with-a-long-name-%02d-wxyz", i);
    ASSERT_EQ(std::strlen(name), 31u);
    bench.server().set_player(i, player(name, "198.51.100." + std::to_string(i + 1), 2000 + i));
  }
  bench.poll();
  const Lines first = bench.new_log_lines();
  ASSERT_EQ(first.size(), 33u);
  EXPECT_EQ(first.back(),
            client_line("Connect   ", 31, "198.51.100.32", "Player-with-a-long-name-31-wxyz"));
  for (int poll = 0; poll < 3; ++poll) {
    bench.poll();
    EXPECT_EQ(bench.new_log_lines(), Lines{});
  }
  EXPECT_EQ(std::count_if(bench.status().ats_client.begin(), bench.status().ats_client.end(),
                          [](const ts_client& slot) { return slot.b_active == 1; }),
            MAX_CLIENTS);
}

// --- Sockets ------------------------------------------------------------------------------

// A base port whose 33 successors are free right now.
int free_port_range() {
  for (int base = 41000 + (getpid() % 200) * 40; base < 64000; base += 40) {
    bool all_free = true;
    for (int offset = 0; offset < 33 && all_free; ++offset) {
      const int probe = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_port = htons(static_cast<std::uint16_t>(base + offset));
      all_free = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
      close(probe);
    }
    if (all_free) {
      return base;
    }
  }
  return 0;
}

TEST(StatsSockets, DetailsComeFromTheSocketOfTheClientNumber) {
  const int base = free_port_range();
  ASSERT_NE(base, 0);
  StatsBench bench("", [&](ts_config& c) { c.net_client_port = base; });
  bench.server().set_player(5, player("Five", "192.0.2.5", 105));
  bench.poll();
  std::vector<std::pair<std::string, int>> seen;
  for (const auto& command : bench.new_commands()) {
    seen.emplace_back(command.command, command.source_port);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{
                      {"status", base}, {"serverinfo", base}, {"dumpuser 5", base + 6}}));
}

TEST(StatsSockets, DetailsRecordIsClearedWhenNoReplyComes) {
  StatsBench bench;
  ts_dumpuser info;
  r_dravtools_varcpy(info.ac_skin, "stale");
  info.i_rate = 5;
  bench.server().set_faults({.silent = true});
  EXPECT_EQ(r_dravstats_do_dumpuser(info, 3), 0);
  EXPECT_TRUE(info == ts_dumpuser{});
  bench.server().set_faults({});
  Player three = player("Three", "192.0.2.3", 33);
  three.userinfo = {{"rate", "25000"}};
  bench.server().set_player(3, three);
  EXPECT_EQ(r_dravstats_do_dumpuser(info, 3), 1);
  EXPECT_EQ(info.i_rate, 25000);
  EXPECT_STREQ(info.ac_name, "Three");
}

}  // namespace
