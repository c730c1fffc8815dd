// The console screen. So far: the event log pane's line buffer and the IP list
// cursor rule, which the log and the IP history feed between screen steps.
#pragma once

#include <string>

/// Position in a scrolled list: the first row shown and the selected entry.
struct ts_cursor {
  int top = 0;
  int current = 0;
};

/// Lines the log pane keeps; older lines are dropped.
inline constexpr int LOG_LINES_MAX = 1000;

/// Appends a text to the log pane, one pane line per line of the text, keeping the newest
/// 1000 lines, and moves the pane to its newest line.
void r_dravscreen_add_log_line(const char* text);
/// Number of lines the log pane holds (0..1000).
int r_dravscreen_log_line_count();
/// Pane line `index`, oldest first; the caller keeps the index below the count.
const std::string& r_dravscreen_log_line(int index);
/// The log pane's cursor: current is the newest line shown.
ts_cursor r_dravscreen_log_cursor();

/// Keeps the IP list selection on its entry after an entry was inserted at `index`.
void r_dravscreen_ip_inserted(int index);
/// The IP list's cursor.
ts_cursor r_dravscreen_ip_cursor();
/// Sets the IP list's cursor.
void r_dravscreen_set_ip_cursor(ts_cursor cursor);
