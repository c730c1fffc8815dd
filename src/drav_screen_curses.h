// Layer 5 (screen): shared by the screen's two drawing files only.
// drav_screen_curses.cpp and drav_screen_views.cpp keep the regions' curses windows and share
// the printing helpers; no other file of the program includes curses.
#pragma once

#include <curses.h>

#include <string>

#include "drav_screen_internal.h"

/// The window of a region, or null when it has none (curses not started, a terminal too
/// small for the regions, or a sub-window that could not be made).
WINDOW* r_dravscreen_window(te_window window);
/// Stages a drawn region (wnoutrefresh) and marks it up to date.
void r_dravscreen_stage(te_window window);

/// Attribute of one of the program's pairs, bold when asked.
int r_dravscreen_pair_attribute(int pair, bool bold = false);
/// Prints a game text at the window's position, cut at the end of the row.
void r_dravscreen_print_color_string(WINDOW* window, const char* text);
/// Prints plain bytes with one attribute, cut at the end of the row.
void r_dravscreen_print_plain(WINDOW* window, const std::string& text, int attribute);

/// Drawing of each region, each only when marked.
void r_dravscreen_draw_server();
void r_dravscreen_draw_ip_list();
void r_dravscreen_draw_log();
void r_dravscreen_draw_keys();
