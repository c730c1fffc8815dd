// Layer 4 (tracker, reports): calls layers 1 to 3.
// The reports of the command line. --check-config says what the files hold; --find prints
// what the IP history holds of an address, a network or a text, in columns. Both read the
// files as a start does but contact no server and write no file, so that they can run
// next to a monitor on the same files.
#include "drav_report.h"

#include <algorithm>
#include <cerrno>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"

namespace {

// --find reads the files as a start does, but through its own error path: a file that
// cannot be read ends it with status 2 and says which file and why, at once (a script or
// an operator at a shell runs it, with nobody to press a key).
struct ts_find_error {
  std::string pc_message;
};

// The modules' fatal errors, thrown back to the find; their text without the source path
// in front and the line feed at the end.
[[noreturn]] void r_dravreport_find_fatal(const char* message) {
  std::string_view text = message;
  if (const std::size_t dash = text.find(" - "); text.starts_with("./src/") && dash != text.npos) {
    text.remove_prefix(dash + 3);
  }
  while (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  // The find answers in one line: a message's added line of why follows after a colon.
  std::string line(text);
  for (std::size_t end = line.find('\n'); end != std::string::npos; end = line.find('\n', end)) {
    line.replace(end, 1, ": ");
  }
  throw ts_find_error{line};
}

// The readers do not say why they could not open a file, so the find opens it first to
// tell. It is only read: a monitor using it at the same time is not disturbed.
void r_dravreport_find_check(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    throw ts_find_error{std::string(path) + ": " + std::strerror(errno)};
  }
  (void)std::fclose(file);  // nothing was written, so the close has nothing to lose
}

// Runs one reader; its error names `path` unless the message already does.
void r_dravreport_find_read(const char* path, const std::invocable auto& read) {
  try {
    read();
  } catch (ts_find_error& error) {
    if (path != nullptr && error.pc_message.find(path) == std::string::npos) {
      error.pc_message = std::string(path) + ": " + error.pc_message;
    }
    throw;
  }
}

// The files of a start, read by the start's readers into `config`; the log file is left
// alone.
void r_dravreport_find_load(ts_config& config, const char* config_file) {
  r_dravreport_find_check(config_file);
  r_dravreport_find_read(config_file, [&] { r_dravconfig_read_config(config, config_file); });
  if (config.access_list_file[0] != '\0') {
    r_dravreport_find_check(config.access_list_file);
  }
  // The access list's messages name their file, which is one of two.
  r_dravreport_find_read(nullptr, [&] { r_dravaccess_init(config); });
  if (config.log_file_ip[0] == '\0') {
    throw ts_find_error{std::string(config_file) + ": log_file_ip names no file"};
  }
  r_dravreport_find_check(config.log_file_ip);
  // A monitor may be appending to the history: its unfinished last line is left out.
  r_dravreport_find_read(config.log_file_ip, [&] { r_dravlistip_init(config, LOAD_SHARED); });
}

// One printed entry: its columns as text, and the level.
struct ts_find_line {
  std::string pc_day;  // "YYYY-MM-DD", or dashes for an undated entry
  std::string pc_address;
  std::int32_t i_level = 0;
  std::string pc_name;
  std::string pc_hostnames;
};

// The entry's columns; the day column shows an undated entry with dashes.
ts_find_line r_dravreport_find_line(const ts_listip_data& entry) {
  ts_find_line line;
  if (entry.year == 0 && entry.month == 0 && entry.day == 0) {
    line.pc_day = "----------";
  } else {
    char day[48];
    // The fields are not checked when read, so a bad date may take more than ten columns.
    (void)std::snprintf(day, sizeof day, "%04d-%02d-%02d", static_cast<int>(entry.year),
                        static_cast<int>(entry.month), static_cast<int>(entry.day));
    line.pc_day = day;
  }
  line.pc_address = r_dravip_ip_to_text(entry.ip).c_str();
  line.i_level = entry.access_level;
  line.pc_name = r_dravtools_shown_text(r_dravlistip_seen_name(entry));
  line.pc_hostnames = entry.hostnames;
  return line;
}

// The matching entries, then for a text the other names seen on their addresses.
struct ts_find_result {
  std::vector<ts_find_line> ats_matches;
  std::vector<ts_find_line> ats_others;
};

// Every matching index in list order. The history's find skips most entries on their
// signatures and address ranges, far faster than matching each entry here.
std::vector<std::size_t> r_dravreport_find_indices(const ts_listip_query& query) {
  std::vector<std::size_t> indices;
  std::int32_t index = r_dravlistip_find(query, 0, 1);
  // The find wraps around: a hit at or before the last one means every entry was seen.
  while (index >= 0 && (indices.empty() || static_cast<std::size_t>(index) > indices.back())) {
    indices.push_back(static_cast<std::size_t>(index));
    index = r_dravlistip_find(query, index + 1, 1);
  }
  return indices;
}

// The names of `ip` not printed yet, each once and dated with the day it was first seen
// (an undated entry counts as the earliest, as its dashes sort).
void r_dravreport_find_others(std::uint64_t ip, const std::set<std::string>& printed,
                              ts_find_result& result) {
  const auto list = r_dravlistip_get_list();
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip, first, end);
  std::map<std::string, std::size_t> others;
  for (auto index = static_cast<std::size_t>(first); index < static_cast<std::size_t>(end);
       ++index) {
    ts_find_line line = r_dravreport_find_line(list[index]);
    if (printed.contains(line.pc_name)) {
      continue;
    }
    const auto [place, added] = others.emplace(line.pc_name, result.ats_others.size());
    if (added) {
      result.ats_others.push_back(std::move(line));
    } else if (line.pc_day < result.ats_others[place->second].pc_day) {
      result.ats_others[place->second] = std::move(line);
    }
  }
}

// Every address's entries are neighbours in the sorted list, and so are its matches.
ts_find_result r_dravreport_find_entries(const ts_listip_query& query) {
  ts_find_result result;
  const auto list = r_dravlistip_get_list();
  const std::vector<std::size_t> indices = r_dravreport_find_indices(query);
  for (std::size_t i = 0; i < indices.size();) {
    const std::uint64_t ip = list[indices[i]].ip;
    std::set<std::string> printed;
    for (; i < indices.size() && list[indices[i]].ip == ip; ++i) {
      result.ats_matches.push_back(r_dravreport_find_line(list[indices[i]]));
      printed.insert(result.ats_matches.back().pc_name);
    }
    if (query.te_kind == QUERY_TEXT) {
      r_dravreport_find_others(ip, printed, result);
    }
  }
  return result;
}

// Widths of the level and name columns, so that the columns line up in both parts.
struct ts_find_widths {
  std::size_t i_level = 0;
  std::size_t i_name = 0;
};

// Characters on the terminal: the shown names hold UTF-8, one column per character.
std::size_t r_dravreport_find_columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char c : text) {
    columns += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
  }
  return columns;
}

void r_dravreport_find_widen(ts_find_widths& widths, const std::vector<ts_find_line>& lines) {
  for (const ts_find_line& line : lines) {
    widths.i_level = std::max(widths.i_level, std::to_string(line.i_level).size());
    widths.i_name = std::max(widths.i_name, r_dravreport_find_columns(line.pc_name));
  }
}

// Day, address, level and name, two blanks apart, then the host names when there are any.
void r_dravreport_find_print(const std::vector<ts_find_line>& lines, const ts_find_widths& widths) {
  std::string text;
  for (const ts_find_line& line : lines) {
    const std::string level = std::to_string(line.i_level);
    text = line.pc_day + "  " + line.pc_address;
    text.append(15 - std::min<std::size_t>(line.pc_address.size(), 15) + 2, ' ');
    text.append(widths.i_level - level.size(), ' ');
    text += level + "  " + line.pc_name;
    if (!line.pc_hostnames.empty()) {
      text.append(widths.i_name - r_dravreport_find_columns(line.pc_name) + 2, ' ');
      text += line.pc_hostnames;
    }
    text += '\n';
    // A failed write shows in the stream's error state, looked at once at the end.
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

// Prints what the query finds; the exit status.
int r_dravreport_find_answer(const ts_listip_query& query) {
  const ts_find_result result = r_dravreport_find_entries(query);
  ts_find_widths widths;
  r_dravreport_find_widen(widths, result.ats_matches);
  r_dravreport_find_widen(widths, result.ats_others);
  r_dravreport_find_print(result.ats_matches, widths);
  if (!result.ats_others.empty()) {
    (void)std::fputs("\nOther names on these addresses:\n", stdout);  // see the flush below
    r_dravreport_find_print(result.ats_others, widths);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    throw ts_find_error{std::string("standard output: ") + std::strerror(errno)};
  }
  return result.ats_matches.empty() ? 1 : 0;
}

}  // namespace

// A start's reading of the files, through the same readers, without its side effects: the
// log file is only checked for being openable (a start would create it), and no socket is
// opened, as a monitor already running in this folder holds the configured port. Errors
// are the start's own messages, without the wait for a key: this runs before a service's
// start or from a shell.
int r_dravreport_check_config(ts_config& config, const char* config_file) {
  r_dravlog_init_first();
  r_dravlog_set_wait_for_key(false);
  r_dravconfig_read_config(config, config_file);
  // A name that the resolver cannot answer for now may be right: the start waits for it.
  const bool resolved = r_dravconfig_resolve_server(config, false);
  r_dravlog_check_file(config.log_file);
  r_dravaccess_init(config);
  r_dravlistip_init(config);
  std::string server = r_dravip_ip_to_text(config.net_server_ip).c_str();
  if (!resolved) {
    server = std::string(config.net_server_ip_text) + " (not resolved yet)";
  } else if (server != config.net_server_ip_text) {
    server += std::string(" (") + config.net_server_ip_text + ")";
  }
  // The exit status tells what was checked; a summary that cannot be printed changes nothing.
  (void)std::printf(
      "%s: server %s port %u, %zu networks in the access lists, %zu IP history entries\n",
      config_file, server.c_str(),
      static_cast<unsigned>(static_cast<std::uint16_t>(config.net_server_port)),
      r_dravaccess_get_entry_count(), r_dravlistip_get_list().size());
  if (config.event_file[0] != '\0') {
    (void)std::printf("%s: events appended to %s\n", config_file, config.event_file);
  }
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravlog_finish();
  return 0;
}

int r_dravreport_find(ts_config& config, const char* config_file, std::string_view text) {
  std::string error;
  const std::optional<ts_listip_query> query = r_dravlistip_parse_query(text, error);
  if (!query) {
    (void)std::fprintf(stderr, "drav-logger: %s\n", error.c_str());  // the status tells it too
    return 2;
  }
  r_dravlog_init_first();
  r_dravlog_init("");  // no log stream: reading writes no log line, and standard output is ours
  r_dravlog_set_wait_for_key(false);
  r_dravlog_set_fatal_handler(r_dravreport_find_fatal);
  int status = 2;
  try {
    r_dravreport_find_load(config, config_file);
    status = r_dravreport_find_answer(*query);
  } catch (const ts_find_error& failure) {
    (void)std::fprintf(stderr, "drav-logger: %s\n", failure.pc_message.c_str());
  }
  r_dravlog_set_fatal_handler(nullptr);
  r_dravlistip_finish();
  r_dravaccess_finish();
  r_dravlog_finish();
  return status;
}
