// Layer 5 (screen): shared by the screen's own files only.
// The screen's state and the functions that both the keys and the drawing use. It names no
// type of the terminal library, whose windows stay in the drawing files.
#pragma once

#include <array>
#include <string>

#include "drav_screen.h"

/// One region: its rectangle and its redraw state.
struct ts_region {
  ts_rect ts_area;
  int i_draw_state = DRAW_ALL;
};

/// Everything the screen keeps besides the terminal's windows.
struct ts_screen_state {
  ts_config* pts_config = nullptr;
  ts_status* pts_status = nullptr;
  std::array<ts_region, WINDOW_COUNT> ats_window_arr;
  bool b_layout_usable = true;
  te_window te_active_window = WIN_CLIENT;
  bool b_console_active = false;
  ts_console_line ts_line_console;
  ts_cursor ts_cursor_client;
  ts_cursor ts_cursor_ip;
  ts_cursor ts_cursor_log;
};

/// The screen's one state.
extern ts_screen_state gts_screen;

/// Marks a region for a full redraw.
void r_dravscreen_mark(te_window window);
/// The heading row of a player table `table_cols` wide.
std::string r_dravscreen_client_heading(int table_cols);
