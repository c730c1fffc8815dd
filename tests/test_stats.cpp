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

#include "drav_stats.h"
#include "stats_support.h"

namespace {

using drav_sim::Player;
using drav_test::client_line;
using drav_test::Lines;
using drav_test::Polled;
using drav_test::StatsBench;

constexpr char CC = 0x03;  // console_color of the bench
constexpr char PC = 0x06;  // player_color of the bench

Player player(const std::string& name, const std::string& ip, int qport, bool connecting = false) {
  return {.name = name, .ip = ip, .qport = qport, .connecting = connecting, .userinfo = {}};
}

// An announcement as the server receives it; `text` starts in the console colour and frames
// names with say_part().
std::string say(const std::string& text) {
  return std::string("say \"-\r") + CC + "*** " + CC + text + " " + CC + "***\"";
}
std::string say_part(const std::string& name) {
  return PC + name + CC;
}

TEST(StatsRun, PollsOnTheFirstCallThenOnlyAfterTheInterval) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_status = 60; });
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  EXPECT_EQ(r_dravstats_run(), 1);
  EXPECT_EQ(bench.status().ats_client[0].b_active, 1);
  EXPECT_EQ(r_dravstats_run(), 0);
  // Intervals are measured on a clock that the wall clock's corrections do not move.
  bench.status().t_last_status = r_dravstats_clock() - 50;
  EXPECT_EQ(r_dravstats_run(), 0);

  // A poll that gets no answer still counts as the last poll.
  bench.server().set_faults({.silent = true});
  const std::time_t before = r_dravstats_clock();
  bench.status().t_last_status = before - 60;
  EXPECT_EQ(r_dravstats_run(), 1);
  EXPECT_GE(bench.status().t_last_status, before);
}

TEST(StatsFirstPoll, EveryoneConnectsUnblockedAndServerSettingsAreTaken) {
  StatsBench bench("0 192.0.2.0/24       banned range\n", [](ts_config& c) {
    c.say_connect_incoming = 1;
    c.say_connect_block = 1;
  });
  bench.server().set_map("dm_canyon", "coop");
  bench.server().set_serverinfo({{"mapname", "dm_canyon"}, {"hostname", "\x01My \x02Server"}});
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  bench.server().set_player(3, player("\002Bravo", "198.51.100.7", 102, true));
  bench.hostnames["198.51.100.7"] = {"bravo.example.net", {"alias.example.net", "b.example"}};
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo", "dumpuser 0", "dumpuser 3",
                                  say("Incoming: " + say_part("\002Bravo"))},
                                 {"Server Change     dm_canyon\n",
                                  client_line("Connect   ", 0, "192.0.2.10", "Alpha"),
                                  client_line("Connect   ", 3, "198.51.100.7", "Bravo")}));
  // The pane keeps the colour codes that the file drops.
  EXPECT_EQ(bench.pane_last(), "Client Connect    03 198.51.100.7    \002Bravo");
  EXPECT_TRUE(std::regex_match(bench.history(),
                               std::regex("\\d{8} 192\\.0\\.2\\.10      Alpha\\\\\n"
                                          "\\d{8} 198\\.51\\.100\\.7    \002Bravo\\\\bravo\\."
                                          "example\\.net;alias\\.example\\.net;b\\.example\n")))
      << bench.history();

  const ts_status& status = bench.status();
  EXPECT_EQ(status.b_status_updated, 1);
  EXPECT_EQ(status.i_hostname_length, 9u);  // colour codes do not count
  EXPECT_STREQ(status.ac_gametype, "coop");
  EXPECT_EQ(status.ats_client[0].i_access_level, 0);  // known, though not applied yet
  EXPECT_EQ(status.ats_client[3].pc_hostnames, "bravo.example.net;alias.example.net;b.example");

  // From the second poll on the access list applies to newcomers.
  bench.server().set_player(5, player("Charlie", "192.0.2.20", 103));
  EXPECT_EQ(bench.poll(),
            Polled({"status", "dumpuser 5", say("Blocked: " + say_part("Charlie")), "kick 5"},
                   {client_line("Block     ", 5, "192.0.2.20", "Charlie")}));
}

// Eve arrives as a newcomer, or comes back `away` seconds after leaving.
TEST(StatsArrival, LogsDecidesAndSays) {
  // Access-list comments begin in column 21.
  const char* const FRIEND = "5 203.0.113.9        old friend\n";
  const char* const CHEATER = "0 203.0.113.0/24     cheater\n";
  const std::string incoming = "Incoming: " + say_part("Eve");
  const std::string blocked = "Blocked: " + say_part("Eve");
  const struct {
    const char* title;
    int level, say_incoming, say_block;
    bool connecting;
    const char* list;
    int reconnect_timeout, away;
    const char* label;
    int access;
    std::string say;  // empty: no announcement
  } cases[] = {
      {"IncomingShort", 1, 1, 0, true, FRIEND, 60, -1, "Connect   ", 5, incoming},
      {"IncomingLong", 1, 2, 0, true, FRIEND, 60, -1, "Connect   ", 5,
       incoming + " (" + say_part("old friend") + ")"},
      {"IncomingLongNoComment", 1, 2, 0, true, "", 60, -1, "Connect   ", 1, incoming},
      {"IncomingOff", 1, 0, 0, true, FRIEND, 60, -1, "Connect   ", 5, ""},
      {"IncomingNegative", 1, -1, 0, true, FRIEND, 60, -1, "Connect   ", 5, ""},
      {"AlreadyConnected", 1, 2, 0, false, FRIEND, 60, -1, "Connect   ", 5, ""},
      {"LevelEqualsThreshold", 5, 0, 1, false, FRIEND, 60, -1, "Connect   ", 5, ""},
      {"LevelBelowThreshold", 6, 1, 2, true, FRIEND, 60, -1, "Block     ", 5,
       blocked + " (" + say_part("old friend") + ")"},
      {"UnlistedAtLevelTwo", 2, 1, 2, true, "", 60, -1, "Block     ", 1, blocked},
      {"UnlistedAtLevelOne", 1, 0, 1, false, "", 60, -1, "Connect   ", 1, ""},
      {"BlockShort", 1, 1, 1, true, CHEATER, 60, -1, "Block     ", 0, blocked},
      {"BlockLong", 1, 1, 2, true, CHEATER, 60, -1, "Block     ", 0,
       blocked + " (" + say_part("cheater") + ")"},
      {"BlockLongNoComment", 1, 1, 2, true, "0 203.0.113.9\n", 60, -1, "Block     ", 0, blocked},
      {"BlockSilent", 1, 1, 0, true, CHEATER, 60, -1, "Block     ", 0, ""},
      // A reconnect skips the access list and says nothing; a return after the timeout is a
      // new connection.
      {"BackSoon", 1, 1, 0, true, CHEATER, 60, 30, "Reconnect ", 0, ""},
      {"BackJustInTime", 1, 1, 0, true, CHEATER, 60, 59, "Reconnect ", 0, ""},
      {"BackAtTheTimeout", 1, 1, 0, true, CHEATER, 60, 60, "Block     ", 0, ""},
      {"BackWithTimeoutZero", 1, 1, 0, true, CHEATER, 0, 1, "Block     ", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    StatsBench bench(c.list, [&](ts_config& config) {
      config.access_level = c.level;
      config.say_connect_incoming = c.say_incoming;
      config.say_connect_block = c.say_block;
      config.access_reconnect_timeout = c.reconnect_timeout;
    });
    const Player eve = player("Eve", "203.0.113.9", 555, c.connecting);
    if (c.away >= 0) {
      bench.server().set_player(2, eve);
      bench.poll();
      bench.server().remove_player(2);
      bench.poll();
      bench.now += c.away - 10;
    } else {
      bench.poll();  // an empty server: Eve is a newcomer
    }
    bench.server().set_player(7, eve);
    const bool block = std::string(c.label) == "Block     ";
    Lines commands = {"status", "dumpuser 7", c.say.empty() ? "" : say(c.say),
                      block ? "kick 7" : ""};
    std::erase(commands, "");
    EXPECT_EQ(bench.poll(), Polled(commands, {client_line(c.label, 7, "203.0.113.9", "Eve")}));
    EXPECT_EQ(bench.status().ats_client[7].i_kick_reason, block ? KICK_BLOCKED : KICK_NONE);
    EXPECT_EQ(bench.status().ats_client[7].i_access_level, c.access);
  }
}

TEST(StatsChange, RenameAndNewNumberAreChangesOfTheSamePlayer) {
  StatsBench bench;
  bench.server().set_player(2, player("Alpha", "192.0.2.10", 101));
  bench.poll();
  const Player renamed = player("\001Alpha2", "192.0.2.10", 101);
  bench.server().set_player(2, renamed);
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 2"},
                                 {client_line("Change    ", 2, "192.0.2.10", "Alpha2")}));
  bench.server().remove_player(2);
  bench.server().set_player(7, renamed);
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 7"},
                                 {client_line("Change    ", 7, "192.0.2.10", "Alpha2")}));
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));  // nothing changed: no details request
}

TEST(StatsChange, NewConnectionFromTheSameAddressIsHandledBeforeTheOldOneLeaves) {
  StatsBench bench;
  bench.server().set_player(1, player("Alpha", "192.0.2.10", 101));
  bench.poll();
  bench.server().set_player(1, player("Alpha", "192.0.2.10", 202));
  EXPECT_EQ(bench.poll().second, (Lines{client_line("Connect   ", 1, "192.0.2.10", "Alpha"),
                                        client_line("Disconnect", 1, "192.0.2.10", "Alpha")}));
}

// A reply that lists one address, port and qport twice: the second line becomes a player of
// its own with its own copy of the host names, and both stay stable afterwards.
TEST(StatsChange, DuplicateLinesNeverShareAHostNameText) {
  StatsBench bench;
  bench.hostnames["192.0.2.10"] = {"twin-host-with-a-long-name.example.net", {}};
  bench.server().set_player(1, player("One", "192.0.2.10", 101));
  bench.poll();
  bench.server().set_player(4, player("Two", "192.0.2.10", 101));
  EXPECT_EQ(bench.poll().second, Lines{client_line("Connect   ", 4, "192.0.2.10", "Two")});
  for (int poll = 0; poll < 2; ++poll) {
    const auto& one = bench.status().ats_client[1].pc_hostnames;
    const auto& two = bench.status().ats_client[4].pc_hostnames;
    ASSERT_TRUE(one && two);
    EXPECT_EQ(*one, *two);
    EXPECT_NE(one->data(), two->data());
    EXPECT_EQ(bench.poll().second, Lines{});
  }
  bench.server().remove_player(1);
  EXPECT_EQ(bench.poll().second, Lines{client_line("Disconnect", 1, "192.0.2.10", "One")});
  EXPECT_EQ(bench.status().ats_client[4].pc_hostnames, "twin-host-with-a-long-name.example.net");
}

TEST(StatsDeparture, LogsAndSays) {
  const struct {
    const char* title;
    bool zombie;  // listed as a zombie instead of missing
    bool connecting;
    int say_cancel;
    te_kick_reason kick_reason;  // as the tracker or the screen left it
    bool chickened_out;
  } cases[] = {
      {"Missing", false, false, 1, KICK_NONE, false},
      {"Zombie", true, false, 1, KICK_NONE, false},
      {"CancelledConnection", false, true, 1, KICK_NONE, true},
      {"CancelledSilently", false, true, 0, KICK_NONE, false},
      {"Blocked", false, true, 1, KICK_BLOCKED, false},
      {"Rejected", false, true, 1, KICK_REJECTED, false},
      {"AdminKick", true, true, 1, KICK_ADMIN, false},
      {"AdminBan", false, false, 1, KICK_ADMIN_BAN, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    StatsBench bench("", [&](ts_config& config) { config.say_connect_cancel = c.say_cancel; });
    Player leaver = player("\x05Leaver", "198.51.100.3", 303, c.connecting);
    bench.server().set_player(6, leaver);
    bench.poll();
    bench.status().ats_client[6].i_kick_reason = c.kick_reason;
    leaver.zombie = true;
    if (c.zombie) {
      bench.server().set_player(6, leaver);
    } else {
      bench.server().remove_player(6);
    }
    Lines commands = {"status",
                      c.chickened_out ? say(say_part("\x05Leaver") + " chickened out") : ""};
    std::erase(commands, "");
    EXPECT_EQ(bench.poll(),
              Polled(commands, {client_line("Disconnect", 6, "198.51.100.3", "Leaver")}));
    EXPECT_EQ(bench.pane_last(), "Client Disconnect 06 198.51.100.3    \x05Leaver");
  }
}

// The server may keep listing a kicked player (a kick does not always take): kicked again on
// every poll, each time under the current number.
TEST(StatsReject, KickedPlayerIsRejectedAndKickedOnEveryPollUntilTheEntryExpires) {
  for (const int say_reject : {1, 2, 0}) {
    SCOPED_TRACE(say_reject);
    StatsBench bench("", [&](ts_config& config) {
      config.say_connect_reject_kicked = say_reject;
      config.access_kicked_reject_timeout = 100;
    });
    const Player alpha = player("Alpha", "192.0.2.10", 101);
    bench.server().set_player(4, alpha);
    bench.poll();
    bench.status().ats_client[4].i_kick_reason = KICK_ADMIN;  // what the screen does
    EXPECT_EQ(bench.poll(), Polled({"status", "kick 4"}, {}));
    bench.server().remove_player(4);
    EXPECT_EQ(bench.poll(),
              Polled({"status"}, {client_line("Disconnect", 4, "192.0.2.10", "Alpha")}));

    bench.server().set_player(6, alpha);
    Lines commands = {"status", "dumpuser 6",
                      say_reject == 1 ? say("Rejected: " + say_part("Alpha")) : "", "kick 6"};
    std::erase(commands, "");
    EXPECT_EQ(bench.poll(),
              Polled(commands, {client_line("Reject    ", 6, "192.0.2.10", "Alpha")}));
    EXPECT_EQ(bench.status().ats_client[6].i_access_level, 0);
    bench.server().set_player(6, alpha);  // the simulated kick took: undo it
    EXPECT_EQ(bench.poll(), Polled({"status", "kick 6"}, {}));
    bench.server().remove_player(6);
    bench.server().set_player(11, alpha);
    EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 11", "kick 11"},
                                   {client_line("Change    ", 11, "192.0.2.10", "Alpha")}));

    // Rejected players leave no list entry (no Reconnect); the kick entry expires in time.
    bench.server().remove_player(11);
    bench.poll();
    bench.now += 100;
    bench.server().set_player(3, alpha);
    EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 3"},
                                   {client_line("Connect   ", 3, "192.0.2.10", "Alpha")}));
  }
}

TEST(StatsDetails, PlayersWhoFallDueTogetherAreSpreadOverPolls) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_dumpuser = 4; });
  Lines every = {"status", "serverinfo"};
  for (int i = 0; i < 8; ++i) {
    every.push_back("dumpuser " + std::to_string(i));
  }
  bench.server().fill_players(8);
  const auto [commands, log] = bench.poll();
  EXPECT_EQ(commands, every);
  EXPECT_EQ(log.size(), 9u);
  for (int poll = 0; poll < 3; ++poll) {
    EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  }
  // Only ceil(8 / 4) fetches of a poll keep the full interval, the rest one poll less: the
  // players drift apart instead of all falling due on the same poll forever.
  every.erase(every.begin() + 1);
  EXPECT_EQ(bench.poll(), Polled(every, {}));
  std::vector<int> countdowns;
  for (int i = 0; i < 8; ++i) {
    countdowns.push_back(bench.status().ats_client[i].i_dumpuser_countdown);
  }
  EXPECT_EQ(countdowns, (std::vector<int>{4, 4, 3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  every.erase(every.begin() + 1, every.begin() + 3);
  EXPECT_EQ(bench.poll(), Polled(every, {}));
}

TEST(StatsDetails, NegativeIntervalFetchesEveryPollAndZeroOnlyOnChanges) {
  for (const int interval : {-1, 0}) {
    StatsBench bench("", [&](ts_config& c) { c.poll_interval_dumpuser = interval; });
    bench.server().fill_players(2);
    bench.poll();
    EXPECT_EQ(bench.poll().first,
              (interval < 0 ? Lines{"status", "dumpuser 0", "dumpuser 1"} : Lines{"status"}))
        << interval;
  }
}

TEST(StatsDetails, FailedFetchIsRetriedOnTheNextPoll) {
  StatsBench bench;
  std::atomic<bool> refuse{true};
  bench.server().set_reply_override([&](const std::string& command) -> std::optional<Lines> {
    if (refuse && command == "dumpuser 1") {
      return Lines{};  // no answer at all
    }
    return std::nullopt;
  });
  Player beta = player("Beta", "198.51.100.20", 505);
  beta.userinfo = {{"skin", "female/athena"}};
  bench.server().set_player(1, beta);
  const ts_client& slot = bench.status().ats_client[1];
  bench.poll();
  EXPECT_EQ(slot.i_dumpuser_countdown, -1);
  EXPECT_STREQ(slot.ts_info.ac_skin, "");
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 1"}, {}));
  EXPECT_EQ(slot.i_dumpuser_countdown, -1);

  // The details that finally arrive differ from the empty ones: logged as a change.
  refuse = false;
  EXPECT_EQ(bench.poll(), Polled({"status", "dumpuser 1"},
                                 {client_line("Change    ", 1, "198.51.100.20", "Beta")}));
  EXPECT_EQ(slot.i_dumpuser_countdown, 0);
  EXPECT_STREQ(slot.ts_info.ac_name, "Beta");
  EXPECT_STREQ(slot.ts_info.ac_skin, "female/athena");
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));

  // A fetch that gets no reply leaves no stale details behind.
  refuse = true;
  ts_dumpuser info = slot.ts_info;
  EXPECT_EQ(r_dravstats_do_dumpuser(info, 1), 0);
  EXPECT_TRUE(info == ts_dumpuser{});
}

TEST(StatsServerinfo, AskedOnMapChangesAndWhenDueLoggedOnlyWhenDifferent) {
  StatsBench bench("", [](ts_config& c) { c.poll_interval_serverinfo = 30; });
  ts_status& status = bench.status();
  bench.server().set_map("dm_canyon", "deathmatch");
  bench.server().set_serverinfo(
      {{"mapname", "dm_canyon"}, {"hostname", "Plain"}, {"fraglimit", "30"}});
  const std::time_t first = bench.now;
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, {"Server Change     dm_canyon\n"}));
  EXPECT_EQ(status.ts_serverinfo.i_fraglimit, 30);
  EXPECT_EQ(status.i_hostname_length, 5u);
  status.b_serverinfo_updated = 0;
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));  // 10 s
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));  // 20 s
  EXPECT_EQ(status.b_serverinfo_updated, 0);
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, {}));  // 30 s: due, identical
  EXPECT_EQ(status.t_last_serverinfo, first + 30);
  EXPECT_EQ(status.b_serverinfo_updated, 1);

  // A new map asks at once; a change of other settings keeps the host name length.
  bench.server().set_map("dm_harbor", "deathmatch");
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, {"Server Change     dm_harbor\n"}));
  EXPECT_STREQ(status.ac_map, "dm_harbor");
  status.i_hostname_length = 99;
  bench.server().set_serverinfo(
      {{"mapname", "dm_harbor"}, {"hostname", "Plain"}, {"fraglimit", "40"}});
  bench.server().set_map("dm_harbor", "ctf");
  EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, {"Server Change     dm_harbor\n"}));
  EXPECT_EQ(status.i_hostname_length, 99u);
  EXPECT_EQ(status.ts_serverinfo.i_fraglimit, 40);
}

TEST(StatsServerinfo, RefusedReplyKeepsTheSettingsAndAsksAgain) {
  StatsBench bench;
  bench.server().set_serverinfo({{"mapname", "dm_canyon"}});
  bench.poll();
  bench.server().set_reply_override([](const std::string& command) -> std::optional<Lines> {
    if (command == "serverinfo") {
      return Lines{"\xff\xff\xff\xffprint\nno settings\n"};
    }
    return std::nullopt;
  });
  bench.server().set_map("dmap9", "deathmatch");
  for (int poll = 0; poll < 2; ++poll) {
    bench.status().b_serverinfo_updated = 0;
    EXPECT_EQ(bench.poll(), Polled({"status", "serverinfo"}, {}));
    EXPECT_EQ(bench.status().t_last_serverinfo, 0);
    EXPECT_EQ(bench.status().b_serverinfo_updated, 1);
    EXPECT_STREQ(bench.status().ts_serverinfo.ac_mapname, "dm_canyon");
  }
}

TEST(StatsSilent, NoStatusReplyChangesNothingButExpiresTheLists) {
  StatsBench bench("0 192.0.2.0/24       cheater\n");
  bench.server().set_faults({.silent = true});
  bench.poll();  // the first poll fails: the next complete one is still the first
  EXPECT_EQ(bench.status().b_status_updated, 0);
  bench.server().set_faults({});
  bench.server().set_serverinfo({{"mapname", "dm_canyon"}});
  bench.server().set_player(0, player("Alpha", "192.0.2.10", 101));
  bench.server().set_player(1, player("Beta", "198.51.100.20", 102));
  EXPECT_EQ(bench.poll().second, (Lines{"Server Change     dm_canyon\n",
                                        client_line("Connect   ", 0, "192.0.2.10", "Alpha"),
                                        client_line("Connect   ", 1, "198.51.100.20", "Beta")}));
  bench.server().remove_player(1);
  bench.poll();
  ASSERT_FALSE(bench.status().pts_disconnected.empty());

  ts_status& status = bench.status();
  status.b_status_updated = 0;
  status.b_serverinfo_updated = 0;
  bench.server().set_faults({.silent = true});
  bench.server().set_player(5, player("Gamma", "203.0.113.1", 103));
  bench.now += 60;  // the departure is now as old as access_reconnect_timeout
  EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  EXPECT_TRUE(status.pts_disconnected.empty());
  EXPECT_EQ(status.b_status_updated, 0);
  EXPECT_EQ(status.b_serverinfo_updated, 0);
  EXPECT_EQ(status.ats_client[0].b_active, 1);
  EXPECT_EQ(status.ats_client[5].b_active, 0);
}

// 32 players with 31-byte names need three reply datagrams; none may be lost.
TEST(StatsLongStatus, FullServerWithLongNamesStaysConnected) {
  StatsBench bench;
  for (int i = 0; i < MAX_CLIENTS; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Player-with-a-long-name-%02d-wxyz", i);
    ASSERT_EQ(std::strlen(name), 31u);
    bench.server().set_player(i, player(name, "198.51.100." + std::to_string(i + 1), 2000 + i));
  }
  const Lines first = bench.poll().second;
  ASSERT_EQ(first.size(), 33u);
  EXPECT_EQ(first.back(),
            client_line("Connect   ", 31, "198.51.100.32", "Player-with-a-long-name-31-wxyz"));
  for (int poll = 0; poll < 3; ++poll) {
    EXPECT_EQ(bench.poll(), Polled({"status"}, {}));
  }
  EXPECT_EQ(std::count_if(bench.status().ats_client.begin(), bench.status().ats_client.end(),
                          [](const ts_client& slot) { return slot.b_active == 1; }),
            MAX_CLIENTS);
}

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
  r_dravstats_update(bench.now);
  std::vector<std::pair<std::string, int>> seen;
  for (const auto& command : bench.server().commands()) {
    seen.emplace_back(command.command, command.source_port);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{
                      {"status", base}, {"serverinfo", base}, {"dumpuser 5", base + 6}}));
}

}  // namespace
