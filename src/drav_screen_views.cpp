// What the regions show: the server header, the player table, the IP history
// list, the event log pane and the bottom row (key bar or console line).
#include <cstdio>
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
// columns before the bar's end.
constexpr int KEY_BAR_RIGHT_COLS = 34;

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

void r_dravscreen_start_row(WINDOW* window, int row) {
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  wmove(window, row, 0);
}

void r_dravscreen_end_row(WINDOW* window) {
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  wclrtoeol(window);
}

void r_dravscreen_draw_client_row(WINDOW* window, int row, int slot_number, bool selected,
                                  int cols) {
  r_dravscreen_start_row(window, row);
  if (slot_number < 0 || slot_number >= MAX_CLIENTS) {
    wclrtoeol(window);
    return;
  }
  const ts_config& config = *gts_screen.pts_config;
  const ts_status& status = *gts_screen.pts_status;
  const ts_client& slot = status.ats_client[static_cast<std::size_t>(slot_number)];
  const ts_client_cells cells =
      r_dravscreen_client_cells(slot, slot_number, cols, config.ping_kick, config.access_level,
                                status.ts_serverinfo.i_deathmatch);
  const int row_attribute = r_dravscreen_pair_attribute(PAIR_PLAIN, selected);
  const auto cell_attribute = [&](int pair) {
    return pair == 0 ? row_attribute : r_dravscreen_pair_attribute(pair, selected);
  };
  r_dravscreen_print_plain(window, cells.ac_number, cell_attribute(cells.i_number_pair));
  if (slot.b_active == 1) {
    r_dravscreen_print_plain(window, " " + cells.ac_score + " ", row_attribute);
    r_dravscreen_print_plain(window, cells.ac_ping, cell_attribute(cells.i_ping_pair));
    r_dravscreen_print_plain(window, " ", row_attribute);
    r_dravscreen_print_plain(window, cells.ac_address, cell_attribute(cells.i_address_pair));
    r_dravscreen_print_plain(window, " ", row_attribute);
    wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
    r_dravscreen_print_color_string(window, slot.ts_line.ac_name);
  }
  r_dravscreen_end_row(window);
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
      return {{true, "D"},
              {false, " Details  "},
              {true, "B"},
              {false, " Ban                         "}};
    default:
      return {{false, "                                         "}};
  }
}

void r_dravscreen_print_key_labels(WINDOW* window, const std::vector<ts_key_label>& labels) {
  for (const ts_key_label& label : labels) {
    r_dravscreen_print_plain(window, label.pc_text,
                             r_dravscreen_pair_attribute(label.b_key ? PAIR_TAG : PAIR_PLAIN));
  }
}

void r_dravscreen_draw_key_bar(WINDOW* window, int cols) {
  r_dravscreen_print_key_labels(window, r_dravscreen_region_keys(gts_screen.te_active_window));
  if (wmove(window, 0, cols - KEY_BAR_RIGHT_COLS) != OK) {
    return;
  }
  const std::string level = std::to_string(gts_screen.pts_config->access_level);
  r_dravscreen_print_key_labels(window, {{true, "+"},
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

void r_dravscreen_draw_console_line(WINDOW* window) {
  const ts_console_line& line = gts_screen.ts_line_console;
  std::string visible;
  for (int index = line.i_scroll; index < line.i_scroll + line.i_width; ++index) {
    visible += index < line.i_length ? line.ac_text[index] : ' ';
  }
  r_dravscreen_print_plain(window, visible + " ", r_dravscreen_pair_attribute(PAIR_PLAIN));
  if (wmove(window, 0, line.i_position - line.i_scroll) == OK) {
    const char cell = line.i_position < line.i_length ? line.ac_text[line.i_position] : ' ';
    const int pair = line.i_overwrite == 1 ? PAIR_EDIT_OVERWRITE : PAIR_EDIT_INSERT;
    r_dravscreen_print_plain(window, std::string(1, cell), r_dravscreen_pair_attribute(pair));
  }
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
}

}  // namespace

void r_dravscreen_update_client() {
  WINDOW* window = r_dravscreen_begin_region(WIN_CLIENT);
  if (window == nullptr) {
    return;
  }
  const ts_rect rect = gts_screen.ats_window_arr[WIN_CLIENT].ts_area;
  r_dravscreen_start_row(window, 0);
  r_dravscreen_print_plain(window, r_dravscreen_client_heading(rect.i_cols),
                           r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_end_row(window);
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
  r_dravscreen_start_row(window, 0);
  wclrtoeol(window);
  const std::string game = std::string("Game: ") + status.ac_gametype + " - " + status.ac_map;
  r_dravscreen_print_color_string(window, game.c_str());
  if (status.i_hostname_length != 0) {
    const int cols = gts_screen.ats_window_arr[WIN_SERVER].ts_area.i_cols;
    const long long column = cols - static_cast<long long>(status.i_hostname_length);
    // A name longer than the line cannot be moved to; it then follows the game text.
    if (column >= 0) {
      wmove(window, 0, static_cast<int>(column));
    }
    r_dravscreen_print_color_string(window, status.ts_serverinfo.ac_hostname);
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
  r_dravscreen_start_row(window, 0);
  r_dravscreen_print_plain(window, "IP             |Name", r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_end_row(window);
  for (int row = 1; row < lines; ++row) {
    r_dravscreen_start_row(window, row);
    const int index = row - 1 + cursor.i_top;
    if (index >= 0 && index < count) {
      const ts_listip_data& entry = list[static_cast<std::size_t>(index)];
      const bool selected = index == cursor.i_current;
      const int pair = entry.access_level >= access_level ? PAIR_GOOD : PAIR_BAD;
      char address[32];
      std::snprintf(address, sizeof address, "%-15s", r_dravip_ip_to_text(entry.ip).c_str());
      r_dravscreen_print_plain(window, address, r_dravscreen_pair_attribute(pair, selected));
      r_dravscreen_print_plain(window, " ", r_dravscreen_pair_attribute(PAIR_PLAIN, selected));
      wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
      r_dravscreen_print_color_string(window, entry.name);
    }
    r_dravscreen_end_row(window);
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
    r_dravscreen_start_row(window, row);
    const int index = cursor.i_top + row;
    if (index >= 0 && index < count) {
      r_dravscreen_print_color_string(window, r_dravpane_line(index).c_str());
    }
    r_dravscreen_end_row(window);
  }
  r_dravscreen_stage(WIN_LOG);
}

void r_dravscreen_draw_keys() {
  WINDOW* window = r_dravscreen_begin_region(WIN_KEYS);
  if (window == nullptr) {
    return;
  }
  const int cols = gts_screen.ats_window_arr[WIN_KEYS].ts_area.i_cols;
  r_dravscreen_start_row(window, 0);
  wclrtoeol(window);
  if (gts_screen.b_console_active) {
    r_dravscreen_draw_console_line(window);
  } else {
    r_dravscreen_draw_key_bar(window, cols);
  }
  wattrset(window, r_dravscreen_pair_attribute(PAIR_PLAIN));
  r_dravscreen_stage(WIN_KEYS);
}
