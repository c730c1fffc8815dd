// The configuration reader on any file loads or stops with its own message (values: config test).
#include <string_view>

#include "drav_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = drav_fuzz::scratch("drav-logger.cfg");
  drav_test::write_file(path, std::string_view(reinterpret_cast<const char*>(data), size));
  ts_config config;
  try {
    r_dravconfig_read_config(config, path.c_str());
  } catch (const drav_fuzz::Fatal& fatal) {
    FUZZ_CHECK(fatal.message.starts_with("./src/drav_config - Unknown config parameter: ") ||
               fatal.message.starts_with("./src/drav_config - Not all variables found ("));
  }
  return 0;
}
