// The log pane takes any text within its bound (splitting: the log test, bound: the screen test).
#include <string>

#include "drav_config.h"
#include "drav_pane.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The screen, once attached, follows every added text to the pane's newest line.
  static ts_config config;
  static ts_status status;
  [[maybe_unused]] static const bool attached = (r_dravscreen_attach(config, status), true);
  const std::string text(reinterpret_cast<const char*>(data), size);
  r_dravpane_add_text(text.c_str());
  FUZZ_CHECK(r_dravpane_line_count() <= LOG_LINES_MAX &&
             r_dravscreen_log_cursor().i_current == r_dravpane_line_count() - 1);
  return 0;
}
