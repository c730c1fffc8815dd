#include "config_support.h"

#include <sstream>

namespace drav_test {

std::string config_text(const std::map<std::string, std::string>& overrides) {
  // The 24 keys in file order, each with a working value.
  std::istringstream defaults(
      "log_file=drav-logger.log\nlog_file_ip=drav-logger-ip.txt\nnet_server_ip=127.0.0.1\n"
      "net_server_port=27910\nnet_server_rcon=secret\nnet_client_port=0\n"
      "net_response_timeout_1=300\nnet_response_timeout_next=0\naccess_level=1\n"
      "access_reconnect_timeout=60\naccess_kicked_reject_timeout=300\naccess_list_file=\n"
      "access_list_file_add=access-add.txt\nsay_init=0\nsay_connect_incoming=1\n"
      "say_connect_block=2\nsay_connect_reject_kicked=1\nsay_connect_cancel=1\n"
      "poll_interval_status=1\npoll_interval_dumpuser=4\npoll_interval_serverinfo=60\n"
      "ping_kick=500\nconsole_color=2\nplayer_color=7\n");
  std::string text, line;
  while (std::getline(defaults, line)) {
    const std::string key = line.substr(0, line.find('='));
    const auto replaced = overrides.find(key);
    if (replaced == overrides.end())
      text += line + "\n";
    else if (replaced->second != "<omit>")
      text += key + "=" + replaced->second + "\n";
  }
  return text;
}

}  // namespace drav_test
