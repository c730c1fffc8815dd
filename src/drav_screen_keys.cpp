// The operator's keys: the console line editor, the global keys, the commands
// of each region and the details blocks they write into the log pane. All of
// it acts on records only; the step beeps and draws afterwards.
#include <cstdio>
#include <cstring>
#include <string>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_screen_internal.h"
#include "drav_stats.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

using dravscreen::mark;
using dravscreen::state;

namespace {

constexpr int KEY_CODE_ESCAPE = 27;
constexpr int KEY_CODE_BACKSPACE = 8;
constexpr int KEY_CODE_TAB = 9;
constexpr int KEY_CODE_LINE_FEED = 10;
constexpr int KEY_CODE_RETURN = 13;

bool is_console_toggle(int key) {
  return key == '~' || key == '`' || key == KEY_F(1);
}

// printf into a std::string, for the details lines (texts hold up to 512 bytes).
[[gnu::format(printf, 1, 2)]] std::string format_line(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(line.data(), line.size() + 1, format, arguments);
  va_end(arguments);
  return line;
}

void pane(const std::string& line) {
  r_dravscreen_add_log_line(line.c_str());
}

// The frame's tags show the active region and the key bar shows the access level: both
// are drawn again, but a pending full redraw of the frame is kept.
void mark_tags() {
  int& draw_state = state().ats_window_arr[WIN_MAIN].draw_state;
  if (draw_state > DRAW_TAGS) {
    draw_state = DRAW_TAGS;
  }
}

void set_active(te_window window) {
  state().gte_active_window = window;
  mark_tags();
}

te_window next_region(te_window window) {
  switch (window) {
    case WIN_CLIENT:
      return WIN_IP;
    case WIN_IP:
      return WIN_LOG;
    case WIN_LOG:
      return WIN_SERVER;
    default:
      return WIN_CLIENT;
  }
}

te_window previous_region(te_window window) {
  switch (window) {
    case WIN_CLIENT:
      return WIN_SERVER;
    case WIN_SERVER:
      return WIN_LOG;
    case WIN_LOG:
      return WIN_IP;
    default:
      return WIN_CLIENT;
  }
}

void set_access_level(std::int32_t level) {
  state().pts_config->access_level = level;
  mark_tags();
  mark(WIN_IP);
}

// Global keys; returns true when the key was one of them.
bool apply_global_key(int key, ts_key_outcome& outcome) {
  const std::int32_t level = state().pts_config->access_level;
  switch (key) {
    case 'Q':
    case 'q':
      outcome.continue_running = 0;
      return true;
    case KEY_CODE_TAB:
      set_active(next_region(state().gte_active_window));
      return true;
    case KEY_BTAB:
      set_active(previous_region(state().gte_active_window));
      return true;
    case 'S':
    case 's':
      set_active(WIN_SERVER);
      return true;
    case 'C':
    case 'c':
      set_active(WIN_CLIENT);
      return true;
    case 'I':
    case 'i':
      set_active(WIN_IP);
      return true;
    case 'L':
    case 'l':
      set_active(WIN_LOG);
      return true;
    case '+':
      set_access_level(level > 8 ? 9 : level + 1);
      return true;
    case '-':
      set_access_level(level < 1 ? 0 : level - 1);
      return true;
    default:
      if (key >= '0' && key <= '9') {
        set_access_level(key - '0');
        return true;
      }
      return false;
  }
}

int page_of(te_window window) {
  return state().ats_window_arr[window].rect.lines;
}

void locate_in_ip_list(std::uint64_t ip) {
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  ts_cursor& cursor = state().ts_cursor_ip;
  cursor.current = first;
  // Centres the address's entries in the list's visible rows.
  cursor.top = first - (first + (page_of(WIN_IP) - 1) - end) / 2;
  mark(WIN_IP);
}

// Commands on the selected player; returns false (a beep) when the slot is empty.
bool apply_player_command(int key, int slot_number) {
  if (key != 'D' && key != 'd' && key != ' ' && key != 'K' && key != 'B') {
    if (key == 'k') {
      pane("Use Shift-K to kick");
    } else if (key == 'b') {
      pane("Use Shift-B to ban");
    }
    return true;
  }
  ts_client& slot = state().pts_status->ats_client[static_cast<std::size_t>(slot_number)];
  if (slot.b_active != 1) {
    return false;
  }
  switch (key) {
    case 'D':
    case 'd':
      return dravscreen::show_client_details(slot_number);
    case ' ':
      locate_in_ip_list(slot.ts_line.ts_address.ip);
      return true;
    case 'K':
      slot.i_kick_reason = KICK_ADMIN;
      r_dravlog_log_player(LOG_ADMIN_KICK, slot.ts_line);
      return true;
    default:  // 'B'
      r_dravaccess_block_ip(slot.ts_line.ts_address.ip, slot.ts_line.ac_name,
                            "Client banned by admin");
      r_dravstats_forget_departed(*state().pts_status, slot.ts_line.ts_address.ip);
      slot.i_kick_reason = KICK_ADMIN_BAN;
      r_dravlog_log_player(LOG_ADMIN_BAN, slot.ts_line);
      return true;
  }
}

bool ban_history_entry(int entry) {
  const auto list = r_dravlistip_get_list();
  if (entry < 0 || static_cast<std::size_t>(entry) >= list.size()) {
    return false;
  }
  const std::uint64_t ip = list[static_cast<std::size_t>(entry)].ip;
  r_dravaccess_block_ip(ip, nullptr, "IP banned by admin");
  r_dravstats_forget_departed(*state().pts_status, ip);
  r_dravlog_log("IP     Admin ban  %-15s\n", r_dravip_ip_to_text(ip).c_str());
  for (ts_client& slot : state().pts_status->ats_client) {
    if (slot.b_active == 1 && slot.ts_line.ts_address.ip == ip) {
      slot.i_kick_reason = KICK_ADMIN_BAN;
      r_dravlog_log_player(LOG_ADMIN_BAN, slot.ts_line);
    }
  }
  return true;
}

// Commands of the active region; returns false when the key asks for a beep.
bool apply_region_command(int key) {
  dravscreen::ts_screen_state& screen = state();
  switch (screen.gte_active_window) {
    case WIN_SERVER:
      if (key == 'D' || key == 'd') {
        dravscreen::show_server_details();
      }
      return true;
    case WIN_CLIENT:
      if (r_dravscreen_key_navigate(key, MAX_CLIENTS, page_of(WIN_CLIENT) - 1,
                                    screen.ts_cursor_client) == 1) {
        mark(WIN_CLIENT);
        return true;
      }
      return apply_player_command(key, screen.ts_cursor_client.current);
    case WIN_IP: {
      const int count = static_cast<int>(r_dravlistip_get_list().size());
      if (r_dravscreen_key_navigate(key, count, page_of(WIN_IP) - 1, screen.ts_cursor_ip) == 1) {
        mark(WIN_IP);
        return true;
      }
      if (key == 'B') {
        return ban_history_entry(screen.ts_cursor_ip.current);
      }
      if (key == 'D' || key == 'd') {
        return dravscreen::show_ip_details(screen.ts_cursor_ip.current);
      }
      if (key == 'b') {
        pane("Use Shift-B to ban");
      }
      return true;
    }
    case WIN_LOG: {
      const int lines = page_of(WIN_LOG);
      if (r_dravscreen_key_navigate(key, r_dravscreen_log_line_count(), lines,
                                    screen.ts_cursor_log) == 1) {
        mark(WIN_LOG);
      }
      screen.ts_cursor_log.top = screen.ts_cursor_log.current + 1 - lines;
      return true;
    }
    default:
      return true;
  }
}

// Sends the console line to the server; the echo and the reply go to the pane only.
void send_console_line() {
  ts_console_line& line = state().gts_line_console;
  char text[CONSOLE_LINE_MAX + 1];
  std::memcpy(text, line.text, static_cast<std::size_t>(line.length));
  text[line.length] = '\0';
  r_dravtools_remove_invalid_console_chars(text);
  pane(format_line(">%s", text));
  if (const auto reply = r_dravnet_send_command(text, -1, NET_MAIN_SOCKET)) {
    pane(*reply);
  }
  line.position = 0;
  line.length = 0;
  line.text[0] = '\0';
}

void remove_character(ts_console_line& line, int at) {
  std::memmove(line.text + at, line.text + at + 1, static_cast<std::size_t>(line.length - at - 1));
  --line.length;
}

void type_character(ts_console_line& line, int key, ts_console_edit& edit) {
  if (line.overwrite == 1 && line.position < line.length) {
    line.text[line.position++] = static_cast<char>(key);
    return;
  }
  if (line.length >= CONSOLE_LINE_MAX) {
    edit.beep = true;
    return;
  }
  std::memmove(line.text + line.position + 1, line.text + line.position,
               static_cast<std::size_t>(line.length - line.position));
  line.text[line.position++] = static_cast<char>(key);
  ++line.length;
}

// Applies an editing key; returns false when the key is not the editor's.
bool edit_line(ts_console_line& line, int key, ts_console_edit& edit) {
  switch (key) {
    case KEY_HOME:
      line.position = 0;
      return true;
    case KEY_END:
      line.position = line.length;
      return true;
    case KEY_LEFT:
      if (line.position == 0) {
        edit.beep = true;
      } else {
        --line.position;
      }
      return true;
    case KEY_RIGHT:
      if (line.position == line.length) {
        edit.beep = true;
      } else {
        ++line.position;
      }
      return true;
    case KEY_CODE_BACKSPACE:
    case KEY_BACKSPACE:
      if (line.position == 0) {
        edit.beep = true;
      } else {
        remove_character(line, --line.position);
      }
      return true;
    case KEY_DC:
      if (line.position == line.length) {
        edit.beep = true;
      } else {
        remove_character(line, line.position);
      }
      return true;
    case KEY_IC:
      line.overwrite = line.overwrite == 1 ? 0 : 1;
      return true;
    case KEY_CODE_ESCAPE:
      line.position = 0;
      line.length = 0;
      return true;
    case KEY_ENTER:
    case KEY_CODE_LINE_FEED:
    case KEY_CODE_RETURN:
      if (line.length == 0) {
        edit.beep = true;
      } else {
        edit.send = true;
      }
      return true;
    default:
      if (key >= 32 && key <= 126) {
        type_character(line, key, edit);
        return true;
      }
      // Every other code below 256 belongs to the line too, without effect.
      return key >= 0 && key < 256;
  }
}

}  // namespace

ts_console_edit r_dravscreen_console_edit(ts_console_line& line, int key, int width) {
  ts_console_edit edit;
  line.width = width;
  edit.consumed = edit_line(line, key, edit);
  line.text[line.length] = '\0';
  // Keep the edit position inside the visible part of the line.
  if (line.position < line.scroll) {
    line.scroll = line.position;
  }
  if (line.position - line.scroll >= line.width) {
    line.scroll = line.position - line.width + 1;
    if (line.scroll < 0) {
      line.scroll = 0;
    }
  }
  return edit;
}

void r_dravscreen_take_change_flags() {
  ts_status& status = *state().pts_status;
  if (status.b_serverinfo_updated == 1) {
    mark(WIN_SERVER);
    status.b_serverinfo_updated = 0;
  }
  if (status.b_status_updated == 1) {
    mark(WIN_CLIENT);
    status.b_status_updated = 0;
  }
  if (gb_dravlistip_changed == 1) {
    mark(WIN_IP);
    gb_dravlistip_changed = 0;
  }
}

ts_key_outcome r_dravscreen_apply_key(int key) {
  dravscreen::ts_screen_state& screen = state();
  ts_key_outcome outcome;
  if (is_console_toggle(key)) {
    screen.gb_console_active = !screen.gb_console_active;
    mark(WIN_KEYS);
    key = -1;
  }
  bool global_keys = true;
  if (screen.gb_console_active) {
    const ts_console_edit edit = r_dravscreen_console_edit(
        screen.gts_line_console, key, screen.ats_window_arr[WIN_KEYS].rect.cols);
    if (edit.consumed) {
      outcome.beeps += edit.beep ? 1 : 0;
      if (edit.send) {
        send_console_line();
      }
      mark(WIN_KEYS);
      key = -1;
      global_keys = false;
    }
  }
  if (global_keys && apply_global_key(key, outcome)) {
    key = -1;
  }
  if (!apply_region_command(key)) {
    ++outcome.beeps;
  }
  return outcome;
}

namespace dravscreen {

void show_server_details() {
  const ts_serverinfo& info = state().pts_status->ts_serverinfo;
  pane("Server details:");
  pane(format_line("  Hostname:       %s", info.ac_hostname));
  pane(format_line("  Deathmatch:     %i", info.i_deathmatch));
  pane(format_line("  Mapname:        %s", info.ac_mapname));
  pane(format_line("  Fraglimit:      %i", info.i_fraglimit));
  pane(format_line("  Timelimit:      %i", info.i_timelimit));
  pane(format_line("  Max clients:    %i", info.i_maxclients));
  pane(format_line("  Max spectators: %i", info.i_maxspectators));
  pane(format_line("  DMflags:        %i", info.i_dmflags));
}

bool show_client_details(int slot_number) {
  const ts_client& slot = state().pts_status->ats_client[static_cast<std::size_t>(slot_number)];
  if (slot.b_active != 1) {
    return false;
  }
  pane("Client details:");
  pane(format_line("  Name: %s", slot.ts_line.ac_name));
  pane(format_line("  Team: %s", slot.ts_info.ac_teamname));
  pane(format_line("  Skin: %s", slot.ts_info.ac_skin));
  pane(format_line("  Rate: %d", slot.ts_info.i_rate));
  pane(format_line("  IP:   %s", r_dravip_ip_to_text(slot.ts_line.ts_address.ip).c_str()));
  r_dravscreen_show_dns_info(slot.pc_hostnames ? slot.pc_hostnames->c_str() : nullptr);
  return true;
}

bool show_ip_details(int entry) {
  const auto list = r_dravlistip_get_list();
  if (entry < 0 || static_cast<std::size_t>(entry) >= list.size()) {
    return false;
  }
  const ts_listip_data& data = list[static_cast<std::size_t>(entry)];
  pane("IP details:");
  pane(format_line("  IP:   %s", r_dravip_ip_to_text(data.ip).c_str()));
  r_dravscreen_show_dns_info(data.hostnames);
  pane(format_line("  Name: %s", data.name));
  pane(format_line("  Date: %04d-%02d-%02d", data.year, data.month, data.day));
  return true;
}

}  // namespace dravscreen

void r_dravscreen_show_dns_info(const char* hostnames) {
  if (hostnames == nullptr) {
    pane("  DNS:  -");
    return;
  }
  std::string_view rest = hostnames;
  const char* prefix = "  Host: ";
  while (true) {
    const std::size_t end = rest.find(';');
    pane(std::string(prefix) + std::string(rest.substr(0, end)));
    if (end == std::string_view::npos) {
      return;
    }
    rest.remove_prefix(end + 1);
    prefix = "        ";
  }
}
