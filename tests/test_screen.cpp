// The screen's decisions without a terminal: layout, list cursors, keys acting on the
// records, player-table cells, the console line editor, the pane and its details blocks.
#include <curses.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "support.h"

namespace {

std::vector<std::string> pane_tail(int count) {
  std::vector<std::string> lines;
  for (int i = r_dravscreen_log_line_count() - count; i < r_dravscreen_log_line_count(); ++i) {
    lines.push_back(r_dravscreen_log_line(i));
  }
  return lines;
}

TEST(ScreenLayoutTest, RegionsFollowTheTerminalSize) {
  struct Case {
    int rows, cols, list_lines, table_cols, ip_cols, log_lines;
  };
  const Case cases[] = {
      {24, 80, 12, 46, 31, 6},  {24, 81, 12, 47, 31, 6},   {24, 82, 12, 48, 31, 6},
      {24, 83, 12, 49, 31, 6},  {24, 84, 12, 49, 32, 6},   {24, 85, 12, 50, 32, 6},
      {24, 100, 12, 57, 40, 6}, {24, 79, 12, 47, 29, 6},   {25, 80, 12, 46, 31, 7},
      {30, 80, 16, 46, 31, 8},  {40, 120, 22, 67, 50, 12}, {12, 40, 4, 28, 9, 2},
  };
  for (const Case& c : cases) {
    const ts_screen_layout layout = r_dravscreen_layout(c.rows, c.cols);
    const std::string size = std::to_string(c.cols) + "x" + std::to_string(c.rows);
    EXPECT_TRUE(layout.usable) << size;
    EXPECT_EQ(layout.regions[WIN_MAIN], (ts_rect{c.rows, c.cols, 0, 0})) << size;
    EXPECT_EQ(layout.regions[WIN_SERVER], (ts_rect{1, c.cols - 2, 1, 1})) << size;
    EXPECT_EQ(layout.regions[WIN_CLIENT], (ts_rect{c.list_lines, c.table_cols, 3, 1})) << size;
    EXPECT_EQ(layout.regions[WIN_IP], (ts_rect{c.list_lines, c.ip_cols, 3, c.table_cols + 2}))
        << size;
    EXPECT_EQ(layout.regions[WIN_LOG], (ts_rect{c.log_lines, c.cols - 2, c.list_lines + 4, 1}))
        << size;
    EXPECT_EQ(layout.regions[WIN_KEYS], (ts_rect{1, c.cols - 2, c.rows - 1, 1})) << size;
  }
}

TEST(ScreenLayoutTest, EveryUsableSizeGivesEachRegionRoomInsideTheScreen) {
  for (int rows = 1; rows <= 100; ++rows) {
    for (int cols = 1; cols <= 300; ++cols) {
      const ts_screen_layout layout = r_dravscreen_layout(rows, cols);
      ASSERT_EQ(layout.usable, rows >= SCREEN_MIN_ROWS && cols >= SCREEN_MIN_COLS);
      if (!layout.usable) {
        continue;
      }
      for (int window = WIN_SERVER; window < WINDOW_COUNT; ++window) {
        const ts_rect r = layout.regions[window];
        ASSERT_TRUE(r.lines >= 1 && r.cols >= 1 && r.begin_y >= 1 && r.begin_x >= 1 &&
                    r.begin_y + r.lines <= rows && r.begin_x + r.cols < cols)
            << cols << "x" << rows << " region " << window;
      }
      // The player table and the IP list sit side by side between the frame's lines.
      const ts_rect client = layout.regions[WIN_CLIENT];
      const ts_rect ip = layout.regions[WIN_IP];
      ASSERT_EQ(client.begin_x + client.cols + 1, ip.begin_x);
      ASSERT_EQ(layout.regions[WIN_LOG].begin_y + layout.regions[WIN_LOG].lines, rows - 2);
    }
  }
}

TEST(ScreenCursorTest, NavigationMovesAndClampsTheCursor) {
  struct Case {
    int key, count, page;
    ts_cursor before, after;
    int navigated;
  };
  const Case cases[] = {
      {KEY_END, 32, 11, {0, 0}, {21, 31}, 1},   {KEY_NPAGE, 32, 11, {20, 30}, {21, 31}, 1},
      {KEY_NPAGE, 32, 11, {0, 5}, {11, 16}, 1}, {KEY_PPAGE, 32, 11, {11, 16}, {0, 5}, 1},
      {KEY_PPAGE, 32, 11, {3, 5}, {0, 0}, 1},   {KEY_UP, 32, 11, {0, 0}, {0, 0}, 1},
      {KEY_DOWN, 32, 11, {0, 10}, {1, 11}, 1},  {KEY_DOWN, 32, 11, {21, 31}, {21, 31}, 1},
      {KEY_HOME, 32, 11, {21, 31}, {0, 0}, 1},  {KEY_UP, 32, 11, {5, 5}, {4, 4}, 1},
      {-1, 0, 11, {0, 0}, {-1, -1}, 0},         {'x', 3, 11, {0, 9}, {0, 2}, 0},
      {-1, 1000, 6, {0, 999}, {994, 999}, 0},   {KEY_HOME, 1000, 6, {994, 999}, {0, 0}, 1},
      {KEY_END, 5, 11, {4, 4}, {0, 4}, 1},
  };
  for (const Case& c : cases) {
    ts_cursor cursor = c.before;
    EXPECT_EQ(r_dravscreen_key_navigate(c.key, c.count, c.page, cursor), c.navigated) << c.key;
    EXPECT_EQ(cursor, c.after) << "key " << c.key << " from " << c.before.top << ","
                               << c.before.current;
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
    ts_client& slot = status_.ats_client[3];
    slot.b_active = 1;
    slot.ts_line.i_num = 3;
    slot.ts_line.ts_address.ip = r_dravip_string_to_ip("192.0.2.5");
    r_dravtools_varcpy(slot.ts_line.ac_name, "\x02Red");
  }

  int press(int key) { return r_dravscreen_apply_key(key).beeps; }
  int press(const std::string& keys) {
    int beeps = 0;
    for (char key : keys) {
      beeps += press(static_cast<unsigned char>(key));
    }
    return beeps;
  }
  std::string last_pane_line() const {
    // Log lines start with a 19-character time stamp and a blank.
    const std::string& line = r_dravscreen_log_line(r_dravscreen_log_line_count() - 1);
    return line.size() > 20 && line[4] == '-' ? line.substr(20) : line;
  }

  drav_test::TempDir dir_;
  ts_config config_;
  ts_status status_;
};

TEST_F(ScreenKeysTest, AccessKeysSetTheLevelWithinItsBoundsAndMarkTheTagsAndIpList) {
  struct Case {
    int before;
    char key;
    int after;
  };
  const Case cases[] = {{9, '+', 9},  {12, '+', 9}, {3, '+', 4},   {-4, '+', -3}, {0, '-', 0},
                        {-5, '-', 0}, {5, '-', 4},  {12, '-', 11}, {1, '7', 7},   {8, '0', 0}};
  for (const Case& c : cases) {
    config_.access_level = c.before;
    r_dravscreen_set_layout(24, 80);
    for (int w = WIN_MAIN; w < WINDOW_COUNT; ++w) {
      ASSERT_EQ(r_dravscreen_draw_state(static_cast<te_window>(w)), DRAW_ALL);
    }
    EXPECT_EQ(press(c.key), 0);
    EXPECT_EQ(config_.access_level, c.after) << c.before << c.key;
  }
  EXPECT_EQ(r_dravscreen_draw_state(WIN_MAIN), DRAW_ALL);  // a pending full redraw is kept
}

TEST_F(ScreenKeysTest, RegionKeysCycleAndSelectTheActiveRegion) {
  const std::vector<std::pair<int, te_window>> steps = {
      {'\t', WIN_IP},         {'\t', WIN_LOG},     {'\t', WIN_SERVER}, {'\t', WIN_CLIENT},
      {KEY_BTAB, WIN_SERVER}, {KEY_BTAB, WIN_LOG}, {KEY_BTAB, WIN_IP}, {KEY_BTAB, WIN_CLIENT},
      {'l', WIN_LOG},         {'S', WIN_SERVER},   {'i', WIN_IP},      {'C', WIN_CLIENT},
  };
  for (const auto& [key, active] : steps) {
    EXPECT_EQ(press(key), 0);
    EXPECT_EQ(r_dravscreen_active_window(), active) << key;
  }
  EXPECT_EQ(r_dravscreen_apply_key('q').continue_running, 0);
  EXPECT_EQ(r_dravscreen_apply_key('x').continue_running, 1);
}

TEST_F(ScreenKeysTest, PlayerCommandsOnAnEmptySlotOnlyBeep) {
  r_dravscreen_set_client_cursor({0, 4});
  const int lines = r_dravscreen_log_line_count();
  const std::string add_file_before = drav_test::read_file(config_.access_list_file_add);
  EXPECT_EQ(press("KBdD "), 5);
  EXPECT_EQ(status_.ats_client[4].i_kick_reason, KICK_NONE);
  EXPECT_EQ(r_dravscreen_log_line_count(), lines);
  EXPECT_EQ(drav_test::read_file(config_.access_list_file_add), add_file_before);
  EXPECT_EQ(r_dravaccess_get_access_level(r_dravip_string_to_ip("192.0.2.5"), nullptr), 1);
  // The lower-case letters only remind the operator of the capitals.
  EXPECT_EQ(press("k"), 0);
  EXPECT_EQ(last_pane_line(), "Use Shift-K to kick");
  EXPECT_EQ(press("b"), 0);
  EXPECT_EQ(last_pane_line(), "Use Shift-B to ban");
}

TEST_F(ScreenKeysTest, KickAndBanMarkTheSlotLogTheEventAndBanTheAddress) {
  r_dravscreen_set_client_cursor({0, 3});
  EXPECT_EQ(press('K'), 0);
  EXPECT_EQ(status_.ats_client[3].i_kick_reason, KICK_ADMIN);
  EXPECT_EQ(last_pane_line(), "Client Admin kick 03 192.0.2.5       \x02Red");
  EXPECT_EQ(press('B'), 0);
  EXPECT_EQ(status_.ats_client[3].i_kick_reason, KICK_ADMIN_BAN);
  EXPECT_EQ(last_pane_line(), "Client Admin ban  03 192.0.2.5       \x02Red");
  EXPECT_EQ(r_dravaccess_get_access_level(r_dravip_string_to_ip("192.0.2.5"), nullptr), 0);
  EXPECT_NE(drav_test::read_file(config_.access_list_file_add).find("0 192.0.2.5"),
            std::string::npos);
  // Both history entries of the address now carry the ban's level.
  EXPECT_EQ(r_dravlistip_get_list()[1].access_level, 0);
  EXPECT_EQ(r_dravlistip_get_list()[2].access_level, 0);
}

TEST_F(ScreenKeysTest, BanInTheIpListKicksEveryPlayerOfTheAddress) {
  status_.ats_client[7] = status_.ats_client[3];
  status_.ats_client[7].ts_line.i_num = 7;
  press('i');
  r_dravscreen_set_ip_cursor({0, 2});
  EXPECT_EQ(press('B'), 0);
  std::vector<std::string> events;
  for (const std::string& line : pane_tail(3)) {
    events.push_back(line.substr(20));
  }
  EXPECT_EQ(events, (std::vector<std::string>{"IP     Admin ban  192.0.2.5      ",
                                              "Client Admin ban  03 192.0.2.5       \x02Red",
                                              "Client Admin ban  07 192.0.2.5       \x02Red"}));
  EXPECT_EQ(status_.ats_client[3].i_kick_reason, KICK_ADMIN_BAN);
  EXPECT_EQ(status_.ats_client[7].i_kick_reason, KICK_ADMIN_BAN);
  EXPECT_EQ(status_.ats_client[0].i_kick_reason, KICK_NONE);
}

TEST_F(ScreenKeysTest, LocateCentresTheAddressInTheIpList) {
  struct Case {
    const char* address;
    ts_cursor after;
  };
  // Entries: 192.0.2.1, 192.0.2.5 (two), 192.0.2.9; the list shows 11 data rows.
  const Case cases[] = {{"192.0.2.5", {-3, 1}},
                        {"192.0.2.1", {-5, 0}},
                        {"192.0.2.7", {-2, 3}},
                        {"203.0.113.1", {-1, 4}}};
  r_dravscreen_set_client_cursor({0, 3});
  for (const Case& c : cases) {
    status_.ats_client[3].ts_line.ts_address.ip = r_dravip_string_to_ip(c.address);
    EXPECT_EQ(press(' '), 0);
    EXPECT_EQ(r_dravscreen_ip_cursor(), c.after) << c.address;
    EXPECT_EQ(r_dravscreen_active_window(), WIN_CLIENT);
  }
  // The IP list's own next key brings the cursor into range.
  press('i');
  EXPECT_EQ(r_dravscreen_ip_cursor(), (ts_cursor{0, 3}));
}

TEST_F(ScreenKeysTest, DetailsBlocksGoToThePaneOnly) {
  r_dravtools_varcpy(status_.ts_serverinfo.ac_hostname, "Arena");
  status_.ts_serverinfo.i_deathmatch = 4;
  r_dravtools_varcpy(status_.ts_serverinfo.ac_mapname, "q2dm1");
  status_.ts_serverinfo.i_fraglimit = 30;
  status_.ts_serverinfo.i_timelimit = 20;
  status_.ts_serverinfo.i_maxclients = 16;
  status_.ts_serverinfo.i_maxspectators = 4;
  status_.ts_serverinfo.i_dmflags = 1040;
  press('s');
  press('d');
  EXPECT_EQ(pane_tail(9),
            (std::vector<std::string>{
                "Server details:", "  Hostname:       Arena", "  Deathmatch:     4",
                "  Mapname:        q2dm1", "  Fraglimit:      30", "  Timelimit:      20",
                "  Max clients:    16", "  Max spectators: 4", "  DMflags:        1040"}));
  ts_client& slot = status_.ats_client[3];
  r_dravtools_varcpy(slot.ts_info.ac_teamname, "blue");
  r_dravtools_varcpy(slot.ts_info.ac_skin, "male/grunt");
  slot.ts_info.i_rate = 25000;
  slot.pc_hostnames = "host.example;alias1.example;alias2.example";
  press('c');
  r_dravscreen_set_client_cursor({0, 3});
  EXPECT_EQ(press('D'), 0);
  EXPECT_EQ(pane_tail(9),
            (std::vector<std::string>{"Client details:", "  Name: \x02Red", "  Team: blue",
                                      "  Skin: male/grunt", "  Rate: 25000", "  IP:   192.0.2.5",
                                      "  Host: host.example", "        alias1.example",
                                      "        alias2.example"}));
  slot.pc_hostnames.reset();
  press('D');
  EXPECT_EQ(last_pane_line(), "  DNS:  -");
  press('i');
  r_dravscreen_set_ip_cursor({0, 2});
  EXPECT_EQ(press('d'), 0);
  EXPECT_EQ(pane_tail(6),
            (std::vector<std::string>{"IP details:", "  IP:   192.0.2.5", "  Host: x.example",
                                      "        y.example", "  Name: c", "  Date: 2024-01-01"}));
  r_dravscreen_set_ip_cursor({0, 0});
  press('d');
  EXPECT_EQ(pane_tail(3)[0], "  Host: ");
}

TEST(ScreenCellsTest, PlayerRowCellsShowNumbersColoursAndOverflow) {
  struct Case {
    int table_cols, score, ping, connecting, ping_kick, level, spectator, team, deathmatch;
    ts_client_cells cells;
  };
  const Case cases[] = {
      {46, 12, 100, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 100", "192.0.2.5      ", 0, 43, 43}},
      {46, 12, 101, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 101", "192.0.2.5      ", 0, 44, 43}},
      {46, 12, 199, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 199", "192.0.2.5      ", 0, 44, 43}},
      {46, 12, 200, 0, 200, 1, 0, 0, 1, {" 3", "  12", " 200", "192.0.2.5      ", 0, 45, 43}},
      {46, 12, 9999, 0, 0, 2, 0, 0, 1, {" 3", "  12", "9999", "192.0.2.5      ", 0, 43, 45}},
      {44, -10, 1000, 0, 0, 1, 0, 0, 1, {" 3", "-10", "###", "192.0.2.5      ", 0, 43, 43}},
      {45, 12345, 999, 0, 0, 1, 0, 1, 4, {" 3", "####", "999", "192.0.2.5      ", 47, 43, 43}},
      {46, 0, 700, 1, 500, 1, 0, 0, 6, {" 3", "----", "----", "192.0.2.5      ", 46, 45, 43}},
      {46, 0, 0, 0, 500, 1, 1, 1, 6, {" 3", "   0", "   0", "192.0.2.5      ", 48, 43, 43}},
      {46, 0, 0, 0, 500, 1, 0, 2, 4, {" 3", "   0", "   0", "192.0.2.5      ", 0, 43, 43}},
  };
  for (const Case& c : cases) {
    ts_client slot;
    slot.b_active = 1;
    slot.i_access_level = 1;
    slot.ts_line.ts_address.ip = r_dravip_string_to_ip("192.0.2.5");
    slot.ts_line.i_score = c.score;
    slot.ts_line.i_ping = c.ping;
    slot.ts_line.b_connecting = c.connecting;
    slot.ts_info.i_spectator = c.spectator;
    slot.ts_info.i_team_red_blue = c.team;
    EXPECT_EQ(r_dravscreen_client_cells(slot, 3, c.table_cols, c.ping_kick, c.level, c.deathmatch),
              c.cells)
        << c.table_cols << " " << c.score << " " << c.ping;
  }
  ts_client empty;
  empty.ts_info.i_spectator = 1;
  EXPECT_EQ(r_dravscreen_client_cells(empty, 31, 46, 0, 1, 4),
            (ts_client_cells{"31", "", "", "", 0, 0, 0}));
}

TEST(ScreenConsoleTest, LineEditorFollowsItsKeys) {
  struct Case {
    const char* what;
    ts_console_line before;
    std::vector<int> keys;
    std::string text;
    int position, scroll, beeps;
    bool consumed;  // of the last key
  };
  const auto line = [](const char* text, int position, int overwrite = 0) {
    ts_console_line l;
    l.length = static_cast<int>(std::string(text).copy(l.text, CONSOLE_LINE_MAX));
    l.position = position;
    l.overwrite = overwrite;
    return l;
  };
  const std::string full(128, 'x');
  const std::vector<Case> cases = {
      {"insert at start", line("bc", 0), {'a'}, "abc", 1, 0, 0, true},
      {"insert in middle", line("ac", 1), {'b'}, "abc", 2, 0, 0, true},
      {"insert at end", line("ab", 2), {'c'}, "abc", 3, 0, 0, true},
      {"overwrite at start", line("xbc", 0, 1), {'a'}, "abc", 1, 0, 0, true},
      {"overwrite in middle", line("axc", 1, 1), {'b'}, "abc", 2, 0, 0, true},
      {"overwrite at end inserts", line("ab", 2, 1), {'c'}, "abc", 3, 0, 0, true},
      {"insert toggles the mode", line("ab", 0), {KEY_IC, 'x'}, "xb", 1, 0, 0, true},
      {"left at start beeps", line("ab", 0), {KEY_LEFT}, "ab", 0, 0, 1, true},
      {"right at end beeps", line("ab", 2), {KEY_RIGHT}, "ab", 2, 0, 1, true},
      {"home and end", line("abc", 1), {KEY_END, KEY_LEFT, KEY_HOME}, "abc", 0, 0, 0, true},
      {"backspace at start beeps", line("ab", 0), {KEY_BACKSPACE}, "ab", 0, 0, 1, true},
      {"backspace in middle", line("abc", 2), {8}, "ac", 1, 0, 0, true},
      {"delete at end beeps", line("ab", 2), {KEY_DC}, "ab", 2, 0, 1, true},
      {"delete in middle", line("abc", 1), {KEY_DC}, "ac", 1, 0, 0, true},
      {"escape empties", line("abc", 2), {27}, "", 0, 0, 0, true},
      {"enter on empty beeps", line("", 0), {13}, "", 0, 0, 1, true},
      {"other control code", line("ab", 1), {1}, "ab", 1, 0, 0, true},
      {"up passes on", line("ab", 1), {KEY_UP}, "ab", 1, 0, 0, false},
      {"no key passes on", line("ab", 1), {-1}, "ab", 1, 0, 0, false},
  };
  for (const Case& c : cases) {
    ts_console_line l = c.before;
    int beeps = 0;
    ts_console_edit edit;
    for (int key : c.keys) {
      edit = r_dravscreen_console_edit(l, key, 78);
      beeps += edit.beep ? 1 : 0;
    }
    EXPECT_EQ(std::string(l.text), c.text) << c.what;
    EXPECT_EQ(l.position, c.position) << c.what;
    EXPECT_EQ(l.scroll, c.scroll) << c.what;
    EXPECT_EQ(beeps, c.beeps) << c.what;
    EXPECT_EQ(edit.consumed, c.consumed) << c.what;
  }
  // Typing 128 characters fills the line; the 78th scrolls the 78-wide view by one, so that
  // the edit cell after the text stays in the last column; the 129th beeps.
  ts_console_line l;
  for (int i = 1; i <= 128; ++i) {
    EXPECT_FALSE(r_dravscreen_console_edit(l, 'x', 78).beep);
    if (i == 77 || i == 78) {
      EXPECT_EQ(l.scroll, i - 77);
    }
  }
  EXPECT_EQ(std::string(l.text), full);
  EXPECT_TRUE(r_dravscreen_console_edit(l, 'y', 78).beep);
  EXPECT_EQ(l.length, 128);
  r_dravscreen_console_edit(l, KEY_HOME, 78);
  EXPECT_EQ(l.scroll, 0);
  const ts_console_edit enter = r_dravscreen_console_edit(l, KEY_ENTER, 78);
  EXPECT_TRUE(enter.send && enter.consumed);
}

TEST_F(ScreenKeysTest, ConsoleTakesPrintableKeysButNotListKeysAndSurvivesAToggle) {
  EXPECT_EQ(press('~'), 0);
  EXPECT_TRUE(r_dravscreen_console_active());
  EXPECT_EQ(r_dravscreen_apply_key('q').continue_running, 1);  // typed, not quit
  press("\t1");
  EXPECT_EQ(r_dravscreen_active_window(), WIN_CLIENT);
  EXPECT_EQ(config_.access_level, 1);
  press(KEY_DOWN);
  EXPECT_EQ(r_dravscreen_client_cursor().current, 1);
  press('`');
  EXPECT_FALSE(r_dravscreen_console_active());
  press(KEY_F(1));
  EXPECT_EQ(std::string(r_dravscreen_console_line().text), "q1");
  // Enter sends nothing without a server link here beyond the echo line.
  press(27);
  EXPECT_EQ(press(13), 1);
}

TEST(ScreenPaneTest, TextIsCutIntoLinesAtEveryLineFeed) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"one", {"one"}},
      {"", {""}},
      {"one\n", {"one"}},
      {"one\n\ntwo\n", {"one", "", "two"}},
      {"\n", {""}},
      {"\x02"
       "col\x7F\xE9",
       {"\x02"
        "col\x7F\xE9"}},
  };
  for (const Case& c : cases) {
    const int before = r_dravscreen_log_line_count();
    r_dravscreen_add_log_line(c.text.c_str());
    if (before + static_cast<int>(c.lines.size()) <= LOG_LINES_MAX) {
      EXPECT_EQ(r_dravscreen_log_line_count() - before, static_cast<int>(c.lines.size()));
    }
    EXPECT_EQ(pane_tail(static_cast<int>(c.lines.size())), c.lines) << c.text;
    EXPECT_EQ(r_dravscreen_log_cursor().current, r_dravscreen_log_line_count() - 1);
    EXPECT_EQ(r_dravscreen_draw_state(WIN_LOG), DRAW_ALL);
  }
  for (int i = 0; i < 1500; ++i) {
    r_dravscreen_add_log_line(("line " + std::to_string(i)).c_str());
  }
  ASSERT_EQ(r_dravscreen_log_line_count(), LOG_LINES_MAX);
  EXPECT_EQ(r_dravscreen_log_line(0), "line 500");
  r_dravscreen_add_log_line("a\nb");
  EXPECT_EQ(r_dravscreen_log_line(0), "line 502");
  EXPECT_EQ(r_dravscreen_log_line(999), "b");
  EXPECT_EQ(r_dravscreen_log_cursor().current, 999);
}

TEST(ScreenPaneTest, IpSelectionFollowsItsEntryWhenEntriesAreInsertedAtOrBeforeIt) {
  struct Case {
    int current, inserted_at, expected;
  };
  const Case cases[] = {{10, 3, 11}, {10, 10, 11}, {10, 12, 10}, {0, 0, 1}};
  for (const Case& c : cases) {
    r_dravscreen_set_ip_cursor({4, c.current});
    r_dravscreen_ip_inserted(c.inserted_at);
    EXPECT_EQ(r_dravscreen_ip_cursor(), (ts_cursor{4, c.expected}));
  }
}

}  // namespace
