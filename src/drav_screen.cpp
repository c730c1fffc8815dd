#include "drav_screen.h"

#include <deque>
#include <string_view>

namespace {

// The log pane's lines, oldest first; each holds the bytes of its text unchanged,
// colour codes and game characters included.
std::deque<std::string> gapc_log_lines_data;
ts_cursor ts_cursor_log;
ts_cursor ts_cursor_ip;

void append_pane_line(std::string_view line) {
  if (gapc_log_lines_data.size() >= static_cast<std::size_t>(LOG_LINES_MAX)) {
    gapc_log_lines_data.pop_front();
  }
  gapc_log_lines_data.emplace_back(line);
}

}  // namespace

void r_dravscreen_add_log_line(const char* text) {
  std::string_view rest = text;
  // Every piece before a line feed is a line; what follows the last line feed is a line
  // only when it is not empty, and a text without any line feed is one line, even empty.
  bool had_line_feed = false;
  for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
    append_pane_line(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    had_line_feed = true;
  }
  if (!rest.empty() || !had_line_feed) {
    append_pane_line(rest);
  }
  ts_cursor_log.current = static_cast<int>(gapc_log_lines_data.size()) - 1;
}

int r_dravscreen_log_line_count() {
  return static_cast<int>(gapc_log_lines_data.size());
}

const std::string& r_dravscreen_log_line(int index) {
  return gapc_log_lines_data.at(static_cast<std::size_t>(index));
}

ts_cursor r_dravscreen_log_cursor() {
  return ts_cursor_log;
}

void r_dravscreen_ip_inserted(int index) {
  if (ts_cursor_ip.current >= index) {
    ++ts_cursor_ip.current;
  }
}

ts_cursor r_dravscreen_ip_cursor() {
  return ts_cursor_ip;
}

void r_dravscreen_set_ip_cursor(ts_cursor cursor) {
  ts_cursor_ip = cursor;
}
