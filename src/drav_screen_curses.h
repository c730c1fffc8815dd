// Layer 5 (screen): shared by the screen's two drawing files only.
// drav_screen_curses.cpp and drav_screen_views.cpp keep the regions' curses windows and share
// the printing helpers; no other file of the program includes curses.
#pragma once

#include <curses.h>

#include <string_view>

#include "drav_screen_internal.h"

/// The window of a region, or null when it has none (curses not started, a terminal too
/// small for the regions, or a sub-window that could not be made).
WINDOW* r_dravscreen_window(te_window window);
/// Stages a drawn region (wnoutrefresh) and marks it up to date.
void r_dravscreen_stage(te_window window);

/// Attribute of one of the program's pairs, bold when asked.
int r_dravscreen_pair_attribute(int pair, bool bold = false);

/// Writes the fields of one row from left to right, each in its place, and nothing past the
/// row's end. It counts the columns itself rather than reading the cursor back: on the last
/// cell of a window's bottom row curses writes the character but cannot move the cursor on,
/// so a field written after one that reached that cell would land in it.
struct ts_row_pen {
  WINDOW* po_window = nullptr;
  int i_row = 0;
  int i_column = 0;
  int i_end = 0;  // one past the last column the row may use
};
/// A pen at the start of `row` of a region's window, for the whole width of the window;
/// the attribute is the plain one.
ts_row_pen r_dravscreen_start_row(WINDOW* window, int row);
/// Writes plain bytes with one attribute.
void r_dravscreen_pen_plain(ts_row_pen& pen, std::string_view text, int attribute);
/// Writes a game text: its colour codes set the attribute, its own characters print from the
/// game's character set (one cell each).
void r_dravscreen_pen_color_string(ts_row_pen& pen, const char* text);
/// Clears the rest of the row and sets the plain attribute again.
void r_dravscreen_pen_clear_rest(ts_row_pen& pen);

/// Draws the frame's outer box: the lines around the screen above the key bar.
void r_dravscreen_draw_outer_box();
/// Draws the help view inside the outer box.
void r_dravscreen_draw_help();

/// Drawing of each region, each only when marked.
void r_dravscreen_draw_server();
void r_dravscreen_draw_ip_list();
void r_dravscreen_draw_log();
void r_dravscreen_draw_keys();
