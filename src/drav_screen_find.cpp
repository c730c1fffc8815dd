// Finding players in the IP list: the find line that moves the list's selection as the
// operator types, n and N for the next and previous match, and the aliases block of an
// address (the other names and addresses of a player). Acts on records only.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_screen_internal.h"

namespace {

// Each part of the aliases block shows at most this many lines, then how many more there are:
// a shared name such as "Player" can bring hundreds of addresses into the pane.
constexpr std::size_t ALIASES_SHOWN_MAX = 20;
// The day of an entry from an undated history line.
constexpr const char* ALIASES_UNDATED_DAY = "----------";

std::optional<ts_listip_query> r_dravscreen_parse_query(const std::string& text) {
  std::string error;  // a bad query finds nothing, which the line shows in red
  return r_dravlistip_parse_query(text, error);
}

// Selects entry `index` of the IP list and scrolls the list as little as shows it.
void r_dravscreen_select_ip(std::int32_t index) {
  ts_cursor& cursor = gts_screen.ts_cursor_ip;
  cursor.i_current = index;
  const int count = static_cast<int>(r_dravlistip_get_list().size());
  // The first row of the list is its heading. No key: this only brings the cursor into view.
  (void)r_dravscreen_key_navigate(KEY_VALUE_NONE, count, r_dravscreen_page_of(WIN_IP) - 1, cursor);
  r_dravscreen_mark(WIN_IP);
}

// The selection follows the text: the first match at or after where it was when the line
// opened. An empty line goes back there; a text that finds nothing leaves the selection.
void r_dravscreen_find_as_typed() {
  ts_find_line& find = gts_screen.ts_line_find;
  find.b_no_match = false;
  if (find.ts_line.i_length == 0) {
    gts_screen.ts_cursor_ip = find.ts_cursor_before;
    r_dravscreen_mark(WIN_IP);
    return;
  }
  const auto query = r_dravscreen_parse_query(find.ts_line.ac_text);
  const std::int32_t found =
      query ? r_dravlistip_find(*query, find.ts_cursor_before.i_current, 1) : -1;
  if (found < 0) {
    find.b_no_match = true;
  } else {
    r_dravscreen_select_ip(found);
  }
}

// Characters of the find line shown after its prompt.
int r_dravscreen_find_width() {
  return std::max(
      1, gts_screen.ats_window_arr[WIN_KEYS].ts_area.i_cols - static_cast<int>(FIND_PROMPT.size()));
}

void r_dravscreen_close_find() {
  gts_screen.ts_line_find.b_open = false;
  gts_screen.ts_line_find.b_no_match = false;
  r_dravscreen_mark(WIN_KEYS);
  r_dravscreen_mark(WIN_IP);
}

std::string r_dravscreen_alias_day(const ts_listip_data& entry) {
  if (entry.year == 0) {
    return ALIASES_UNDATED_DAY;
  }
  return r_dravscreen_format_line("%04d-%02d-%02d", entry.year, entry.month, entry.day);
}

std::string r_dravscreen_alias_name_line(const ts_listip_data& entry) {
  return r_dravscreen_format_line("    %s  %s", r_dravscreen_alias_day(entry).c_str(),
                                  r_dravlistip_seen_name(entry));
}

// The mark comes before the name, whose colour codes would colour anything after it.
std::string r_dravscreen_alias_address_line(const ts_listip_data& entry) {
  return r_dravscreen_format_line(
      "    %-15s  %s  level %d%s  %s", r_dravip_ip_to_text(entry.ip).c_str(),
      r_dravscreen_alias_day(entry).c_str(), entry.access_level,
      entry.access_level == 0 ? " banned" : "", r_dravlistip_seen_name(entry));
}

void r_dravscreen_show_alias_part(const std::vector<ts_listip_data>& entries,
                                  std::string (*line_of)(const ts_listip_data&)) {
  if (entries.empty()) {
    r_dravscreen_to_pane("    none");
    return;
  }
  const std::size_t shown = std::min(entries.size(), ALIASES_SHOWN_MAX);
  for (std::size_t index = 0; index < shown; ++index) {
    r_dravscreen_to_pane(line_of(entries[index]));
  }
  if (entries.size() > shown) {
    r_dravscreen_to_pane(r_dravscreen_format_line("    ... and %zu more", entries.size() - shown));
  }
}

}  // namespace

void r_dravscreen_open_find() {
  r_dravscreen_set_active(WIN_IP);
  ts_find_line& find = gts_screen.ts_line_find;
  find.b_open = true;
  find.b_no_match = false;
  find.ts_line = {};
  find.ts_line.i_width = r_dravscreen_find_width();
  // Escape goes back to a selection inside the list, also after a locate left it outside.
  const int count = static_cast<int>(r_dravlistip_get_list().size());
  (void)r_dravscreen_key_navigate(KEY_VALUE_NONE, count, r_dravscreen_page_of(WIN_IP) - 1,
                                  gts_screen.ts_cursor_ip);
  find.ts_cursor_before = gts_screen.ts_cursor_ip;
  r_dravscreen_mark(WIN_IP);
  r_dravscreen_mark(WIN_KEYS);
}

int r_dravscreen_apply_find_key(int key) {
  ts_find_line& find = gts_screen.ts_line_find;
  switch (key) {
    case KEY_VALUE_ESCAPE:
      gts_screen.ts_cursor_ip = find.ts_cursor_before;
      r_dravscreen_close_find();
      return 0;
    case KEY_VALUE_ENTER:
    case KEY_VALUE_LINE_FEED:
    case KEY_VALUE_RETURN:
      find.pc_last_query = find.ts_line.ac_text;
      r_dravscreen_close_find();
      return 0;
    default:
      break;
  }
  const std::string before = find.ts_line.ac_text;
  const ts_console_edit edit =
      r_dravscreen_console_edit(find.ts_line, key, r_dravscreen_find_width());
  // The find line takes every key: those that do not edit it do nothing.
  if (!edit.b_consumed) {
    return 0;
  }
  if (before != find.ts_line.ac_text) {
    r_dravscreen_find_as_typed();
  }
  r_dravscreen_mark(WIN_KEYS);
  return edit.b_beep ? 1 : 0;
}

bool r_dravscreen_find_again(std::int32_t step) {
  const auto query = r_dravscreen_parse_query(gts_screen.ts_line_find.pc_last_query);
  if (!query) {
    return false;
  }
  const std::int32_t found =
      r_dravlistip_find(*query, gts_screen.ts_cursor_ip.i_current + step, step);
  if (found < 0) {
    return false;
  }
  r_dravscreen_select_ip(found);
  return true;
}

void r_dravscreen_show_aliases(std::uint64_t ip) {
  const ts_listip_aliases aliases = r_dravlistip_aliases(ip);
  r_dravscreen_to_pane(r_dravscreen_format_line("Aliases of %s:", r_dravip_ip_to_text(ip).c_str()));
  r_dravscreen_to_pane("  Names:");
  r_dravscreen_show_alias_part(aliases.ats_names, r_dravscreen_alias_name_line);
  r_dravscreen_to_pane("  Other addresses:");
  r_dravscreen_show_alias_part(aliases.ats_addresses, r_dravscreen_alias_address_line);
}

bool r_dravscreen_find_open() {
  return gts_screen.ts_line_find.b_open;
}

const ts_console_line& r_dravscreen_find_line() {
  return gts_screen.ts_line_find.ts_line;
}

bool r_dravscreen_find_no_match() {
  return gts_screen.ts_line_find.b_no_match;
}
