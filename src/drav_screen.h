// Layer 5 (screen): calls every layer below it; only main calls it.
// The operator's full-terminal view of six regions (frame, server header, player table, IP
// history list, event log pane, key bar or console line) and the operator's keys. This header
// names no type of the terminal library: the key reader turns the terminal's key codes into
// the key values below, so that the records, the keys and their tests need no terminal.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct ts_config;
struct ts_status;
struct ts_client;

/// Position in a scrolled list: the first row shown and the selected entry.
struct ts_cursor {
  int i_top = 0;
  int i_current = 0;
  bool operator==(const ts_cursor&) const = default;
};

/// The regions; the value is also the index into the region table.
enum te_window : int {
  WIN_MAIN = 0,
  WIN_SERVER = 1,
  WIN_CLIENT = 2,
  WIN_IP = 3,
  WIN_LOG = 4,
  WIN_KEYS = 5,
};
inline constexpr int WINDOW_COUNT = 6;

/// Redraw states of a region.
enum te_draw_state : int {
  DRAW_ALL = 0,   // redraw the whole region
  DRAW_TAGS = 1,  // frame only: redraw the tag letters
  DRAW_DONE = 2,  // up to date
};

/// A region's rectangle on the screen.
struct ts_rect {
  int i_lines = 0;
  int i_cols = 0;
  int i_begin_y = 0;
  int i_begin_x = 0;
  bool operator==(const ts_rect&) const = default;
};

/// The six regions for one terminal size. `b_usable` is false when the terminal is too small
/// for every region to get a row and a column: the screen then shows a notice instead.
struct ts_screen_layout {
  std::array<ts_rect, WINDOW_COUNT> ats_regions;
  bool b_usable = false;
};

/// Smallest terminal the regions are drawn in; below it the screen shows a notice.
inline constexpr int SCREEN_MIN_ROWS = 12;
inline constexpr int SCREEN_MIN_COLS = 40;

/// Keys as the screen's key handling sees them. A character key is its byte value (0..255);
/// the key reader gives the terminal's special keys the values from KEY_VALUE_CHARACTER_END on.
inline constexpr int KEY_VALUE_CHARACTER_END = 256;
enum te_key : int {
  KEY_VALUE_NONE = -1,      // no key within the step's wait
  KEY_VALUE_CONTROL_H = 8,  // what some terminals send for backspace
  KEY_VALUE_TAB = 9,
  KEY_VALUE_LINE_FEED = 10,
  KEY_VALUE_RETURN = 13,
  KEY_VALUE_ESCAPE = 27,
  KEY_VALUE_UP = KEY_VALUE_CHARACTER_END,
  KEY_VALUE_DOWN,
  KEY_VALUE_LEFT,
  KEY_VALUE_RIGHT,
  KEY_VALUE_HOME,
  KEY_VALUE_END,
  KEY_VALUE_PAGE_UP,
  KEY_VALUE_PAGE_DOWN,
  KEY_VALUE_BACK_TAB,
  KEY_VALUE_F1,
  KEY_VALUE_BACKSPACE,
  KEY_VALUE_DELETE,
  KEY_VALUE_INSERT,
  KEY_VALUE_ENTER,
  KEY_VALUE_OTHER,  // any other special key; no command uses it
};

/// The console input line: 128 characters, edit position, mode and horizontal scroll.
inline constexpr int CONSOLE_LINE_MAX = 128;
struct ts_console_line {
  char ac_text[CONSOLE_LINE_MAX + 1] = {};
  std::int32_t i_length = 0;
  std::int32_t i_position = 0;
  std::int32_t i_overwrite = 0;  // 0 insert, 1 overwrite
  std::int32_t i_scroll = 0;     // first character shown
  std::int32_t i_width = 0;      // characters shown
  bool operator==(const ts_console_line&) const = default;
};

/// What a console key did.
struct ts_console_edit {
  bool b_consumed = false;  // the key belonged to the editor
  bool b_beep = false;      // the edit went beyond the line's limits
  bool b_send = false;      // Enter on a non-empty line: the caller sends the text
};

/// What one key did to the screen's records.
struct ts_key_outcome {
  int i_continue_running = 1;  // 0 when the operator asked to quit
  int i_beeps = 0;
};

// --- Lifecycle and the step (need a terminal) ---

/// Takes the terminal: colours, the layout and the frame. Without a terminal or colours it
/// writes "Error" and a reason on standard output and ends with status 1. Registers the
/// terminal's keys and resizes with the event loop: each key is applied and drawn as it
/// comes, Q requests the program's end (r_dravloop_request_quit), and what the modules below
/// changed is drawn within 0.1 s.
void r_dravscreen_init(ts_config& config, ts_status& status);
/// Gives the terminal back and unregisters the screen from the event loop and the modules below. Safe to call
/// more than once and without init.
void r_dravscreen_finish();
/// Computes the layout from the terminal's size, replaces the sub-windows, marks everything.
void r_dravscreen_create_subwindows();
/// Draws the frame and the tags according to the frame's redraw state.
void r_dravscreen_update_main();
/// Draws the player table when it is marked.
void r_dravscreen_update_client();

// --- Records and decisions (no terminal needed) ---

/// Stores the records, resets the screen's state (cursors, active region, console, marks,
/// the pane's lines) and registers the screen with the pane, the IP history and the events,
/// without touching the terminal; r_dravscreen_init does this first.
void r_dravscreen_attach(ts_config& config, ts_status& status);
/// Stops listening to the events that r_dravscreen_attach began to hear.
void r_dravscreen_detach();
/// The six regions for a terminal of `rows` x `cols`.
ts_screen_layout r_dravscreen_layout(int rows, int cols);
/// Puts the layout of a `rows` x `cols` terminal into the region records and marks every
/// region, without creating windows.
void r_dravscreen_set_layout(int rows, int cols);
/// Applies a list key (Up, Down, Page Up/Down, Home, End) to `cursor` over `count` entries
/// with `page` rows; returns 1 for such a key, else 0. Always brings the cursor into range.
int r_dravscreen_key_navigate(int key, int count, int page, ts_cursor& cursor);
/// Applies one key (steps 4 to 7 of a screen step, the resize excepted) to the records.
ts_key_outcome r_dravscreen_apply_key(int key);
/// Marks the server's region when the state it shows changed: a silence counts seconds
/// between the events.
void r_dravscreen_note_server_state();
/// Edits the console line with one key; sets `i_width` first. Pure: sends nothing.
ts_console_edit r_dravscreen_console_edit(ts_console_line& line, int key, int width);

/// The active region.
te_window r_dravscreen_active_window();
/// A region's redraw state.
int r_dravscreen_draw_state(te_window window);
/// Whether the console line replaces the key bar, and the line itself.
bool r_dravscreen_console_active();
const ts_console_line& r_dravscreen_console_line();
/// Whether the find line (/) replaces the key bar; it takes every key until Enter or Escape.
bool r_dravscreen_find_open();
/// The find line's text as the operator edits it.
const ts_console_line& r_dravscreen_find_line();
/// Whether the open find line's text finds nothing (or is no query), which shows it in red.
bool r_dravscreen_find_no_match();
/// Whether the help view covers the regions (from ? or h until the next key).
bool r_dravscreen_help_shown();
/// The player table's cursor.
ts_cursor r_dravscreen_client_cursor();
void r_dravscreen_set_client_cursor(ts_cursor cursor);

/// Colour pairs of the program's own drawing.
enum te_screen_pair : int {
  PAIR_PLAIN = 41,
  PAIR_TAG = 42,
  PAIR_GOOD = 43,
  PAIR_WARN = 44,
  PAIR_BAD = 45,
  PAIR_TEAM_0 = 46,
  PAIR_TEAM_1 = 47,
  PAIR_SPECTATOR = 48,
  PAIR_EDIT_INSERT = 49,
  PAIR_EDIT_OVERWRITE = 50,
};

/// The texts and colour pairs of one player-table row. A pair of 0 means the row's own.
struct ts_client_cells {
  std::string ac_number;   // "%2d"
  std::string ac_score;    // empty for an empty slot
  std::string ac_ping;     // empty for an empty slot
  std::string ac_address;  // "%-15s", empty for an empty slot
  int i_number_pair = 0;
  int i_ping_pair = 0;
  int i_address_pair = 0;
  bool operator==(const ts_client_cells&) const = default;
};
/// Width of the frag and ping columns of a player table `table_cols` wide (4, or 3 when
/// narrow).
int r_dravscreen_frag_width(int table_cols);
int r_dravscreen_ping_width(int table_cols);
/// The cells of slot `slot_number` in a table `table_cols` wide.
ts_client_cells r_dravscreen_client_cells(const ts_client& slot, int slot_number, int table_cols,
                                          int ping_kick, int access_level, int deathmatch);

// --- The help view ---

/// One key of the help view and what it does.
struct ts_help_key {
  const char* pc_key;
  const char* pc_action;
};
/// One line of the help view: where its keys work, and the keys.
struct ts_help_line {
  const char* pc_where;
  std::vector<ts_help_key> ats_keys;
};
/// The help view's lines: one for each region, then the keys of every list, of every
/// region, of the console line and of the find line.
const std::vector<ts_help_line>& r_dravscreen_help_lines();

// --- The event log pane and the IP list cursor ---

/// The log pane's cursor: i_current is the newest line shown. Every line added to the pane
/// moves it to the newest line.
ts_cursor r_dravscreen_log_cursor();
/// What the pane's top border says: "PAUSED +12" with the lines added since the pause, or
/// nothing while the pane follows the newest line.
std::string r_dravscreen_log_pause_label();
/// Writes the host-name lines of a "name;alias;..." text (null: "  DNS:  -") to the pane.
void r_dravscreen_show_dns_info(const char* hostnames);

/// The IP list's cursor; an entry inserted at or above the selection moves it down with its
/// entry.
ts_cursor r_dravscreen_ip_cursor();
/// Sets the IP list's cursor.
void r_dravscreen_set_ip_cursor(ts_cursor cursor);
