// The operator's keys: the console line editor, the global keys, the commands
// of each region and the details blocks they write into the log pane. All of
// it acts on records only; the step beeps and draws afterwards.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_net.h"
#include "drav_pane.h"
#include "drav_screen_internal.h"
#include "drav_stats.h"
#include "drav_stats_event.h"
#include "drav_statsparse.h"
#include "drav_tools.h"

namespace {

// The access level that the keys + and - step within, and that the digit keys set.
constexpr std::int32_t ACCESS_KEY_LEVEL_MIN = 0;
constexpr std::int32_t ACCESS_KEY_LEVEL_MAX = 9;

bool r_dravscreen_is_console_toggle(int key) {
  return key == '~' || key == '`' || key == KEY_VALUE_F1;
}

te_window r_dravscreen_next_region(te_window window) {
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

te_window r_dravscreen_previous_region(te_window window) {
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

void r_dravscreen_set_access_level(std::int32_t level) {
  gts_screen.pts_config->access_level = level;
  r_dravscreen_mark_tags();
  r_dravscreen_mark(WIN_IP);
}

// Keys that make a region active; returns true when the key was one of them.
bool r_dravscreen_apply_region_key(int key) {
  switch (key) {
    case KEY_VALUE_TAB:
      r_dravscreen_set_active(r_dravscreen_next_region(gts_screen.te_active_window));
      return true;
    case KEY_VALUE_BACK_TAB:
      r_dravscreen_set_active(r_dravscreen_previous_region(gts_screen.te_active_window));
      return true;
    case 'S':
    case 's':
      r_dravscreen_set_active(WIN_SERVER);
      return true;
    case 'C':
    case 'c':
      r_dravscreen_set_active(WIN_CLIENT);
      return true;
    case 'I':
    case 'i':
      r_dravscreen_set_active(WIN_IP);
      return true;
    case 'L':
    case 'l':
      r_dravscreen_set_active(WIN_LOG);
      return true;
    case '/':
      r_dravscreen_open_find();
      return true;
    default:
      return false;
  }
}

// Global keys; returns true when the key was one of them.
bool r_dravscreen_apply_global_key(int key, ts_key_outcome& outcome) {
  if (r_dravscreen_apply_region_key(key)) {
    return true;
  }
  const std::int32_t level = gts_screen.pts_config->access_level;
  switch (key) {
    case 'Q':
    case 'q':
      outcome.i_continue_running = 0;
      return true;
    case '?':
    case 'h':
      // The help covers the frame and the regions until the next key.
      gts_screen.b_help_shown = true;
      r_dravscreen_mark(WIN_MAIN);
      return true;
    case '+':
      r_dravscreen_set_access_level(level >= ACCESS_KEY_LEVEL_MAX ? ACCESS_KEY_LEVEL_MAX
                                                                  : level + 1);
      return true;
    case '-':
      r_dravscreen_set_access_level(level <= ACCESS_KEY_LEVEL_MIN ? ACCESS_KEY_LEVEL_MIN
                                                                  : level - 1);
      return true;
    default:
      if (key >= '0' + ACCESS_KEY_LEVEL_MIN && key <= '0' + ACCESS_KEY_LEVEL_MAX) {
        r_dravscreen_set_access_level(key - '0');
        return true;
      }
      return false;
  }
}

void r_dravscreen_locate_in_ip_list(std::uint64_t ip) {
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  ts_cursor& cursor = gts_screen.ts_cursor_ip;
  cursor.i_current = first;
  // Centres the address's entries in the list's visible rows.
  cursor.i_top = first - (first + (r_dravscreen_page_of(WIN_IP) - 1) - end) / 2;
  r_dravscreen_mark(WIN_IP);
}

void r_dravscreen_show_server_details() {
  const ts_serverinfo& info = gts_screen.pts_status->ts_serverinfo;
  r_dravscreen_to_pane("Server details:");
  r_dravscreen_to_pane(r_dravscreen_format_line("  Hostname:       %s", info.ac_hostname));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Deathmatch:     %i", info.i_deathmatch));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Mapname:        %s", info.ac_mapname));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Fraglimit:      %i", info.i_fraglimit));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Timelimit:      %i", info.i_timelimit));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Max clients:    %i", info.i_maxclients));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Max spectators: %i", info.i_maxspectators));
  r_dravscreen_to_pane(r_dravscreen_format_line("  DMflags:        %i", info.i_dmflags));
}

void r_dravscreen_show_client_details(const ts_client& slot) {
  const ts_ip_text address = r_dravip_ip_to_text(slot.ts_line.ts_address.ip);
  r_dravscreen_to_pane("Client details:");
  r_dravscreen_to_pane(r_dravscreen_format_line("  Name: %s", slot.ts_line.ac_name));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Team: %s", slot.ts_info.ac_teamname));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Skin: %s", slot.ts_info.ac_skin));
  r_dravscreen_to_pane(r_dravscreen_format_line("  Rate: %d", slot.ts_info.i_rate));
  r_dravscreen_to_pane(r_dravscreen_format_line("  IP:   %s", address.c_str()));
  r_dravscreen_show_dns_info(slot.pc_hostnames ? slot.pc_hostnames->c_str() : nullptr);
}

// Returns false (the caller beeps) when no entry is selected.
bool r_dravscreen_show_ip_details(int entry) {
  const auto list = r_dravlistip_get_list();
  if (entry < 0 || static_cast<std::size_t>(entry) >= list.size()) {
    return false;
  }
  const ts_listip_data& data = list[static_cast<std::size_t>(entry)];
  r_dravscreen_to_pane("IP details:");
  r_dravscreen_to_pane(
      r_dravscreen_format_line("  IP:   %s", r_dravip_ip_to_text(data.ip).c_str()));
  r_dravscreen_show_dns_info(data.hostnames);
  r_dravscreen_to_pane(r_dravscreen_format_line("  Name: %s", data.name));
  r_dravscreen_to_pane(
      r_dravscreen_format_line("  Date: %04d-%02d-%02d", data.year, data.month, data.day));
  return true;
}

// Returns false (the caller beeps) when no entry is selected.
bool r_dravscreen_show_entry_aliases(int entry) {
  const auto list = r_dravlistip_get_list();
  if (entry < 0 || static_cast<std::size_t>(entry) >= list.size()) {
    return false;
  }
  const ts_listip_data& data = list[static_cast<std::size_t>(entry)];
  r_dravscreen_show_aliases(data.ip);
  return true;
}

// Commands on the selected player; returns false (a beep) when the slot is empty.
bool r_dravscreen_apply_player_command(int key, int slot_number) {
  if (key != 'D' && key != 'd' && key != ' ' && key != 'K' && key != 'B' && key != 'A' &&
      key != 'a') {
    if (key == 'k') {
      r_dravscreen_to_pane("Use Shift-K to kick");
    } else if (key == 'b') {
      r_dravscreen_to_pane("Use Shift-B to ban");
    }
    return true;
  }
  ts_client& slot = gts_screen.pts_status->ats_client[static_cast<std::size_t>(slot_number)];
  if (slot.b_active != 1) {
    return false;
  }
  switch (key) {
    case 'D':
    case 'd':
      r_dravscreen_show_client_details(slot);
      return true;
    case ' ':
      r_dravscreen_locate_in_ip_list(slot.ts_line.ts_address.ip);
      return true;
    case 'A':
    case 'a':
      r_dravscreen_show_aliases(slot.ts_line.ts_address.ip);
      return true;
    case 'K':
      r_dravstats_admin_kick(slot);
      return true;
    default:  // 'B'
      r_dravstats_admin_ban(*gts_screen.pts_status, slot);
      return true;
  }
}

bool r_dravscreen_ban_history_entry(int entry) {
  const auto list = r_dravlistip_get_list();
  if (entry < 0 || static_cast<std::size_t>(entry) >= list.size()) {
    return false;
  }
  r_dravstats_admin_ban_ip(*gts_screen.pts_status, list[static_cast<std::size_t>(entry)].ip);
  return true;
}

// Keys of the player table; returns false when the key asks for a beep.
bool r_dravscreen_apply_client_key(int key) {
  ts_cursor& cursor = gts_screen.ts_cursor_client;
  // The first row of the table is its heading.
  if (r_dravscreen_key_navigate(key, r_dravscreen_client_rows(),
                                r_dravscreen_page_of(WIN_CLIENT) - 1, cursor) == 1) {
    r_dravscreen_mark(WIN_CLIENT);
    return true;
  }
  return r_dravscreen_apply_player_command(key, cursor.i_current);
}

// Keys of the IP list; returns false when the key asks for a beep.
bool r_dravscreen_apply_ip_key(int key) {
  ts_cursor& cursor = gts_screen.ts_cursor_ip;
  const int count = static_cast<int>(r_dravlistip_get_list().size());
  // The first row of the list is its heading.
  if (r_dravscreen_key_navigate(key, count, r_dravscreen_page_of(WIN_IP) - 1, cursor) == 1) {
    r_dravscreen_mark(WIN_IP);
    return true;
  }
  if (key == 'B') {
    return r_dravscreen_ban_history_entry(cursor.i_current);
  }
  if (key == 'D' || key == 'd') {
    return r_dravscreen_show_ip_details(cursor.i_current);
  }
  if (key == 'A' || key == 'a') {
    return r_dravscreen_show_entry_aliases(cursor.i_current);
  }
  if (key == 'n' || key == 'N') {
    return r_dravscreen_find_again(key == 'n' ? 1 : -1);
  }
  if (key == 'b') {
    r_dravscreen_to_pane("Use Shift-B to ban");
  }
  return true;
}

void r_dravscreen_apply_log_key(int key) {
  ts_cursor& cursor = gts_screen.ts_cursor_log;
  const int lines = r_dravscreen_page_of(WIN_LOG);
  if (key == 'P' || key == 'p') {
    r_dravscreen_pause_log(!gts_screen.ts_pause_log.b_paused);
  } else if (r_dravscreen_key_navigate(key, r_dravpane_line_count(), lines, cursor) == 1) {
    // End shows the newest line, so it also lets a paused pane follow again.
    if (key == KEY_VALUE_END && gts_screen.ts_pause_log.b_paused) {
      r_dravscreen_pause_log(false);
    }
    r_dravscreen_mark(WIN_LOG);
  }
  cursor.i_top = cursor.i_current + 1 - lines;
}

// Commands of the active region; returns false when the key asks for a beep.
bool r_dravscreen_apply_region_command(int key) {
  switch (gts_screen.te_active_window) {
    case WIN_SERVER:
      if (key == 'D' || key == 'd') {
        r_dravscreen_show_server_details();
      }
      return true;
    case WIN_CLIENT:
      return r_dravscreen_apply_client_key(key);
    case WIN_IP:
      return r_dravscreen_apply_ip_key(key);
    case WIN_LOG:
      r_dravscreen_apply_log_key(key);
      return true;
    default:
      return true;
  }
}

// An empty line is shown from its start.
void r_dravscreen_empty_console_line(ts_console_line& line) {
  line.i_position = 0;
  line.i_length = 0;
  line.i_scroll = 0;
  line.ac_text[0] = '\0';
}

// The console command's reply, into the pane when it comes.
void r_dravscreen_show_console_reply(const std::optional<ts_net_reply>& reply) {
  if (!reply) {
    return;
  }
  r_dravscreen_to_pane(reply->o_text);
  if (reply->b_bounded) {
    // What the pane shows may not be the server's whole answer.
    r_dravscreen_to_pane(r_dravscreen_format_line(
        "(reply stopped at its bound of %zu bytes, %d datagrams or %lld s: it may go on)",
        NET_REPLY_MAX_BYTES, NET_REPLY_MAX_DATAGRAMS,
        static_cast<long long>(NET_REPLY_MAX_MS / 1000)));
  }
}

// Sends the console line to the server; the echo goes to the pane at once, the reply when it
// comes (after the poll's command in flight, if any), and keys go on meanwhile.
void r_dravscreen_send_console_line() {
  ts_console_line& line = gts_screen.ts_line_console;
  char text[CONSOLE_LINE_MAX + 1];
  std::memcpy(text, line.ac_text, static_cast<std::size_t>(line.i_length));
  text[line.i_length] = '\0';
  r_dravtools_remove_invalid_console_chars(text);
  r_dravscreen_to_pane(r_dravscreen_format_line(">%s", text));
  r_dravnet_send_then(text, -1, NET_MAIN_SOCKET, r_dravscreen_show_console_reply);
  r_dravscreen_empty_console_line(line);
}

void r_dravscreen_remove_character(ts_console_line& line, int at) {
  std::memmove(line.ac_text + at, line.ac_text + at + 1,
               static_cast<std::size_t>(line.i_length - at - 1));
  --line.i_length;
}

void r_dravscreen_type_character(ts_console_line& line, int key, ts_console_edit& edit) {
  if (line.i_overwrite == 1 && line.i_position < line.i_length) {
    line.ac_text[line.i_position++] = static_cast<char>(key);
    return;
  }
  if (line.i_length >= CONSOLE_LINE_MAX) {
    edit.b_beep = true;
    return;
  }
  std::memmove(line.ac_text + line.i_position + 1, line.ac_text + line.i_position,
               static_cast<std::size_t>(line.i_length - line.i_position));
  line.ac_text[line.i_position++] = static_cast<char>(key);
  ++line.i_length;
}

// Keys that move the edit position or switch the mode; returns false for any other key.
bool r_dravscreen_edit_move(ts_console_line& line, int key, ts_console_edit& edit) {
  switch (key) {
    case KEY_VALUE_HOME:
      line.i_position = 0;
      return true;
    case KEY_VALUE_END:
      line.i_position = line.i_length;
      return true;
    case KEY_VALUE_LEFT:
      if (line.i_position == 0) {
        edit.b_beep = true;
      } else {
        --line.i_position;
      }
      return true;
    case KEY_VALUE_RIGHT:
      if (line.i_position == line.i_length) {
        edit.b_beep = true;
      } else {
        ++line.i_position;
      }
      return true;
    case KEY_VALUE_INSERT:
      line.i_overwrite = line.i_overwrite == 1 ? 0 : 1;
      return true;
    default:
      return false;
  }
}

// Keys that remove text; returns false for any other key.
bool r_dravscreen_edit_remove(ts_console_line& line, int key, ts_console_edit& edit) {
  switch (key) {
    case KEY_VALUE_CONTROL_H:
    case KEY_VALUE_BACKSPACE:
      if (line.i_position == 0) {
        edit.b_beep = true;
      } else {
        r_dravscreen_remove_character(line, --line.i_position);
      }
      return true;
    case KEY_VALUE_DELETE:
      if (line.i_position == line.i_length) {
        edit.b_beep = true;
      } else {
        r_dravscreen_remove_character(line, line.i_position);
      }
      return true;
    case KEY_VALUE_ESCAPE:
      r_dravscreen_empty_console_line(line);
      return true;
    default:
      return false;
  }
}

// Applies an editing key; returns false when the key is not the editor's.
bool r_dravscreen_edit_line(ts_console_line& line, int key, ts_console_edit& edit) {
  if (r_dravscreen_edit_move(line, key, edit) || r_dravscreen_edit_remove(line, key, edit)) {
    return true;
  }
  switch (key) {
    case KEY_VALUE_ENTER:
    case KEY_VALUE_LINE_FEED:
    case KEY_VALUE_RETURN:
      if (line.i_length == 0) {
        edit.b_beep = true;
      } else {
        edit.b_send = true;
      }
      return true;
    default:
      if (key >= ' ' && key <= '~') {
        r_dravscreen_type_character(line, key, edit);
        return true;
      }
      // Every other character key belongs to the line too, without effect.
      return key >= 0 && key < KEY_VALUE_CHARACTER_END;
  }
}

}  // namespace

ts_console_edit r_dravscreen_console_edit(ts_console_line& line, int key, int width) {
  ts_console_edit edit;
  line.i_width = width;
  edit.b_consumed = r_dravscreen_edit_line(line, key, edit);
  line.ac_text[line.i_length] = '\0';
  // Keep the edit position inside the visible part of the line.
  if (line.i_position < line.i_scroll) {
    line.i_scroll = line.i_position;
  }
  if (line.i_position - line.i_scroll >= line.i_width) {
    line.i_scroll = line.i_position - line.i_width + 1;
    if (line.i_scroll < 0) {
      line.i_scroll = 0;
    }
  }
  // Show as much of the text as fits: from its start whenever the text and the edit cell
  // after it fit, and with no unused cells after that edit cell, as after the terminal grew.
  const int widest_scroll = std::max(0, line.i_length + 1 - line.i_width);
  if (line.i_scroll > widest_scroll) {
    line.i_scroll = widest_scroll;
  }
  return edit;
}

void r_dravscreen_note_server_state() {
  if (r_dravscreen_server_state_text() != gts_screen.pc_server_state_shown) {
    r_dravscreen_mark(WIN_SERVER);
  }
}

ts_key_outcome r_dravscreen_apply_key(int key) {
  ts_key_outcome outcome;
  // The key that closes the help does nothing else: the operator could not see what it
  // would do to the regions under the help.
  if (gts_screen.b_help_shown && key != KEY_VALUE_NONE) {
    gts_screen.b_help_shown = false;
    r_dravscreen_mark_all();
    return outcome;
  }
  if (gts_screen.ts_line_find.b_open) {
    outcome.i_beeps = r_dravscreen_apply_find_key(key);
    return outcome;
  }
  if (r_dravscreen_is_console_toggle(key)) {
    gts_screen.b_console_active = !gts_screen.b_console_active;
    r_dravscreen_mark(WIN_KEYS);
    key = KEY_VALUE_NONE;
  }
  bool global_keys = true;
  if (gts_screen.b_console_active) {
    const ts_console_edit edit = r_dravscreen_console_edit(
        gts_screen.ts_line_console, key, gts_screen.ats_window_arr[WIN_KEYS].ts_area.i_cols);
    if (edit.b_consumed) {
      outcome.i_beeps += edit.b_beep ? 1 : 0;
      if (edit.b_send) {
        r_dravscreen_send_console_line();
      }
      r_dravscreen_mark(WIN_KEYS);
      key = KEY_VALUE_NONE;
      global_keys = false;
    }
  }
  if (global_keys && r_dravscreen_apply_global_key(key, outcome)) {
    key = KEY_VALUE_NONE;
  }
  if (!r_dravscreen_apply_region_command(key)) {
    ++outcome.i_beeps;
  }
  return outcome;
}

void r_dravscreen_show_dns_info(const char* hostnames) {
  if (hostnames == nullptr) {
    r_dravscreen_to_pane("  DNS:  -");
    return;
  }
  std::string_view rest = hostnames;
  const char* prefix = "  Host: ";
  while (true) {
    const std::size_t end = rest.find(';');
    r_dravscreen_to_pane(std::string(prefix) + std::string(rest.substr(0, end)));
    if (end == std::string_view::npos) {
      return;
    }
    rest.remove_prefix(end + 1);
    prefix = "        ";
  }
}

std::string r_dravscreen_format_line(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  // The call above measured the line, so this one writes all of it.
  (void)std::vsnprintf(line.data(), line.size() + 1, format, arguments);
  va_end(arguments);
  return line;
}

void r_dravscreen_to_pane(const std::string& line) {
  r_dravpane_add_text(line.c_str());
}

void r_dravscreen_set_active(te_window window) {
  gts_screen.te_active_window = window;
  r_dravscreen_mark_tags();
}

int r_dravscreen_page_of(te_window window) {
  return gts_screen.ats_window_arr[window].ts_area.i_lines;
}
