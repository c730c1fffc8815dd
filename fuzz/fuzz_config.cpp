// The configuration reader on any file: it loads, or stops with one of its own messages; a
// loaded record holds the last value of each key, texts cut at 512 bytes, numbers saturated.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "drav_config.h"
#include "drav_ip.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const drav_fuzz::Scratch file("drav-logger.cfg");
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  drav_fuzz::write_file(file.path, bytes);
  ts_config config;
  try {
    r_dravconfig_read_config(config, file.path.c_str());
  } catch (const drav_fuzz::Fatal& fatal) {
    FUZZ_CHECK(fatal.message.starts_with("./src/drav_config - Unknown config parameter: ") ||
               fatal.message.starts_with("./src/drav_config - Not all variables found ("));
    return 0;
  }
  std::string rcon, ping, address;
  for (const std::string& line : drav_fuzz::file_lines(bytes)) {
    for (auto [key, value] : {std::pair{"net_server_rcon=", &rcon}, std::pair{"ping_kick=", &ping},
                              std::pair{"net_server_ip=", &address}}) {
      if (line.starts_with(key))
        *value = line.substr(std::string_view(key).size(), TEXT_FIELD_MAX);
    }
  }
  FUZZ_CHECK(rcon == config.net_server_rcon);
  FUZZ_CHECK(config.ping_kick ==
             std::clamp<long>(std::strtol(ping.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
  FUZZ_CHECK(config.net_server_ip == r_dravip_string_to_ip(address.c_str()));
  return 0;
}
