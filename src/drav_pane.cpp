#include "drav_pane.h"

#include <deque>
#include <string_view>

namespace {

std::deque<std::string> gapc_log_lines_data;
ts_pane_added_function gpf_added = nullptr;

void r_dravpane_append_line(std::string_view line) {
  if (gapc_log_lines_data.size() >= static_cast<std::size_t>(LOG_LINES_MAX)) {
    gapc_log_lines_data.pop_front();
  }
  gapc_log_lines_data.emplace_back(line);
}

}  // namespace

void r_dravpane_add_text(const char* text) {
  std::string_view rest = text;
  // Every piece before a line feed is a line; what follows the last line feed is a line
  // only when it is not empty, and a text without any line feed is one line, even empty.
  bool had_line_feed = false;
  for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
    r_dravpane_append_line(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    had_line_feed = true;
  }
  if (!rest.empty() || !had_line_feed) {
    r_dravpane_append_line(rest);
  }
  if (gpf_added != nullptr) {
    gpf_added();
  }
}

int r_dravpane_line_count() {
  return static_cast<int>(gapc_log_lines_data.size());
}

const std::string& r_dravpane_line(int index) {
  return gapc_log_lines_data.at(static_cast<std::size_t>(index));
}

void r_dravpane_clear() {
  gapc_log_lines_data.clear();
}

void r_dravpane_set_added_function(ts_pane_added_function added) {
  gpf_added = added;
}
