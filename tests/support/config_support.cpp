#include "config_support.h"

#include <array>
#include <utility>

namespace drav_test {

std::string config_text(const std::map<std::string, std::string>& overrides) {
  static const std::array<std::pair<const char*, const char*>, 24> defaults = {{
      {"log_file", "drav-logger.log"},
      {"log_file_ip", "drav-logger-ip.txt"},
      {"net_server_ip", "127.0.0.1"},
      {"net_server_port", "27910"},
      {"net_server_rcon", "secret"},
      {"net_client_port", "0"},
      {"net_response_timeout_1", "300"},
      {"net_response_timeout_next", "0"},
      {"access_level", "1"},
      {"access_reconnect_timeout", "60"},
      {"access_kicked_reject_timeout", "300"},
      {"access_list_file", ""},
      {"access_list_file_add", "access-add.txt"},
      {"say_init", "0"},
      {"say_connect_incoming", "1"},
      {"say_connect_block", "2"},
      {"say_connect_reject_kicked", "1"},
      {"say_connect_cancel", "1"},
      {"poll_interval_status", "1"},
      {"poll_interval_dumpuser", "4"},
      {"poll_interval_serverinfo", "60"},
      {"ping_kick", "500"},
      {"console_color", "2"},
      {"player_color", "7"},
  }};
  std::string text;
  for (const auto& [key, value] : defaults) {
    const auto replaced = overrides.find(key);
    if (replaced == overrides.end()) {
      text += std::string(key) + "=" + value + "\n";
    } else if (replaced->second != "<omit>") {
      text += std::string(key) + "=" + replaced->second + "\n";
    }
  }
  return text;
}

}  // namespace drav_test
