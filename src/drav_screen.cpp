// The screen's records and decisions: its state, the layout, the list cursors and the cells
// of the player table. Nothing here touches the terminal, so the tests drive it directly.
#include <algorithm>
#include <cstdio>
#include <string>

#include "drav_event.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_pane.h"
#include "drav_screen_internal.h"
#include "drav_stats.h"
#include "drav_statsparse.h"

ts_screen_state gts_screen;

namespace {

// Rows outside the two lists and the pane: the frame's four lines, the header and the key bar.
constexpr int LAYOUT_FIXED_ROWS = 6;
// The lists start below the frame's top line, the header and the line under the header.
constexpr int LAYOUT_LIST_FIRST_ROW = 3;
// The player table takes all but 34 columns of an 80- to 83-column terminal; beyond those it
// grows (or shrinks) by one column for every two further (or fewer) columns of terminal.
constexpr int TABLE_STEADY_FIRST_COLS = 80;
constexpr int TABLE_STEADY_LAST_COLS = 83;
constexpr int TABLE_SPARE_COLS = 34;
// Frag and ping cells are 4 columns wide, or 3 in a player table at most this wide.
constexpr int CELL_WIDTH_WIDE = 4;
constexpr int CELL_WIDTH_NARROW = 3;
constexpr int FRAG_NARROW_TABLE_COLS = 44;
constexpr int PING_NARROW_TABLE_COLS = 45;

int r_dravscreen_table_width(int cols) {
  if (cols >= TABLE_STEADY_FIRST_COLS && cols <= TABLE_STEADY_LAST_COLS) {
    return cols - TABLE_SPARE_COLS;
  }
  return (cols - TABLE_STEADY_LAST_COLS) / 2 + TABLE_STEADY_LAST_COLS - TABLE_SPARE_COLS;
}

// A number right-aligned in its column; "#" cells when it does not fit, "-" cells while
// the player is still connecting.
std::string r_dravscreen_number_cell(int value, int width, bool connecting) {
  if (connecting) {
    return std::string(static_cast<std::size_t>(width), '-');
  }
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%*d", width, value);
  if (length > width) {
    return std::string(static_cast<std::size_t>(width), '#');
  }
  return text;
}

int r_dravscreen_ping_pair(int ping, int ping_kick) {
  if (ping_kick <= 0 || ping <= ping_kick / 2) {
    return PAIR_GOOD;
  }
  return ping < ping_kick ? PAIR_WARN : PAIR_BAD;
}

// What the paused pane holds now, to compare with after the next text.
void r_dravscreen_remember_pane() {
  ts_log_pause& pause = gts_screen.ts_pause_log;
  pause.i_count_seen = r_dravpane_line_count();
  pause.po_newest_seen =
      pause.i_count_seen > 0 ? &r_dravpane_line(pause.i_count_seen - 1) : nullptr;
}

// The pane tells only that a text came in, which may be several lines, and when it is full
// it drops as many of its oldest lines. Its lines stay where they are in memory until they
// are dropped (they grow at the back of a deque and leave at its front), so the line that
// was the newest one last time, found again, tells both numbers: the paused view keeps its
// lines, and those that fell out of the pane fall out of the view.
void r_dravscreen_follow_paused_pane() {
  ts_log_pause& pause = gts_screen.ts_pause_log;
  const int count = r_dravpane_line_count();
  int previous_newest = -1;  // where that line is now; -1 when there was none or it is gone
  for (int index = count - 1; index >= 0 && pause.po_newest_seen != nullptr; --index) {
    if (&r_dravpane_line(index) == pause.po_newest_seen) {
      previous_newest = index;
      break;
    }
  }
  const int dropped = pause.i_count_seen - 1 - previous_newest;
  pause.i_new_lines += count - 1 - previous_newest;
  ts_cursor& cursor = gts_screen.ts_cursor_log;
  // When every line of the view fell out, the view shows the oldest line left.
  cursor.i_current = std::max(cursor.i_current - dropped, std::min(0, count - 1));
  r_dravscreen_remember_pane();
  r_dravscreen_mark_tags();
}

// Registered with the pane: the pane jumps to the newest line even when the operator had
// scrolled back, unless the operator paused it.
void r_dravscreen_pane_added() {
  if (gts_screen.ts_pause_log.b_paused) {
    r_dravscreen_follow_paused_pane();
  } else {
    gts_screen.ts_cursor_log.i_current = r_dravpane_line_count() - 1;
  }
  r_dravscreen_mark(WIN_LOG);
}

// Registered with the IP history: the selection stays on its entry, and so does the one
// that Escape in the find line goes back to.
void r_dravscreen_ip_inserted(std::int32_t index) {
  for (ts_cursor* cursor : {&gts_screen.ts_cursor_ip, &gts_screen.ts_line_find.ts_cursor_before}) {
    if (cursor->i_current >= index) {
      ++cursor->i_current;
    }
  }
  r_dravscreen_mark(WIN_IP);
}

// Listens to the events: each marks the regions that show what it changed. A poll changes
// pings, scores and the settings without any other event, and the access levels that the IP
// list shows may change between polls.
void r_dravscreen_hear(const ts_event& event) {
  const bool player = event.te_kind <= EVENT_ADMIN_BAN || event.te_kind == EVENT_HOST_NAMES;
  const bool poll = event.te_kind == EVENT_POLL_DONE;
  if (!player || poll) {
    r_dravscreen_mark(WIN_SERVER);
  }
  if (player || poll) {
    r_dravscreen_mark(WIN_CLIENT);
    r_dravscreen_mark(WIN_IP);
  }
}

}  // namespace

void r_dravscreen_mark(te_window window) {
  gts_screen.ats_window_arr[window].i_draw_state = DRAW_ALL;
}

void r_dravscreen_mark_all() {
  for (ts_region& region : gts_screen.ats_window_arr) {
    region.i_draw_state = DRAW_ALL;
  }
}

void r_dravscreen_mark_tags() {
  int& draw_state = gts_screen.ats_window_arr[WIN_MAIN].i_draw_state;
  if (draw_state > DRAW_TAGS) {
    draw_state = DRAW_TAGS;
  }
}

void r_dravscreen_pause_log(bool paused) {
  ts_log_pause& pause = gts_screen.ts_pause_log;
  pause = {};
  if (paused) {
    pause.b_paused = true;
    r_dravscreen_remember_pane();
  } else {
    gts_screen.ts_cursor_log.i_current = r_dravpane_line_count() - 1;
  }
  r_dravscreen_mark(WIN_LOG);
  r_dravscreen_mark_tags();
}

ts_screen_layout r_dravscreen_layout(int rows, int cols) {
  const int list_lines = (rows - LAYOUT_FIXED_ROWS) / 3 * 2;
  const int table_cols = r_dravscreen_table_width(cols);
  const int pane_first_row = LAYOUT_LIST_FIRST_ROW + list_lines + 1;
  ts_screen_layout layout;
  layout.ats_regions[WIN_MAIN] = {rows, cols, 0, 0};
  layout.ats_regions[WIN_SERVER] = {1, cols - 2, 1, 1};
  layout.ats_regions[WIN_CLIENT] = {list_lines, table_cols, LAYOUT_LIST_FIRST_ROW, 1};
  layout.ats_regions[WIN_IP] = {list_lines, cols - table_cols - 3, LAYOUT_LIST_FIRST_ROW,
                                table_cols + 2};
  layout.ats_regions[WIN_LOG] = {rows - list_lines - LAYOUT_FIXED_ROWS, cols - 2, pane_first_row,
                                 1};
  layout.ats_regions[WIN_KEYS] = {1, cols - 2, rows - 1, 1};
  layout.b_usable = rows >= SCREEN_MIN_ROWS && cols >= SCREEN_MIN_COLS;
  return layout;
}

void r_dravscreen_set_layout(int rows, int cols) {
  const ts_screen_layout layout = r_dravscreen_layout(rows, cols);
  for (int window = WIN_MAIN; window < WINDOW_COUNT; ++window) {
    gts_screen.ats_window_arr[window].ts_area = layout.ats_regions[window];
  }
  r_dravscreen_mark_all();
  gts_screen.b_layout_usable = layout.b_usable;
}

void r_dravscreen_attach(ts_config& config, ts_status& status) {
  gts_screen.pts_config = &config;
  gts_screen.pts_status = &status;
  gts_screen.te_active_window = WIN_CLIENT;
  gts_screen.b_console_active = false;
  gts_screen.b_help_shown = false;
  gts_screen.ts_line_console = {};
  gts_screen.ts_pause_log = {};
  gts_screen.ts_line_find = {};
  gts_screen.ts_cursor_client = {};
  gts_screen.ts_cursor_ip = {};
  gts_screen.ts_cursor_log = {};
  r_dravpane_clear();
  r_dravscreen_mark_all();
  r_dravpane_set_added_function(r_dravscreen_pane_added);
  r_dravlistip_set_inserted_function(r_dravscreen_ip_inserted);
  r_dravevent_add_listener(r_dravscreen_hear);
}

void r_dravscreen_detach() {
  r_dravevent_remove_listener(r_dravscreen_hear);
}

int r_dravscreen_key_navigate(int key, int count, int page, ts_cursor& cursor) {
  int navigated = 1;
  switch (key) {
    case KEY_VALUE_DOWN:
      ++cursor.i_current;
      break;
    case KEY_VALUE_UP:
      --cursor.i_current;
      break;
    case KEY_VALUE_HOME:
      cursor.i_current = 0;
      break;
    case KEY_VALUE_END:
      cursor.i_top = 0;
      cursor.i_current = count - 1;
      break;
    case KEY_VALUE_PAGE_DOWN:
      cursor.i_current += page;
      if (cursor.i_current < count) {
        cursor.i_top += page;
      }
      break;
    case KEY_VALUE_PAGE_UP:
      cursor.i_current -= page;
      cursor.i_top -= page;
      break;
    default:
      navigated = 0;
  }
  // Bring the cursor back into range; with no entries both end at -1 (nothing selected).
  if (cursor.i_current < 0) {
    cursor.i_current = 0;
  }
  if (cursor.i_current >= count) {
    cursor.i_current = count - 1;
  }
  if (cursor.i_current - cursor.i_top >= page) {
    cursor.i_top = cursor.i_current - page + 1;
  }
  if (cursor.i_top < 0) {
    cursor.i_top = 0;
  }
  if (cursor.i_current < cursor.i_top) {
    cursor.i_top = cursor.i_current;
  }
  return navigated;
}

te_window r_dravscreen_active_window() {
  return gts_screen.te_active_window;
}

int r_dravscreen_draw_state(te_window window) {
  return gts_screen.ats_window_arr[window].i_draw_state;
}

bool r_dravscreen_help_shown() {
  return gts_screen.b_help_shown;
}

bool r_dravscreen_console_active() {
  return gts_screen.b_console_active;
}

const ts_console_line& r_dravscreen_console_line() {
  return gts_screen.ts_line_console;
}

ts_cursor r_dravscreen_client_cursor() {
  return gts_screen.ts_cursor_client;
}

void r_dravscreen_set_client_cursor(ts_cursor cursor) {
  gts_screen.ts_cursor_client = cursor;
}

int r_dravscreen_frag_width(int table_cols) {
  return table_cols > FRAG_NARROW_TABLE_COLS ? CELL_WIDTH_WIDE : CELL_WIDTH_NARROW;
}

int r_dravscreen_ping_width(int table_cols) {
  return table_cols > PING_NARROW_TABLE_COLS ? CELL_WIDTH_WIDE : CELL_WIDTH_NARROW;
}

int r_dravscreen_client_rows() {
  // A server that has not told its slot count yet is shown with the usual 32.
  constexpr int DEFAULT_SLOTS = 32;
  const ts_status& status = *gts_screen.pts_status;
  const int told = status.ts_serverinfo.i_maxclients;
  int rows = told > 0 ? std::min(told, MAX_CLIENTS) : DEFAULT_SLOTS;
  for (int slot = rows; slot < MAX_CLIENTS; ++slot) {
    if (status.ats_client[static_cast<std::size_t>(slot)].b_active == 1) {
      rows = slot + 1;
    }
  }
  return rows;
}

std::string r_dravscreen_game_text(const ts_status& status) {
  // The plain status layouts have no game type; the settings' game name stands in for it.
  const char* gametype =
      status.ac_gametype[0] != '\0' ? status.ac_gametype : status.ts_serverinfo.ac_gamename;
  return std::string("Game: ") + gametype + " - " + status.ac_map;
}

std::string r_dravscreen_server_state_text() {
  const ts_server_state state = r_dravstats_server_state();
  switch (state.te_state) {
    case SERVER_SILENT:
      return "SILENT " + std::to_string(r_dravstats_clock() - state.t_since) + " s";
    case SERVER_NOT_UNDERSTOOD:
      return "NOT UNDERSTOOD";
    case SERVER_PASSWORD_REFUSED:
      return "PASSWORD REFUSED";
    case SERVER_ANSWERING:
      break;
  }
  return {};
}

int r_dravscreen_number_width() {
  constexpr int THREE_DIGITS = 100;
  return r_dravscreen_client_rows() > THREE_DIGITS ? 3 : 2;
}

std::string r_dravscreen_client_heading(int table_cols) {
  const bool wide_frag = r_dravscreen_frag_width(table_cols) == CELL_WIDTH_WIDE;
  const bool wide_ping = r_dravscreen_ping_width(table_cols) == CELL_WIDTH_WIDE;
  return std::string(static_cast<std::size_t>(r_dravscreen_number_width() - 1), ' ') + "#|" +
         (wide_frag ? "Frag" : "Frg") + "|" + (wide_ping ? "Ping" : "Png") +
         "|IP             |Name";
}

ts_client_cells r_dravscreen_client_cells(const ts_client& slot, int slot_number, int table_cols,
                                          int ping_kick, int access_level, int deathmatch) {
  ts_client_cells cells;
  char number[16];
  (void)std::snprintf(number, sizeof number, "%2d", slot_number);  // any int fits
  cells.ac_number = number;
  if (slot.b_active != 1) {
    return cells;
  }
  if (slot.ts_info.i_spectator > 0) {
    cells.i_number_pair = PAIR_SPECTATOR;
  } else if (deathmatch == 4 || deathmatch == 6) {
    if (slot.ts_info.i_team_red_blue == 0) {
      cells.i_number_pair = PAIR_TEAM_0;
    } else if (slot.ts_info.i_team_red_blue == 1) {
      cells.i_number_pair = PAIR_TEAM_1;
    }
  }
  const bool connecting = slot.ts_line.b_connecting == 1;
  cells.ac_score = r_dravscreen_number_cell(slot.ts_line.i_score,
                                            r_dravscreen_frag_width(table_cols), connecting);
  cells.ac_ping = r_dravscreen_number_cell(slot.ts_line.i_ping, r_dravscreen_ping_width(table_cols),
                                           connecting);
  cells.i_ping_pair = r_dravscreen_ping_pair(slot.ts_line.i_ping, ping_kick);
  char address[32];
  // A dotted address always fits.
  (void)std::snprintf(address, sizeof address, "%-15s",
                      r_dravip_ip_to_text(slot.ts_line.ts_address.ip).c_str());
  cells.ac_address = address;
  cells.i_address_pair = slot.i_access_level < access_level ? PAIR_BAD : PAIR_GOOD;
  return cells;
}

ts_cursor r_dravscreen_log_cursor() {
  return gts_screen.ts_cursor_log;
}

std::string r_dravscreen_log_pause_label() {
  const ts_log_pause& pause = gts_screen.ts_pause_log;
  return pause.b_paused ? "PAUSED +" + std::to_string(pause.i_new_lines) : std::string();
}

const std::vector<ts_help_line>& r_dravscreen_help_lines() {
  static const std::vector<ts_help_line> lines = {
      {"[S] Header", {{"D", "Details"}}},
      {"[C] Players",
       {{"D", "Details"}, {"K", "Kick"}, {"B", "Ban"}, {"SPACE", "Locate IP"}, {"A", "Aliases"}}},
      {"[I] IP list", {{"D", "Details"}, {"B", "Ban"}, {"A", "Aliases"}, {"n N", "Next/previous"}}},
      {"[L] Log", {{"P", "Pause/resume"}, {"END", "Newest"}}},
      {"Lists", {{"UP DOWN PGUP PGDN HOME END", "Move"}}},
      {"Anywhere",
       {{"TAB", "Switch"},
        {"S C I L", "Region"},
        {"+/- 0-9", "Access"},
        {"? h", "Help"},
        {"Q", "Quit"}}},
      {"Console",
       {{"~ ` F1", "On/off"}, {"ENTER", "Send"}, {"ESC", "Empty"}, {"INS", "Overwrite"}}},
      {"Find", {{"/", "Find in IP list"}, {"ENTER", "Keep selection"}, {"ESC", "Go back"}}},
  };
  return lines;
}

ts_cursor r_dravscreen_ip_cursor() {
  return gts_screen.ts_cursor_ip;
}

void r_dravscreen_set_ip_cursor(ts_cursor cursor) {
  gts_screen.ts_cursor_ip = cursor;
}
