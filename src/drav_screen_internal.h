// Layer 5 (screen): shared by the screen's own files only.
// The screen's state and the functions that both the keys and the drawing use. It names no
// type of the terminal library, whose windows stay in the drawing files.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "drav_screen.h"

/// One region: its rectangle and its redraw state.
struct ts_region {
  ts_rect ts_area;
  int i_draw_state = DRAW_ALL;
};

/// The log pane held still: the lines added since, and what the pane held when it last told
/// of a text, to find out how many lines that text added and how many old ones fell out.
struct ts_log_pause {
  bool b_paused = false;
  std::int64_t i_new_lines = 0;
  int i_count_seen = 0;
  const std::string* po_newest_seen = nullptr;
};

/// Everything the screen keeps besides the terminal's windows.
struct ts_screen_state {
  ts_config* pts_config = nullptr;
  ts_status* pts_status = nullptr;
  std::array<ts_region, WINDOW_COUNT> ats_window_arr;
  bool b_layout_usable = true;
  te_window te_active_window = WIN_CLIENT;
  bool b_console_active = false;
  bool b_help_shown = false;
  ts_console_line ts_line_console;
  ts_log_pause ts_pause_log;
  ts_cursor ts_cursor_client;
  ts_cursor ts_cursor_ip;
  ts_cursor ts_cursor_log;
};

/// The screen's one state.
extern ts_screen_state gts_screen;

/// Marks a region for a full redraw.
void r_dravscreen_mark(te_window window);
/// Marks the frame and every region for a full redraw.
void r_dravscreen_mark_all();
/// Marks the frame's tags (the active region, the pane's pause) and so the key bar, keeping
/// a pending full redraw of the frame.
void r_dravscreen_mark_tags();
/// Holds the log pane still at its current view, or lets it follow the newest line again.
void r_dravscreen_pause_log(bool paused);
/// The heading row of a player table `table_cols` wide.
std::string r_dravscreen_client_heading(int table_cols);
