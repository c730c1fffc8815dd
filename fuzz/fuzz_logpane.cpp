// The log pane on any text, under the sanitizers: it takes every byte and stays within its bound.
// Its line splitting is checked on exact texts by the log test, its bound by the screen test.
#include <string>

#include "drav_screen.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  r_dravscreen_add_log_line(text.c_str());
  FUZZ_CHECK(r_dravscreen_log_line_count() <= LOG_LINES_MAX &&
             r_dravscreen_log_cursor().current == r_dravscreen_log_line_count() - 1);
  return 0;
}
