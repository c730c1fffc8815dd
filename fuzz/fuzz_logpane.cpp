// The log pane's line splitting: a text becomes one pane line per line feed, plus its rest when
// that is not empty (or the text is empty); the newest lines joined with line feeds give back
// the text, and the pane keeps at most its 1000 newest lines.
#include <algorithm>
#include <string>
#include <string_view>

#include "drav_screen.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string_view text(bytes.c_str());
  const int before = r_dravscreen_log_line_count();
  r_dravscreen_add_log_line(bytes.c_str());
  const int lines =
      static_cast<int>(std::count(text.begin(), text.end(), '\n')) + (text.ends_with('\n') ? 0 : 1);
  const int count = r_dravscreen_log_line_count();
  FUZZ_CHECK(count == std::min(before + lines, LOG_LINES_MAX) &&
             r_dravscreen_log_cursor().current == count - 1);
  std::string joined;
  for (int i = count - std::min(lines, count); i < count; ++i) {
    FUZZ_CHECK(r_dravscreen_log_line(i).find('\n') == std::string::npos);
    joined += r_dravscreen_log_line(i) + "\n";
  }
  const std::string expected = text.ends_with('\n') ? std::string(text) : std::string(text) + "\n";
  FUZZ_CHECK(lines <= count ? joined == expected : expected.ends_with(joined));
  return 0;
}
