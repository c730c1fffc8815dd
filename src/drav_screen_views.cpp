// What the regions show: the server header, the player table, the IP history
// list, the event log pane and the bottom row (key bar or console line).
#include <cstdio>
#include <string>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_screen_internal.h"
#include "drav_statsparse.h"

using dravscreen::pair_attribute;
using dravscreen::print_plain;
using dravscreen::r_dravscreen_print_color_string;
using dravscreen::state;

namespace {

// A number right-aligned in its column; "#" cells when it does not fit, "-" cells while
// the player is still connecting.
std::string number_cell(int value, int width, bool connecting) {
  if (connecting) {
    return std::string(static_cast<std::size_t>(width), '-');
  }
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%*d", width, value);
  if (length > width) {
    return std::string(static_cast<std::size_t>(width), '#');
  }
  return text;
}

int ping_pair(int ping, int ping_kick) {
  if (ping_kick <= 0 || ping <= ping_kick / 2) {
    return PAIR_GOOD;
  }
  return ping < ping_kick ? PAIR_WARN : PAIR_BAD;
}

// Starts a region's drawing; returns its window, or null when it is up to date or has none.
WINDOW* begin_region(te_window window) {
  dravscreen::ts_window& region = state().ats_window_arr[window];
  if (region.draw_state == DRAW_DONE) {
    return nullptr;
  }
  if (region.window == nullptr) {
    region.draw_state = DRAW_DONE;
    return nullptr;
  }
  return region.window;
}

void start_row(WINDOW* window, int row) {
  wattrset(window, pair_attribute(PAIR_PLAIN));
  wmove(window, row, 0);
}

void end_row(WINDOW* window) {
  wattrset(window, pair_attribute(PAIR_PLAIN));
  wclrtoeol(window);
}

void draw_client_row(WINDOW* window, int row, int slot_number, bool selected, int cols) {
  start_row(window, row);
  if (slot_number < 0 || slot_number >= MAX_CLIENTS) {
    wclrtoeol(window);
    return;
  }
  const ts_config& config = *state().pts_config;
  const ts_status& status = *state().pts_status;
  const ts_client& slot = status.ats_client[static_cast<std::size_t>(slot_number)];
  const ts_client_cells cells =
      r_dravscreen_client_cells(slot, slot_number, cols, config.ping_kick, config.access_level,
                                status.ts_serverinfo.i_deathmatch);
  const int row_attribute = pair_attribute(PAIR_PLAIN, selected);
  const auto cell_attribute = [&](int pair) {
    return pair == 0 ? row_attribute : pair_attribute(pair, selected);
  };
  print_plain(window, cells.number, cell_attribute(cells.number_pair));
  if (slot.b_active == 1) {
    print_plain(window, " " + cells.score + " ", row_attribute);
    print_plain(window, cells.ping, cell_attribute(cells.ping_pair));
    print_plain(window, " ", row_attribute);
    print_plain(window, cells.address, cell_attribute(cells.address_pair));
    print_plain(window, " ", row_attribute);
    wattrset(window, pair_attribute(PAIR_PLAIN));
    r_dravscreen_print_color_string(window, slot.ts_line.ac_name);
  }
  end_row(window);
}

struct ts_key_label {
  bool key;  // a key name (pair 42) or a label (pair 41)
  const char* text;
};

// The left part of the key bar, 41 columns for every region.
std::vector<ts_key_label> region_keys(te_window window) {
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

void print_key_labels(WINDOW* window, const std::vector<ts_key_label>& labels) {
  for (const ts_key_label& label : labels) {
    print_plain(window, label.text, pair_attribute(label.key ? PAIR_TAG : PAIR_PLAIN));
  }
}

void draw_key_bar(WINDOW* window, int cols) {
  print_key_labels(window, region_keys(state().gte_active_window));
  if (wmove(window, 0, cols - 34) != OK) {
    return;
  }
  const std::string level = std::to_string(state().pts_config->access_level);
  print_key_labels(window, {{true, "+"},
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

void draw_console_line(WINDOW* window) {
  const ts_console_line& line = state().gts_line_console;
  std::string visible;
  for (int index = line.scroll; index < line.scroll + line.width; ++index) {
    visible += index < line.length ? line.text[index] : ' ';
  }
  print_plain(window, visible + " ", pair_attribute(PAIR_PLAIN));
  if (wmove(window, 0, line.position - line.scroll) == OK) {
    const char cell = line.position < line.length ? line.text[line.position] : ' ';
    print_plain(window, std::string(1, cell),
                pair_attribute(line.overwrite == 1 ? PAIR_EDIT_OVERWRITE : PAIR_EDIT_INSERT));
  }
  wattrset(window, pair_attribute(PAIR_PLAIN));
}

}  // namespace

int r_dravscreen_frag_width(int table_cols) {
  return table_cols > 44 ? 4 : 3;
}

int r_dravscreen_ping_width(int table_cols) {
  return table_cols > 45 ? 4 : 3;
}

ts_client_cells r_dravscreen_client_cells(const ts_client& slot, int slot_number, int table_cols,
                                          int ping_kick, int access_level, int deathmatch) {
  ts_client_cells cells;
  char number[16];
  std::snprintf(number, sizeof number, "%2d", slot_number);
  cells.number = number;
  if (slot.b_active != 1) {
    return cells;
  }
  if (slot.ts_info.i_spectator > 0) {
    cells.number_pair = PAIR_SPECTATOR;
  } else if (deathmatch == 4 || deathmatch == 6) {
    if (slot.ts_info.i_team_red_blue == 0) {
      cells.number_pair = PAIR_TEAM_0;
    } else if (slot.ts_info.i_team_red_blue == 1) {
      cells.number_pair = PAIR_TEAM_1;
    }
  }
  const bool connecting = slot.ts_line.b_connecting == 1;
  cells.score = number_cell(slot.ts_line.i_score, r_dravscreen_frag_width(table_cols), connecting);
  cells.ping = number_cell(slot.ts_line.i_ping, r_dravscreen_ping_width(table_cols), connecting);
  cells.ping_pair = ping_pair(slot.ts_line.i_ping, ping_kick);
  char address[32];
  std::snprintf(address, sizeof address, "%-15s",
                r_dravip_ip_to_text(slot.ts_line.ts_address.ip).c_str());
  cells.address = address;
  cells.address_pair = slot.i_access_level < access_level ? PAIR_BAD : PAIR_GOOD;
  return cells;
}

void r_dravscreen_update_client() {
  WINDOW* window = begin_region(WIN_CLIENT);
  if (window == nullptr) {
    return;
  }
  const ts_rect rect = state().ats_window_arr[WIN_CLIENT].rect;
  start_row(window, 0);
  const std::string frag = rect.cols > 44 ? "Frag" : "Frg";
  const std::string ping = rect.cols > 45 ? "Ping" : "Png";
  print_plain(window, " #|" + frag + "|" + ping + "|IP             |Name",
              pair_attribute(PAIR_PLAIN));
  end_row(window);
  const ts_cursor cursor = state().ts_cursor_client;
  for (int row = 1; row < rect.lines; ++row) {
    const int slot_number = row - 1 + cursor.top;
    draw_client_row(window, row, slot_number, slot_number == cursor.current, rect.cols);
  }
  dravscreen::stage(WIN_CLIENT);
}

namespace dravscreen {

void draw_server() {
  WINDOW* window = begin_region(WIN_SERVER);
  if (window == nullptr) {
    return;
  }
  const ts_status& status = *state().pts_status;
  start_row(window, 0);
  wclrtoeol(window);
  const std::string game = std::string("Game: ") + status.ac_gametype + " - " + status.ac_map;
  r_dravscreen_print_color_string(window, game.c_str());
  if (status.i_hostname_length != 0) {
    const int cols = state().ats_window_arr[WIN_SERVER].rect.cols;
    const long long column = cols - static_cast<long long>(status.i_hostname_length);
    // A name longer than the line cannot be moved to; it then follows the game text.
    if (column >= 0) {
      wmove(window, 0, static_cast<int>(column));
    }
    r_dravscreen_print_color_string(window, status.ts_serverinfo.ac_hostname);
  }
  wattrset(window, pair_attribute(PAIR_PLAIN));
  stage(WIN_SERVER);
}

void draw_ip_list() {
  WINDOW* window = begin_region(WIN_IP);
  if (window == nullptr) {
    return;
  }
  const auto list = r_dravlistip_get_list();
  const int count = static_cast<int>(list.size());
  const int lines = state().ats_window_arr[WIN_IP].rect.lines;
  const ts_cursor cursor = state().ts_cursor_ip;
  const std::int32_t access_level = state().pts_config->access_level;
  start_row(window, 0);
  print_plain(window, "IP             |Name", pair_attribute(PAIR_PLAIN));
  end_row(window);
  for (int row = 1; row < lines; ++row) {
    start_row(window, row);
    const int index = row - 1 + cursor.top;
    if (index >= 0 && index < count) {
      const ts_listip_data& entry = list[static_cast<std::size_t>(index)];
      const bool selected = index == cursor.current;
      char address[32];
      std::snprintf(address, sizeof address, "%-15s", r_dravip_ip_to_text(entry.ip).c_str());
      print_plain(
          window, address,
          pair_attribute(entry.access_level >= access_level ? PAIR_GOOD : PAIR_BAD, selected));
      print_plain(window, " ", pair_attribute(PAIR_PLAIN, selected));
      wattrset(window, pair_attribute(PAIR_PLAIN));
      r_dravscreen_print_color_string(window, entry.name);
    }
    end_row(window);
  }
  stage(WIN_IP);
}

void draw_log() {
  WINDOW* window = begin_region(WIN_LOG);
  if (window == nullptr) {
    return;
  }
  const int lines = state().ats_window_arr[WIN_LOG].rect.lines;
  ts_cursor& cursor = state().ts_cursor_log;
  cursor.top = cursor.current + 1 - lines;
  const int count = r_dravscreen_log_line_count();
  for (int row = 0; row < lines; ++row) {
    start_row(window, row);
    const int index = cursor.top + row;
    if (index >= 0 && index < count) {
      r_dravscreen_print_color_string(window, r_dravscreen_log_line(index).c_str());
    }
    end_row(window);
  }
  stage(WIN_LOG);
}

void draw_keys() {
  WINDOW* window = begin_region(WIN_KEYS);
  if (window == nullptr) {
    return;
  }
  const int cols = state().ats_window_arr[WIN_KEYS].rect.cols;
  start_row(window, 0);
  wclrtoeol(window);
  if (state().gb_console_active) {
    draw_console_line(window);
  } else {
    draw_key_bar(window, cols);
  }
  wattrset(window, pair_attribute(PAIR_PLAIN));
  stage(WIN_KEYS);
}

}  // namespace dravscreen
