// Layer 2 (configuration and log): the bottom of the layer, calls no other module.
// The event log pane's lines: the newest 1000 texts that the log and the screen's commands
// add. The screen shows them and registers to hear of every addition; no terminal is needed.
#pragma once

#include <string>

/// Lines the pane keeps; older lines are dropped.
inline constexpr int LOG_LINES_MAX = 1000;

/// Appends a text, one pane line per line of the text, keeping the newest 1000 lines, then
/// tells the registered function.
void r_dravpane_add_text(const char* text);
/// Number of lines held (0..1000).
int r_dravpane_line_count();
/// Line `index`, oldest first; the caller keeps the index below the count.
const std::string& r_dravpane_line(int index);
/// Drops every line.
void r_dravpane_clear();
/// Told after every text added.
using ts_pane_added_function = void (*)();
/// Registers the one function that each added text is told to (null: none). The screen
/// registers itself here to redraw the pane, so that the pane needs nothing above it.
void r_dravpane_set_added_function(ts_pane_added_function added);
