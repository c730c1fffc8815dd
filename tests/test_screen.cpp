// The screen's decisions without a terminal: layout, cursors, keys, cells, line editor, details.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_pane.h"
#include "drav_screen.h"
#include "drav_screen_internal.h"
#include "drav_statsparse.h"
#include "support.h"

using drav_test::ip;

namespace {

using Lines = std::vector<std::string>;

// The newest `count` pane lines, each without the time stamp that log lines start with.
Lines pane_tail(int count) {
  Lines lines;
  for (int i = r_dravpane_line_count() - count; i < r_dravpane_line_count(); ++i) {
    const std::string& line = r_dravpane_line(i);
    lines.push_back(line.size() > 20 && line[4] == '-' ? line.substr(20) : line);
  }
  return lines;
}

TEST(ScreenTest, RegionsFollowTheTerminalSize) {
  const struct {
    int rows, cols, list_lines, table_cols, ip_cols, log_lines;
    bool usable;
  } cases[] = {
      {24, 80, 12, 46, 31, 6, true}, {24, 83, 12, 49, 31, 6, true}, {24, 84, 12, 49, 32, 6, true},
      {24, 79, 12, 47, 29, 6, true}, {30, 80, 16, 46, 31, 8, true}, {40, 120, 22, 67, 50, 12, true},
      {12, 40, 4, 28, 9, 2, true},   {11, 40, 2, 28, 9, 3, false},  {12, 39, 4, 27, 9, 2, false},
  };
  for (const auto& c : cases) {
    const ts_screen_layout layout = r_dravscreen_layout(c.rows, c.cols);
    const std::array<ts_rect, WINDOW_COUNT> expected = {{
        {c.rows, c.cols, 0, 0},
        {1, c.cols - 2, 1, 1},
        {c.list_lines, c.table_cols, 3, 1},
        {c.list_lines, c.ip_cols, 3, c.table_cols + 2},
        {c.log_lines, c.cols - 2, c.list_lines + 4, 1},
        {1, c.cols - 2, c.rows - 1, 1},
    }};
    EXPECT_TRUE(layout.ats_regions == expected && layout.b_usable == c.usable)
        << c.cols << "x" << c.rows;
  }
}

TEST(ScreenTest, NavigationMovesAndClampsTheCursor) {
  const struct {
    int key, count, page;
    ts_cursor before, after;
    int navigated;
  } cases[] = {
      {KEY_VALUE_END, 32, 11, {0, 0}, {21, 31}, 1},
      {KEY_VALUE_PAGE_DOWN, 32, 11, {20, 30}, {21, 31}, 1},
      {KEY_VALUE_PAGE_DOWN, 32, 11, {0, 5}, {11, 16}, 1},
      {KEY_VALUE_PAGE_UP, 32, 11, {11, 16}, {0, 5}, 1},
      {KEY_VALUE_PAGE_UP, 32, 11, {3, 5}, {0, 0}, 1},
      {KEY_VALUE_DOWN, 32, 11, {0, 10}, {1, 11}, 1},
      {KEY_VALUE_DOWN, 32, 11, {21, 31}, {21, 31}, 1},
      {KEY_VALUE_HOME, 32, 11, {21, 31}, {0, 0}, 1},
      {KEY_VALUE_UP, 32, 11, {5, 5}, {4, 4}, 1},
      {-1, 0, 11, {0, 0}, {-1, -1}, 0},
      {KEY_VALUE_END, 5, 11, {4, 4}, {0, 4}, 1},
  };
  for (const auto& c : cases) {
    ts_cursor cursor = c.before;
    EXPECT_EQ(r_dravscreen_key_navigate(c.key, c.count, c.page, cursor), c.navigated) << c.key;
    EXPECT_EQ(cursor, c.after) << c.key << " from " << c.before.i_top << "," << c.before.i_current;
  }
}

// The screen's records with a player table, an IP history and an access list on disk.
class ScreenKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.log_file_ip, dir_.file("history").c_str());
    r_dravtools_varcpy(config_.access_list_file_add, dir_.file("add").c_str());
    drav_test::write_file(config_.log_file_ip,
                          "20240101 192.0.2.1       a\\\n20240101 192.0.2.5       b\\\n"
                          "20240101 192.0.2.5       c\\x.example;y.example\n"
                          "20240101 192.0.2.9       d\\\n");
    config_.access_level = 1;
    r_dravaccess_init(config_);
    r_dravlistip_init(config_);
    r_dravscreen_attach(config_, status_);
    r_dravscreen_set_layout(24, 80);
    for (int slot : {3, 7}) {
      status_.ats_client[slot].b_active = 1;
      status_.ats_client[slot].ts_line = {
          .i_num = slot, .ac_name = "\x02Red", .ts_address = {ip("192.0.2.5")}};
    }
  }

  int press(const std::vector<int>& keys) {
    int beeps = 0;
    for (int key : keys)
      beeps += r_dravscreen_apply_key(key).i_beeps;
    return beeps;
  }
  // Goes to the player table ('c') or the IP list ('i'), selects `row` there and presses `keys`.
  int at(int region, int row, const std::vector<int>& keys) {
    press({region});
    (region == 'i' ? r_dravscreen_set_ip_cursor : r_dravscreen_set_client_cursor)({0, row});
    return press(keys);
  }

  drav_test::TempDir dir_;
  ts_config config_;
  ts_status status_;
};

// The player table has a row per slot of the server (32 until its settings tell), further down
// to a higher slot in use, at most 256; numbers from 100 on widen the number column. The header
// shows the settings' game name when the status reply has no game type (the reply's own: the
// terminal test).
TEST_F(ScreenKeysTest, PlayerTableRowsFollowTheServersSlots) {
  const struct {
    int maxclients, active, rows;
    const char* heading;
  } cases[] = {{0, 7, 32, " #|"},     {16, 7, 16, " #|"},     {16, 40, 41, " #|"},
               {128, 7, 128, "  #|"}, {1000, 7, 256, "  #|"}, {0, 255, 256, "  #|"}};
  for (const auto& c : cases) {
    status_.ts_serverinfo.i_maxclients = c.maxclients;
    status_.ats_client[40].b_active = status_.ats_client[255].b_active = 0;
    status_.ats_client[static_cast<std::size_t>(c.active)].b_active = 1;
    EXPECT_EQ(std::tuple(r_dravscreen_client_rows(),
                         r_dravscreen_client_heading(80).substr(0, std::strlen(c.heading))),
              std::tuple(c.rows, c.heading))
        << c.maxclients << " " << c.active;
  }
  r_dravtools_varcpy(status_.ac_map, "box");
  r_dravtools_varcpy(status_.ts_serverinfo.ac_gamename, "base");
  EXPECT_EQ(r_dravscreen_game_text(status_), "Game: base - box");
}

TEST_F(ScreenKeysTest, AccessAndRegionKeys) {
  const std::tuple<int, char, int> levels[] = {{9, '+', 9}, {12, '+', 9}, {3, '+', 4},
                                               {0, '-', 0}, {-5, '-', 0}, {12, '-', 11},
                                               {8, '0', 0}};
  for (const auto& [before, key, after] : levels) {
    config_.access_level = before;
    EXPECT_EQ(press({key}), 0);
    EXPECT_EQ(config_.access_level, after) << before << key;
  }
  // Tab steps through the regions and Shift-Tab back; a region's letter goes to it.
  const std::pair<int, std::vector<te_window>> steps[] = {
      {'\t', {WIN_IP, WIN_LOG, WIN_SERVER, WIN_CLIENT}},
      {KEY_VALUE_BACK_TAB, {WIN_SERVER, WIN_LOG, WIN_IP, WIN_CLIENT}},
      {'S', {WIN_SERVER}},
      {'C', {WIN_CLIENT}}};
  for (const auto& [key, windows] : steps) {
    for (const te_window active : windows) {
      EXPECT_EQ(press({key}), 0);
      EXPECT_EQ(r_dravscreen_active_window(), active) << key;
    }
  }

  // The console takes printable keys (the help's too), not list keys; its line outlasts a toggle.
  press({'~'});
  EXPECT_EQ(r_dravscreen_apply_key('q').i_continue_running, 1);  // typed, not quit
  press({'\t', '1', '?', 'h', KEY_VALUE_DOWN});
  EXPECT_EQ(std::tuple(r_dravscreen_active_window(), config_.access_level,
                       r_dravscreen_client_cursor().i_current),
            std::tuple(WIN_CLIENT, 0, 1));
  press({'`', KEY_VALUE_F1});
  EXPECT_EQ(std::string(r_dravscreen_console_line().ac_text), "q1?h");
  EXPECT_EQ(press({27, 13}), 1);  // Enter on an empty line beeps
}

// The closing key does nothing else (that its q does not quit: the terminal test).
TEST_F(ScreenKeysTest, HelpShowsUntilTheNextKeyWhichOnlyClosesIt) {
  for (const auto& [opening, closing] : {std::pair{'?', '~'}, {'h', '5'}}) {
    press({opening, KEY_VALUE_NONE});  // no key leaves it shown
    ASSERT_TRUE(r_dravscreen_help_shown()) << opening;
    const int beeps = press({closing});
    EXPECT_EQ(std::tuple(beeps, r_dravscreen_help_shown(), r_dravscreen_console_active(),
                         config_.access_level),
              std::tuple(0, false, false, 1))
        << opening << " then " << closing;
  }
}

// Pausing as seen is the terminal test's; here a paused pane's view as lines come and fall out.
TEST_F(ScreenKeysTest, PausedPaneHoldsItsViewWhileLinesComeIn) {
  const auto bottom_line = [] { return r_dravpane_line(r_dravscreen_log_cursor().i_current); };
  for (int i = 0; i < 20; ++i)
    r_dravpane_add_text(("line " + std::to_string(i)).c_str());
  // Without a pause every text shows the newest line.
  press({'l', KEY_VALUE_UP, KEY_VALUE_UP});
  EXPECT_EQ(bottom_line(), "line 17");
  r_dravpane_add_text("line 20");
  EXPECT_EQ(bottom_line(), "line 20");

  // In a full pane the oldest lines fall out, out of the view too; p pauses as P does.
  while (r_dravpane_line_count() < LOG_LINES_MAX)
    r_dravpane_add_text("filler");
  press({KEY_VALUE_HOME, KEY_VALUE_DOWN, KEY_VALUE_DOWN, 'p'});  // "line 2" at the bottom
  r_dravpane_add_text("x\ny");
  EXPECT_EQ(std::tuple(r_dravscreen_log_cursor().i_current, bottom_line()),
            std::tuple(0, "line 2"));
  r_dravpane_add_text("z");  // the view's last line falls out: the oldest one left shows
  EXPECT_EQ(std::tuple(r_dravscreen_log_cursor().i_current, bottom_line(), r_dravpane_line_count(),
                       r_dravscreen_log_pause_label()),
            std::tuple(0, "line 3", LOG_LINES_MAX, "PAUSED +3"));
}

TEST_F(ScreenKeysTest, KickAndBanActOnTheSelectedPlayerOrAddressOnly) {
  const auto level = [](const char* address) {
    return r_dravaccess_get_access_level(ip(address), nullptr);
  };
  // On an empty slot the player commands only beep; lower-case letters only remind.
  EXPECT_EQ(at('c', 4, {'K', 'B', 'd', 'D', ' '}), 5);
  EXPECT_EQ(std::tuple(status_.ats_client[4].i_kick_reason,
                       drav_test::read_file(config_.access_list_file_add)),
            std::tuple(KICK_NONE, ""));
  EXPECT_EQ(press({'k', 'b'}), 0);
  EXPECT_EQ(pane_tail(2), (Lines{"Use Shift-K to kick", "Use Shift-B to ban"}));
  EXPECT_EQ(at('c', 3, {'K'}), 0);
  EXPECT_EQ(std::tuple(status_.ats_client[3].i_kick_reason, status_.ats_client[7].i_kick_reason),
            std::tuple(KICK_ADMIN, KICK_NONE));

  // B in the IP list bans the selected entry's address only, first and last too (past the end:
  // the last).
  for (const int row : {0, 9})
    EXPECT_EQ(at('i', row, {'B'}), 0);
  EXPECT_EQ(pane_tail(2),
            (Lines{"IP     Admin ban  192.0.2.1      ", "IP     Admin ban  192.0.2.9      "}));
  EXPECT_EQ(std::tuple(level("192.0.2.1"), level("192.0.2.5"), level("192.0.2.9")),
            std::tuple(0, 1, 0));
  // A ban kicks every player of the address and gives its history entries the ban's level; a
  // return of the address is no longer a reconnect.
  const auto departed = [](const char* address) {
    return ts_disconnected{.ts_address = {ip(address), 27901}, .i_qport = 9, .t_time = 1};
  };
  status_.pts_disconnected = {departed("192.0.2.5"), departed("192.0.2.1"), departed("192.0.2.5")};
  EXPECT_EQ(at('i', 2, {'B'}), 0);
  EXPECT_EQ(pane_tail(3), (Lines{"IP     Admin ban  192.0.2.5      ",
                                 "Client Admin ban  03 192.0.2.5       \x02Red",
                                 "Client Admin ban  07 192.0.2.5       \x02Red"}));
  const auto history = r_dravlistip_get_list();
  EXPECT_EQ(std::tuple(status_.ats_client[3].i_kick_reason, status_.ats_client[7].i_kick_reason,
                       level("192.0.2.5"), history[1].access_level, history[2].access_level),
            std::tuple(KICK_ADMIN_BAN, KICK_ADMIN_BAN, 0, 0, 0));
  EXPECT_EQ(std::distance(status_.pts_disconnected.begin(), status_.pts_disconnected.end()), 1);
  // So does a ban of a player.
  status_.pts_disconnected.push_front(departed("192.0.2.5"));
  EXPECT_EQ(at('c', 7, {'B'}), 0);
  ASSERT_EQ(std::distance(status_.pts_disconnected.begin(), status_.pts_disconnected.end()), 1);
  EXPECT_EQ(status_.pts_disconnected.front().ts_address.ip, ip("192.0.2.1"));
  // Without entries, B and D in the IP list only beep.
  press({'i'});
  r_dravlistip_finish();
  const int lines = r_dravpane_line_count();
  EXPECT_EQ(press({'B', 'd'}), 2);
  EXPECT_EQ(r_dravpane_line_count(), lines);
}

TEST_F(ScreenKeysTest, LocateCentresTheAddressInTheIpList) {
  // Entries: 192.0.2.1, 192.0.2.5 (two), 192.0.2.9; the list shows 11 data rows.
  const std::pair<const char*, ts_cursor> cases[] = {
      {"192.0.2.5", {-3, 1}}, {"192.0.2.1", {-5, 0}}, {"203.0.113.1", {-1, 4}}};
  r_dravscreen_set_client_cursor({0, 3});
  for (const auto& [address, after] : cases) {
    status_.ats_client[3].ts_line.ts_address.ip = ip(address);
    EXPECT_EQ(press({' '}), 0);
    EXPECT_EQ(r_dravscreen_ip_cursor(), after) << address;
    EXPECT_EQ(r_dravscreen_active_window(), WIN_CLIENT);
  }
  // The IP list's own next key brings the cursor into range.
  press({'i'});
  EXPECT_EQ(r_dravscreen_ip_cursor(), (ts_cursor{0, 3}));
}

TEST_F(ScreenKeysTest, DetailsBlocksGoToThePaneOnly) {
  status_.ts_serverinfo = {.ac_mapname = "q2dm1",
                           .i_maxspectators = 4,
                           .i_deathmatch = 4,
                           .i_fraglimit = 30,
                           .i_timelimit = 20,
                           .ac_hostname = "Arena",
                           .i_maxclients = 16,
                           .i_dmflags = 1040};
  press({'s', 'd'});
  EXPECT_EQ(pane_tail(9),
            (Lines{"Server details:", "  Hostname:       Arena", "  Deathmatch:     4",
                   "  Mapname:        q2dm1", "  Fraglimit:      30", "  Timelimit:      20",
                   "  Max clients:    16", "  Max spectators: 4", "  DMflags:        1040"}));
  ts_client& slot = status_.ats_client[3];
  slot.ts_info = {.ac_teamname = "blue", .ac_skin = "male/grunt", .i_rate = 25000};
  slot.pc_hostnames = "host.example;alias1.example;alias2.example";
  EXPECT_EQ(at('c', 3, {'D'}), 0);
  EXPECT_EQ(pane_tail(9),
            (Lines{"Client details:", "  Name: \x02Red", "  Team: blue", "  Skin: male/grunt",
                   "  Rate: 25000", "  IP:   192.0.2.5", "  Host: host.example",
                   "        alias1.example", "        alias2.example"}));
  slot.pc_hostnames.reset();
  press({'D'});
  EXPECT_EQ(pane_tail(1)[0], "  DNS:  -");
  EXPECT_EQ(at('i', 2, {'d'}), 0);
  EXPECT_EQ(pane_tail(6), (Lines{"IP details:", "  IP:   192.0.2.5", "  Host: x.example",
                                 "        y.example", "  Name: c", "  Date: 2024-01-01"}));
  at('i', 0, {'d'});
  EXPECT_EQ(pane_tail(3)[0], "  Host: ");
}

TEST(ScreenTest, PlayerRowCellsShowNumbersColoursAndOverflow) {
  const struct {
    int table_cols, score, ping, connecting, ping_kick, level, spectator, team, deathmatch;
    ts_client_cells cells;
  } cases[] = {
      {46, 12, 100, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 100", "192.0.2.5      ", 0, 43, 43}},
      {46, 12, 101, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 101", "192.0.2.5      ", 0, 44, 43}},
      {46, 12, 200, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 200", "192.0.2.5      ", 0, 45, 43}},
      {46, 12, 9999, 0, 0, 2, 0, 0, 1, {" 3", "  12", "9999", "192.0.2.5      ", 0, 43, 45}},
      {44, -10, 1000, 0, 0, 1, 0, 0, 1, {" 3", "-10", "###", "192.0.2.5      ", 0, 43, 43}},
      {45, 12345, 999, 0, 0, 1, 0, 1, 4, {" 3", "####", "999", "192.0.2.5      ", 47, 43, 43}},
      {46, 0, 700, 1, 500, 1, 0, 0, 6, {" 3", "----", "----", "192.0.2.5      ", 46, 45, 43}},
      {46, 0, 0, 0, 500, 1, 1, 1, 6, {" 3", "   0", "   0", "192.0.2.5      ", 48, 43, 43}},
      {46, 0, 0, 0, 500, 1, 0, 2, 4, {" 3", "   0", "   0", "192.0.2.5      ", 0, 43, 43}},
  };
  for (const auto& c : cases) {
    ts_client slot;
    slot.b_active = 1;
    slot.i_access_level = 1;
    slot.ts_line = {.i_score = c.score,
                    .i_ping = c.ping,
                    .ts_address = {ip("192.0.2.5")},
                    .b_connecting = c.connecting};
    slot.ts_info = {.i_spectator = c.spectator, .i_team_red_blue = c.team};
    EXPECT_EQ(r_dravscreen_client_cells(slot, 3, c.table_cols, c.ping_kick, c.level, c.deathmatch),
              c.cells)
        << c.table_cols << " " << c.score << " " << c.ping;
  }
}

TEST(ScreenTest, ConsoleLineEditorFollowsItsKeys) {
  const struct {
    const char* before;
    int position, overwrite;
    std::vector<int> keys;
    std::string text;
    int after, beeps;
    bool consumed;  // of the last key
  } cases[] = {
      {"bc", 0, 0, {'a'}, "abc", 1, 0, true},
      {"xbc", 0, 1, {'a'}, "abc", 1, 0, true},
      {"ab", 2, 1, {'c'}, "abc", 3, 0, true},
      {"ab", 0, 0, {KEY_VALUE_INSERT, 'x'}, "xb", 1, 0, true},
      {"ab", 0, 0, {KEY_VALUE_LEFT}, "ab", 0, 1, true},
      {"ab", 2, 0, {KEY_VALUE_RIGHT}, "ab", 2, 1, true},
      {"abc", 1, 0, {KEY_VALUE_END, KEY_VALUE_LEFT, KEY_VALUE_HOME}, "abc", 0, 0, true},
      {"ab", 0, 0, {KEY_VALUE_BACKSPACE}, "ab", 0, 1, true},
      {"abc", 2, 0, {8}, "ac", 1, 0, true},
      {"ab", 2, 0, {KEY_VALUE_DELETE}, "ab", 2, 1, true},
      {"abc", 1, 0, {KEY_VALUE_DELETE}, "ac", 1, 0, true},
      {"abc", 2, 0, {27}, "", 0, 0, true},
      {"", 0, 0, {13}, "", 0, 1, true},
      {"ab", 1, 0, {1}, "ab", 1, 0, true},
      {"ab", 1, 0, {127}, "ab", 1, 0, true},
      {"ab", 1, 0, {KEY_VALUE_UP}, "ab", 1, 0, false},
      {"ab", 1, 0, {-1}, "ab", 1, 0, false},
  };
  for (const auto& c : cases) {
    ts_console_line line{.i_position = c.position, .i_overwrite = c.overwrite};
    line.i_length = static_cast<int>(std::string(c.before).copy(line.ac_text, CONSOLE_LINE_MAX));
    int beeps = 0;
    ts_console_edit edit;
    for (int key : c.keys) {
      edit = r_dravscreen_console_edit(line, key, 78);
      beeps += edit.b_beep ? 1 : 0;
    }
    EXPECT_EQ(std::tuple(std::string(line.ac_text), line.i_position, line.i_scroll, beeps,
                         edit.b_consumed),
              std::tuple(c.text, c.after, 0, c.beeps, c.consumed))
        << c.before << " key " << c.keys[0];
  }
  // 128 characters fill the line; the 78th scrolls the 78-wide view by one to keep the edit cell
  // in the last column; the 129th beeps.
  ts_console_line line;
  for (int i = 1; i <= 128; ++i) {
    EXPECT_FALSE(r_dravscreen_console_edit(line, 'x', 78).b_beep);
    EXPECT_EQ(line.i_scroll, i < 78 ? 0 : i - 77);
  }
  EXPECT_EQ(std::string(line.ac_text), std::string(128, 'x'));
  EXPECT_TRUE(r_dravscreen_console_edit(line, 'y', 78).b_beep);
  EXPECT_EQ(line.i_length, 128);
  r_dravscreen_console_edit(line, KEY_VALUE_HOME, 78);
  EXPECT_EQ(line.i_scroll, 0);
  const ts_console_edit enter = r_dravscreen_console_edit(line, KEY_VALUE_ENTER, 78);
  EXPECT_TRUE(enter.b_send && enter.b_consumed);
  // At the line's end, narrower then wider bars show what fits, all from the start once it fits.
  r_dravscreen_console_edit(line, KEY_VALUE_END, 78);
  for (const auto& [width, scroll] : {std::pair{78, 51}, {40, 89}, {78, 51}, {129, 0}}) {
    r_dravscreen_console_edit(line, KEY_VALUE_NONE, width);
    EXPECT_EQ(line.i_scroll, scroll) << width;
  }
}

TEST_F(ScreenKeysTest, FindLineMovesTheIpSelection) {
  // Entries: 0 192.0.2.1 a, 1 and 2 192.0.2.5 b and c (c with host names), 3 192.0.2.9 d.
  const struct {
    std::vector<int> keys;
    int current, beeps;
    bool open, no_match;
  } steps[] = {
      {{'i', 'n'}, 0, 1, false, false},  // no query yet
      {{'/', '1', '9', '2', '.', '0', '.', '2', '.', '0', '/', '3', '3'}, 0, 0, true, true},
      {{27, KEY_VALUE_DOWN, '/', 'X', 'a'}, 2, 0, true, false},  // c's host names, after b
      {{'Z', KEY_VALUE_LEFT}, 2, 0, true, true},
      {{KEY_VALUE_END, 8, 8, 8, 8}, 1, 1, true, false},  // empty: back where it opened
      {{27, '/', '1', '9', '2', '.', '0', '.', '2', '.', '5', 13}, 1, 0, false, false},
      {{'n'}, 2, 0, false, false},
      {{'/', 'z', 13, 'N'}, 2, 1, false, false},
  };
  for (const auto& step : steps) {
    const int beeps = press(step.keys);
    EXPECT_EQ(std::tuple(r_dravscreen_ip_cursor().i_current, beeps, r_dravscreen_find_open(),
                         r_dravscreen_find_no_match(), r_dravscreen_active_window()),
              std::tuple(step.current, step.beeps, step.open, step.no_match, WIN_IP))
        << step.keys[0] << " ... " << std::string(r_dravscreen_find_line().ac_text);
  }
}

TEST_F(ScreenKeysTest, AliasesBlockShowsNamesAndOtherAddressesAtMostTwentyEach) {
  // 192.0.2.7: Ann (undated too) and p01 to p20, later days first; Ann on 198.51.100.1
  // (banned below) and undated on .3, p01 to p20 on 203.0.113.1 to .20 and p01 on .21. Anne
  // undated stores the same first bytes as Ann undated.
  std::string history =
      "00000000 192.0.2.7       Ann\\\n20261205 192.0.2.7       Ann\\\n"
      "20261102 198.51.100.1    Ann\\h.example\n20261101 198.51.100.1    Ann\\\n"
      "20261103 198.51.100.2    Zed\\\n00000000 198.51.100.3    Ann\\\n"
      "00000000 198.51.100.4    Anne\\\n";
  Lines expected = {"Aliases of 192.0.2.7:", "  Names:", "    ----------  Ann"},
        addresses = {"  Other addresses:", "    198.51.100.1     2026-11-01  level 0 banned  Ann",
                     "    198.51.100.3     ----------  level 1  Ann"};
  for (int i = 1; i <= 21; ++i) {
    const int number = (i - 1) % 20 + 1;
    const std::string name = (number < 10 ? "p0" : "p") + std::to_string(number),
                      address = "203.0.113." + std::to_string(i), day = std::to_string(30 - i);
    if (i <= 20)
      history += "202612" + day + " 192.0.2.7       " + name + "\\\n";
    history += "20261120 " + address + std::string(16 - address.size(), ' ') + name + "\\\n";
    if (i < 20)
      expected.push_back("    2026-12-" + day + "  " + name);
    if (i < 19)
      addresses.push_back("    " + address + std::string(17 - address.size(), ' ') +
                          "2026-11-20  level 1  " + name);
  }
  expected.push_back("    ... and 1 more");
  expected.insert(expected.end(), addresses.begin(), addresses.end());
  expected.push_back("    ... and 3 more");
  drav_test::write_file(config_.log_file_ip, history);
  r_dravlistip_init(config_);
  r_dravaccess_block_ip(ip("198.51.100.1"), nullptr, "test");

  EXPECT_EQ(at('i', 0, {'A'}), 0);
  EXPECT_EQ(pane_tail(45), expected);
  // From the player table: the selected player's address; an empty slot beeps.
  status_.ats_client[3].ts_line.ts_address.ip = ip("192.0.2.200");
  EXPECT_EQ(at('c', 3, {'a'}), 0);
  EXPECT_EQ(pane_tail(5), (Lines{"Aliases of 192.0.2.200:", "  Names:", "    none",
                                 "  Other addresses:", "    none"}));
  EXPECT_EQ(at('c', 4, {'A'}), 1);
  EXPECT_EQ(pane_tail(1)[0], "    none");
}

}  // namespace
