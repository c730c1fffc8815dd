// What the regions show: the server header, the player table, the IP history
// list, the event log pane and the bottom row (key bar or console line).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_pane.h"
#include "drav_screen_curses.h"
#include "drav_statsparse.h"

namespace {

// The right part of the key bar ("+/- Access (n)  TAB Switch  Q Quit") starts this many
// columns before the bar's end; the left part, the active region's keys, is this wide.
constexpr int KEY_BAR_RIGHT_COLS = 34;
constexpr int KEY_BAR_LEFT_COLS = 41;
// "? Help  " goes just before the right part where it fits after the left part and a blank.
constexpr int KEY_BAR_HELP_COLS = 8;
// The help's lines start one cell inside the outer box; its keys start after the column of
// the place where they work.
constexpr int HELP_FIRST_COLUMN = 2;
constexpr int HELP_WHERE_COLS = 13;

// Starts a region's drawing; returns its window, or null when it is up to date or has none.
WINDOW* r_dravscreen_begin_region(te_window window) {
  ts_region& region = gts_screen.ats_window_arr[window];
  if (region.i_draw_state == DRAW_DONE) {
    return nullptr;
  }
  WINDOW* region_window = r_dravscreen_window(window);
  if (region_window == nullptr) {
    region.i_draw_state = DRAW_DONE;
  }
  return region_window;
}

void r_dravscreen_draw_client_row(WINDOW* window, int row, int slot_number, bool selected,
                                  int cols) {
  ts_row_pen pen = r_dravscreen_start_row(window, row);
  if (slot_number < 0 || slot_number >= r_dravscreen_client_rows()) {
    r_dravscreen_pen_clear_rest(pen);
    return;
  }
  const ts_config& config = *gts_screen.pts_config;
  const ts_status& status = *gts_screen.pts_status;
  const ts_client& slot = status.ats_client[static_cast<std::size_t>(slot_number)];
  ts_client_cells cells =
      r_dravscreen_client_cells(slot, slot_number, cols, config.ping_kick, config.access_level,
                                status.ts_serverinfo.i_deathmatch);
  const auto number_width = static_cast<std::size_t>(r_dravscreen_number_width());
  if (cells.ac_number.size() < number_width) {
    cells.ac_number.insert(0, number_width - cells.ac_number.size(), ' ');
  }
  const int row_attribute = r_dravscreen_pair_attribute(PAIR_PLAIN, selected);
  const auto cell_attribute = [&](int pair) {
    return pair == 0 ? row_attribute : r_dravscreen_pair_attribute(pair, selected);
  };
  r_dravscreen_pen_plain(pen, cells.ac_number, cell_attribute(cells.i_number_pair));
  if (slot.b_active == 1) {
    r_dravscreen_pen_plain(pen, " " + cells.ac_score + " ", row_attribute);
    r_dravscreen_pen_plain(pen, cells.ac_ping, cell_attribute(cells.i_ping_pair));
    r_dravscreen_pen_plain(pen, " ", row_attribute);
    r_dravscreen_pen_plain(pen, cells.ac_address, cell_attribute(cells.i_address_pair));
    r_dravscreen_pen_plain(pen, " ", row_attribute);
    wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
    r_dravscreen_pen_color_string(pen, slot.ts_line.ac_name);
  }
  r_dravscreen_pen_clear_rest(pen);
}

struct ts_key_label {
  bool b_key;  // a key name (pair 42) or a label (pair 41)
  const char* pc_text;
};

// The left part of the key bar, 41 columns for every region.
std::vector<ts_key_label> r_dravscreen_region_keys(te_window window) {
  switch (window) {
    case WIN_CLIENT:
      return {{true, "D"}, {false, " Details  "}, {true, "B"},     {false, " Ban  "},
              {true, "K"}, {false, " Kick  "},    {true, "SPACE"}, {false, " Locate IP"}};
    case WIN_SERVER:
      return {{true, "D"}, {false, " Details                                "}};
    case WIN_IP:
      return {{true, "D"},       {false, " Details  "}, {true, "B"},
              {false, " Ban  "}, {true, "/"},           {false, " Find                 "}};
    default:
      return {{true, "P"}, {false, " Pause  "}, {true, "End"},
              {false, " Newest                      "}};
  }
}

void r_dravscreen_print_key_labels(ts_row_pen& pen, const std::vector<ts_key_label>& labels) {
  for (const ts_key_label& label : labels) {
    r_dravscreen_pen_plain(pen, label.pc_text,
                           r_dravscreen_pair_attribute(label.b_key ? PAIR_TAG : PAIR_PLAIN));
  }
}

// The active region's keys. In a bar too narrow for them and the right part, only the keys
// whose labels end before the right part, with a blank between, so that no cut label runs
// into it.
void r_dravscreen_print_region_keys(ts_row_pen& pen, int right_column) {
  const std::vector<ts_key_label> labels = r_dravscreen_region_keys(gts_screen.te_active_window);
  for (std::size_t index = 0; index < labels.size(); ++index) {
    const ts_key_label& label = labels[index];
    if (label.b_key && index + 1 < labels.size()) {
      const std::string_view action = labels[index + 1].pc_text;
      const std::size_t shown = std::strlen(label.pc_text) + action.find_last_not_of(' ') + 1;
      if (pen.i_column + static_cast<long long>(shown) >= right_column) {
        return;
      }
    }
    r_dravscreen_print_key_labels(pen, {label});
  }
}

void r_dravscreen_draw_key_bar(ts_row_pen& pen, int cols) {
  r_dravscreen_print_region_keys(pen, cols - KEY_BAR_RIGHT_COLS);
  const int help_column = cols - KEY_BAR_RIGHT_COLS - KEY_BAR_HELP_COLS;
  if (help_column > KEY_BAR_LEFT_COLS) {
    pen.i_column = help_column;
    r_dravscreen_print_key_labels(pen, {{true, "?"}, {false, " Help  "}});
  }
  if (cols < KEY_BAR_RIGHT_COLS) {
    return;
  }
  pen.i_column = cols - KEY_BAR_RIGHT_COLS;
  const std::string level = std::to_string(gts_screen.pts_config->access_level);
  r_dravscreen_print_key_labels(pen, {{true, "+"},
                                      {false, "/"},
                                      {true, "-"},
                                      {false, " Access ("},
                                      {true, level.c_str()},
                                      {false, ")  "},
                                      {true, "TAB"},
                                      {false, " Switch  "},
                                      {true, "Q"},
                                      {false, " Quit"}});
}

// An edited line from the pen's column on: its visible part in `text_pair`, then the edit
// cell.
void r_dravscreen_draw_edit_line(ts_row_pen& pen, const ts_console_line& line, int text_pair) {
  const int first_column = pen.i_column;
  std::string visible;
  for (int index = line.i_scroll; index < line.i_scroll + line.i_width; ++index) {
    visible += index < line.i_length ? line.ac_text[index] : ' ';
  }
  r_dravscreen_pen_plain(pen, visible + " ", r_dravscreen_pair_attribute(text_pair));
  const int edit_column = first_column + line.i_position - line.i_scroll;
  if (edit_column >= first_column && edit_column < pen.i_end) {
    const char cell = line.i_position < line.i_length ? line.ac_text[line.i_position] : ' ';
    const int pair = line.i_overwrite == 1 ? PAIR_EDIT_OVERWRITE : PAIR_EDIT_INSERT;
    pen.i_column = edit_column;
    r_dravscreen_pen_plain(pen, std::string(1, cell), r_dravscreen_pair_attribute(pair));
  }
  wattrset(pen.po_window, r_dravscreen_pair_attribute(PAIR_PLAIN));
}

// The find line: its prompt, then the text, red while it finds nothing.
void r_dravscreen_draw_find_line(ts_row_pen& pen) {
  r_dravscreen_pen_plain(pen, FIND_PROMPT, r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_draw_edit_line(pen, gts_screen.ts_line_find.ts_line,
                              gts_screen.ts_line_find.b_no_match ? PAIR_BAD : PAIR_PLAIN);
}

// One line of the help: where, then each key (in the key names' colour) and its action.
void r_dravscreen_draw_help_line(int row, int end, const ts_help_line& line) {
  ts_row_pen pen{stdscr, row, HELP_FIRST_COLUMN, end};
  r_dravscreen_pen_plain(pen, line.pc_where, r_dravscreen_pair_attribute(PAIR_PLAIN, true));
  pen.i_column = std::max(pen.i_column + 1, HELP_FIRST_COLUMN + HELP_WHERE_COLS);
  for (const ts_help_key& key : line.ats_keys) {
    r_dravscreen_pen_plain(pen, key.pc_key, r_dravscreen_pair_attribute(PAIR_TAG));
    r_dravscreen_pen_plain(pen, std::string(" ") + key.pc_action + "  ",
                           r_dravscreen_pair_attribute(PAIR_PLAIN));
  }
}

}  // namespace

void r_dravscreen_update_client() {
  WINDOW* window = r_dravscreen_begin_region(WIN_CLIENT);
  if (window == nullptr) {
    return;
  }
  const ts_rect rect = gts_screen.ats_window_arr[WIN_CLIENT].ts_area;
  ts_row_pen heading = r_dravscreen_start_row(window, 0);
  r_dravscreen_pen_plain(heading, r_dravscreen_client_heading(rect.i_cols),
                         r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_pen_clear_rest(heading);
  const ts_cursor cursor = gts_screen.ts_cursor_client;
  for (int row = 1; row < rect.i_lines; ++row) {
    const int slot_number = row - 1 + cursor.i_top;
    r_dravscreen_draw_client_row(window, row, slot_number, slot_number == cursor.i_current,
                                 rect.i_cols);
  }
  r_dravscreen_stage(WIN_CLIENT);
}

void r_dravscreen_draw_server() {
  WINDOW* window = r_dravscreen_begin_region(WIN_SERVER);
  if (window == nullptr) {
    return;
  }
  const ts_status& status = *gts_screen.pts_status;
  ts_row_pen pen = r_dravscreen_start_row(window, 0);
  r_dravscreen_pen_clear_rest(pen);
  pen.i_column = 0;
  // The server's state comes first and whole (a few words, far shorter than the narrowest
  // header), in red, so that it is seen however long the other texts are.
  gts_screen.pc_server_state_shown = r_dravscreen_server_state_text();
  if (!gts_screen.pc_server_state_shown.empty()) {
    r_dravscreen_pen_plain(pen, gts_screen.pc_server_state_shown,
                           r_dravscreen_pair_attribute(PAIR_BAD, true));
    r_dravscreen_pen_plain(pen, " ", r_dravscreen_pair_attribute(PAIR_PLAIN));
  }
  const long long first = pen.i_column;
  const std::string game = r_dravscreen_game_text(status);
  const int end = pen.i_end;
  const long long column = end - static_cast<long long>(status.i_hostname_length);
  // The name ends in the last column; the game text is cut a blank before it, so that the two
  // never run into each other. A name longer than the rest of the line follows the game text.
  if (status.i_hostname_length != 0 && column >= first) {
    pen.i_end = static_cast<int>(std::max(column - 1, first));
  }
  r_dravscreen_pen_color_string(pen, game.c_str());
  pen.i_end = end;
  if (status.i_hostname_length != 0) {
    if (column >= first) {
      pen.i_column = static_cast<int>(column);
    }
    r_dravscreen_pen_color_string(pen, status.ts_serverinfo.ac_hostname);
  }
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_stage(WIN_SERVER);
}

void r_dravscreen_draw_ip_list() {
  WINDOW* window = r_dravscreen_begin_region(WIN_IP);
  if (window == nullptr) {
    return;
  }
  const auto list = r_dravlistip_get_list();
  const int count = static_cast<int>(list.size());
  const int lines = gts_screen.ats_window_arr[WIN_IP].ts_area.i_lines;
  const ts_cursor cursor = gts_screen.ts_cursor_ip;
  const std::int32_t access_level = gts_screen.pts_config->access_level;
  ts_row_pen heading = r_dravscreen_start_row(window, 0);
  r_dravscreen_pen_plain(heading, "IP             |Name", r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_pen_clear_rest(heading);
  for (int row = 1; row < lines; ++row) {
    ts_row_pen pen = r_dravscreen_start_row(window, row);
    const int index = row - 1 + cursor.i_top;
    if (index >= 0 && index < count) {
      const ts_listip_data& entry = list[static_cast<std::size_t>(index)];
      const bool selected = index == cursor.i_current;
      const int pair = entry.access_level >= access_level ? PAIR_GOOD : PAIR_BAD;
      char address[32];
      // A dotted address always fits.
      (void)std::snprintf(address, sizeof address, "%-15s", r_dravip_ip_to_text(entry.ip).c_str());
      r_dravscreen_pen_plain(pen, address, r_dravscreen_pair_attribute(pair, selected));
      r_dravscreen_pen_plain(pen, " ", r_dravscreen_pair_attribute(PAIR_PLAIN, selected));
      wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
      r_dravscreen_pen_color_string(pen, entry.name);
    }
    r_dravscreen_pen_clear_rest(pen);
  }
  r_dravscreen_stage(WIN_IP);
}

void r_dravscreen_draw_log() {
  WINDOW* window = r_dravscreen_begin_region(WIN_LOG);
  if (window == nullptr) {
    return;
  }
  const int lines = gts_screen.ats_window_arr[WIN_LOG].ts_area.i_lines;
  ts_cursor& cursor = gts_screen.ts_cursor_log;
  cursor.i_top = cursor.i_current + 1 - lines;
  const int count = r_dravpane_line_count();
  for (int row = 0; row < lines; ++row) {
    ts_row_pen pen = r_dravscreen_start_row(window, row);
    const int index = cursor.i_top + row;
    if (index >= 0 && index < count) {
      r_dravscreen_pen_color_string(pen, r_dravpane_line(index).c_str());
    }
    r_dravscreen_pen_clear_rest(pen);
  }
  r_dravscreen_stage(WIN_LOG);
}

void r_dravscreen_draw_keys() {
  WINDOW* window = r_dravscreen_begin_region(WIN_KEYS);
  if (window == nullptr) {
    return;
  }
  const int cols = gts_screen.ats_window_arr[WIN_KEYS].ts_area.i_cols;
  ts_row_pen pen = r_dravscreen_start_row(window, 0);
  r_dravscreen_pen_clear_rest(pen);
  pen.i_column = 0;
  if (gts_screen.ts_line_find.b_open) {
    r_dravscreen_draw_find_line(pen);
  } else if (gts_screen.b_console_active) {
    r_dravscreen_draw_edit_line(pen, gts_screen.ts_line_console, PAIR_PLAIN);
  } else {
    r_dravscreen_draw_key_bar(pen, cols);
  }
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_stage(WIN_KEYS);
}

void r_dravscreen_draw_help() {
  const ts_rect main = gts_screen.ats_window_arr[WIN_MAIN].ts_area;
  const int bottom = main.i_lines - 2;
  // A blank column stays before the right edge.
  const int end = main.i_cols - 2;
  r_dravscreen_draw_outer_box();
  ts_row_pen title{stdscr, 0, HELP_FIRST_COLUMN, end};
  r_dravscreen_pen_plain(title, "[", r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_pen_plain(title, "?", r_dravscreen_pair_attribute(PAIR_TAG, true));
  r_dravscreen_pen_plain(title, "] Keys; any key closes this help ",
                         r_dravscreen_pair_attribute(PAIR_PLAIN));
  int row = 1;
  for (const ts_help_line& line : r_dravscreen_help_lines()) {
    if (row >= bottom) {
      break;
    }
    r_dravscreen_draw_help_line(row++, end, line);
  }
  wattrset(stdscr, r_dravscreen_pair_attribute(PAIR_PLAIN));
}
