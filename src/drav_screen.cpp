// The screen's records: its state, the layout, the list cursors and the event
// log pane's line buffer. Nothing here draws, so the log and the IP history can
// feed the screen from anywhere, tests included.
#include <string_view>

#include "drav_screen_internal.h"

namespace dravscreen {

ts_screen_state& state() {
  static ts_screen_state screen_state;
  return screen_state;
}

void mark(te_window window) {
  state().ats_window_arr[window].draw_state = DRAW_ALL;
}

WINDOW* window_of(te_window window) {
  const ts_screen_state& screen = state();
  if (!screen.b_curses_started || !screen.b_layout_usable) {
    return nullptr;
  }
  return screen.ats_window_arr[window].window;
}

}  // namespace dravscreen

using dravscreen::state;

namespace {

// The player table's width: 46 to 49 columns for 80 to 83 columns of terminal, then one more
// column for every two further columns of terminal (and one less for every two fewer).
int client_table_width(int cols) {
  if (cols >= 80 && cols <= 83) {
    return cols - 34;
  }
  return (cols - 83) / 2 + 49;
}

void append_pane_line(std::string_view line) {
  std::deque<std::string>& lines = state().gapc_log_lines_data;
  if (lines.size() >= static_cast<std::size_t>(LOG_LINES_MAX)) {
    lines.pop_front();
  }
  lines.emplace_back(line);
}

}  // namespace

ts_screen_layout r_dravscreen_layout(int rows, int cols) {
  const int list_lines = (rows - 6) / 3 * 2;
  const int table_cols = client_table_width(cols);
  ts_screen_layout layout;
  layout.regions[WIN_MAIN] = {rows, cols, 0, 0};
  layout.regions[WIN_SERVER] = {1, cols - 2, 1, 1};
  layout.regions[WIN_CLIENT] = {list_lines, table_cols, 3, 1};
  layout.regions[WIN_IP] = {list_lines, cols - table_cols - 3, 3, table_cols + 2};
  layout.regions[WIN_LOG] = {rows - list_lines - 6, cols - 2, list_lines + 4, 1};
  layout.regions[WIN_KEYS] = {1, cols - 2, rows - 1, 1};
  layout.usable = rows >= SCREEN_MIN_ROWS && cols >= SCREEN_MIN_COLS;
  return layout;
}

void r_dravscreen_set_layout(int rows, int cols) {
  dravscreen::ts_screen_state& screen = state();
  const ts_screen_layout layout = r_dravscreen_layout(rows, cols);
  for (int window = WIN_MAIN; window < WINDOW_COUNT; ++window) {
    screen.ats_window_arr[window].rect = layout.regions[window];
    screen.ats_window_arr[window].draw_state = DRAW_ALL;
  }
  screen.b_layout_usable = layout.usable;
}

void r_dravscreen_attach(ts_config& config, ts_status& status) {
  dravscreen::ts_screen_state& screen = state();
  screen.pts_config = &config;
  screen.pts_status = &status;
  screen.gte_active_window = WIN_CLIENT;
  screen.gb_console_active = false;
  screen.gts_line_console = {};
  screen.ts_cursor_client = {};
  screen.ts_cursor_ip = {};
  screen.ts_cursor_log = {};
  screen.gapc_log_lines_data.clear();
  for (dravscreen::ts_window& window : screen.ats_window_arr) {
    window.draw_state = DRAW_ALL;
  }
}

int r_dravscreen_key_navigate(int key, int count, int page, ts_cursor& cursor) {
  int navigated = 1;
  switch (key) {
    case KEY_DOWN:
      ++cursor.current;
      break;
    case KEY_UP:
      --cursor.current;
      break;
    case KEY_HOME:
      cursor.current = 0;
      break;
    case KEY_END:
      cursor.top = 0;
      cursor.current = count - 1;
      break;
    case KEY_NPAGE:
      cursor.current += page;
      if (cursor.current < count) {
        cursor.top += page;
      }
      break;
    case KEY_PPAGE:
      cursor.current -= page;
      cursor.top -= page;
      break;
    default:
      navigated = 0;
  }
  // Bring the cursor back into range; with no entries both end at -1 (nothing selected).
  if (cursor.current < 0) {
    cursor.current = 0;
  }
  if (cursor.current >= count) {
    cursor.current = count - 1;
  }
  if (cursor.current - cursor.top >= page) {
    cursor.top = cursor.current - page + 1;
  }
  if (cursor.top < 0) {
    cursor.top = 0;
  }
  if (cursor.current < cursor.top) {
    cursor.top = cursor.current;
  }
  return navigated;
}

te_window r_dravscreen_active_window() {
  return state().gte_active_window;
}

ts_rect r_dravscreen_window_rect(te_window window) {
  return state().ats_window_arr[window].rect;
}

int r_dravscreen_draw_state(te_window window) {
  return state().ats_window_arr[window].draw_state;
}

bool r_dravscreen_console_active() {
  return state().gb_console_active;
}

const ts_console_line& r_dravscreen_console_line() {
  return state().gts_line_console;
}

ts_cursor r_dravscreen_client_cursor() {
  return state().ts_cursor_client;
}

void r_dravscreen_set_client_cursor(ts_cursor cursor) {
  state().ts_cursor_client = cursor;
}

void r_dravscreen_add_log_line(const char* text) {
  std::string_view rest = text;
  // Every piece before a line feed is a line; what follows the last line feed is a line
  // only when it is not empty, and a text without any line feed is one line, even empty.
  bool had_line_feed = false;
  for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
    append_pane_line(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    had_line_feed = true;
  }
  if (!rest.empty() || !had_line_feed) {
    append_pane_line(rest);
  }
  // The pane jumps to the newest line even when the operator had scrolled back.
  state().ts_cursor_log.current = static_cast<int>(state().gapc_log_lines_data.size()) - 1;
  dravscreen::mark(WIN_LOG);
}

int r_dravscreen_log_line_count() {
  return static_cast<int>(state().gapc_log_lines_data.size());
}

const std::string& r_dravscreen_log_line(int index) {
  return state().gapc_log_lines_data.at(static_cast<std::size_t>(index));
}

ts_cursor r_dravscreen_log_cursor() {
  return state().ts_cursor_log;
}

void r_dravscreen_ip_inserted(int index) {
  if (state().ts_cursor_ip.current >= index) {
    ++state().ts_cursor_ip.current;
  }
}

ts_cursor r_dravscreen_ip_cursor() {
  return state().ts_cursor_ip;
}

void r_dravscreen_set_ip_cursor(ts_cursor cursor) {
  state().ts_cursor_ip = cursor;
}
