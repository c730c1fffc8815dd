// Layer 5 (screen): shared by the screen's own files only.
// The screen's state and the functions that both the keys and the drawing use. It names no
// type of the terminal library, whose windows stay in the drawing files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

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

/// The IP list's find line: the query as the operator types it, whether it finds anything,
/// the selection to go back to, and the query that n and N look for again.
struct ts_find_line {
  bool b_open = false;
  bool b_no_match = false;  // the text finds nothing or is no query: shown in red
  ts_console_line ts_line;
  ts_cursor ts_cursor_before;  // the IP list's cursor when the line opened
  std::string pc_last_query;   // the text the line was last closed with by Enter
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
  ts_find_line ts_line_find;
  ts_cursor ts_cursor_client;
  ts_cursor ts_cursor_ip;
  ts_cursor ts_cursor_log;
  std::string pc_server_state_shown;  // the header's server state as last drawn
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
/// Rows of the player table: the server's slot count (32 until its settings tell it), more
/// when a higher slot is in use, at most MAX_CLIENTS.
int r_dravscreen_client_rows();
/// Columns of the player table's number cell: 2, or 3 when slots from 100 on are shown.
int r_dravscreen_number_width();
/// The left part of the server header: "Game: <game type> - <map>".
std::string r_dravscreen_game_text(const ts_status& status);

/// The server's state for the header ("SILENT <seconds> s", "NOT UNDERSTOOD", "PASSWORD
/// REFUSED"), empty while it answers.
std::string r_dravscreen_server_state_text();

/// printf into a std::string, for the lines of the blocks (texts hold up to 512 bytes).
[[gnu::format(printf, 1, 2)]] std::string r_dravscreen_format_line(const char* format, ...);
/// Adds a line to the log pane only, not to the log file.
void r_dravscreen_to_pane(const std::string& line);
/// Makes `window` the active region and marks the frame's tags.
void r_dravscreen_set_active(te_window window);
/// Rows of a region.
int r_dravscreen_page_of(te_window window);

/// Opens the find line in the bottom row and makes the IP list active.
void r_dravscreen_open_find();
/// Applies a key to the open find line, which takes every key; returns the beeps.
int r_dravscreen_apply_find_key(int key);
/// Selects the next (`step` 1) or previous (-1) entry after or before the selection that
/// matches the last query, wrapping; false (a beep) when there is none or no query.
bool r_dravscreen_find_again(std::int32_t step);
/// Writes the aliases block of `ip` to the log pane: the names seen from it, and the other
/// addresses of those names.
void r_dravscreen_show_aliases(std::uint64_t ip);
/// What the find line shows before its text.
inline constexpr std::string_view FIND_PROMPT = "Find: ";
