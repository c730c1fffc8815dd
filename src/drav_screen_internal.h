// Shared inside the screen module only: its state and the curses-side helpers.
// Nothing outside the drav_screen*.cpp files includes this header.
#pragma once

#include <curses.h>

#include <array>
#include <deque>
#include <memory>
#include <string>

#include "drav_screen.h"

namespace dravscreen {

/// Deletes a sub-window; the standard screen is never owned.
struct ts_window_deleter {
  void operator()(WINDOW* window) const { delwin(window); }
};
using ts_window_ptr = std::unique_ptr<WINDOW, ts_window_deleter>;

/// One region: its rectangle, its redraw state and, once curses runs, its window.
struct ts_window {
  ts_window_ptr owned;       // the sub-window (null for the frame and for a region without room)
  WINDOW* window = nullptr;  // what drawing uses: the standard screen or `owned`
  ts_rect rect;
  int draw_state = DRAW_ALL;
};

/// Everything the screen module keeps.
struct ts_screen_state {
  ts_config* pts_config = nullptr;
  ts_status* pts_status = nullptr;
  std::array<ts_window, WINDOW_COUNT> ats_window_arr;
  bool b_layout_usable = true;
  te_window gte_active_window = WIN_CLIENT;
  bool gb_doupdate_required = false;
  bool gb_console_active = false;
  ts_console_line gts_line_console;
  ts_cursor ts_cursor_client;
  ts_cursor ts_cursor_ip;
  ts_cursor ts_cursor_log;
  std::deque<std::string> gapc_log_lines_data;
  bool b_curses_started = false;
};

/// The module's one state.
ts_screen_state& state();

/// Marks a region for a full redraw.
void mark(te_window window);
/// The window of a region, or null when the region has none (curses not started, or no room).
WINDOW* window_of(te_window window);
/// Stages a drawn region (wnoutrefresh) and marks it up to date.
void stage(te_window window);

/// Attribute of game colour code 0..31.
int game_color_attribute(int code);
/// Attribute of one of the program's pairs, bold when asked.
int pair_attribute(int pair, bool bold = false);
/// Prints a game text at the window's position, cut at the end of the row.
void r_dravscreen_print_color_string(WINDOW* window, const char* text);
/// Prints plain bytes with one attribute, cut at the end of the row.
void print_plain(WINDOW* window, const std::string& text, int attribute);

/// Drawing of each region, each only when marked.
void draw_server();
void draw_ip_list();
void draw_log();
void draw_keys();
/// Shows the notice of a terminal too small for the regions.
void draw_too_small();

/// The details blocks that D writes into the log pane.
void show_server_details();
/// Returns false (the caller beeps) when the slot is empty.
bool show_client_details(int slot);
/// Returns false (the caller beeps) when no entry is selected.
bool show_ip_details(int entry);

}  // namespace dravscreen
