// The configuration reader: every key lands in its own field whatever the order, with
// comments, empty lines, CR LF line ends and repeated keys. The fuzz target checks values
// against the file, and the program tests check the exact messages of bad files.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config_support.h"
#include "drav_config.h"
#include "drav_log.h"
#include "support.h"

namespace {

// The integer fields in the order of their keys in the file.
constexpr std::int32_t ts_config::*INTEGERS[] = {&ts_config::net_server_port,
                                                 &ts_config::net_client_port,
                                                 &ts_config::net_response_timeout_1,
                                                 &ts_config::net_response_timeout_next,
                                                 &ts_config::access_level,
                                                 &ts_config::access_reconnect_timeout,
                                                 &ts_config::access_kicked_reject_timeout,
                                                 &ts_config::say_init,
                                                 &ts_config::say_connect_incoming,
                                                 &ts_config::say_connect_block,
                                                 &ts_config::say_connect_reject_kicked,
                                                 &ts_config::say_connect_cancel,
                                                 &ts_config::poll_interval_status,
                                                 &ts_config::poll_interval_dumpuser,
                                                 &ts_config::poll_interval_serverinfo,
                                                 &ts_config::ping_kick,
                                                 &ts_config::console_color,
                                                 &ts_config::player_color};

TEST(ConfigTest, EveryKeyLandsInItsFieldInAnyOrder) {
  r_dravlog_init_first();
  const std::map<std::string, std::string> texts = {
      {"log_file", "a.log"},          {"log_file_ip", "b.txt"},
      {"net_server_ip", "192.0.2.7"}, {"net_server_rcon", "pass word "},
      {"access_list_file", "c.txt"},  {"access_list_file_add", "d.txt"}};
  // The lines in reverse order with CR LF ends, comments and empty lines between them; the
  // integer keys get 101, 102, ... in file order. A repeated key's last value counts.
  std::istringstream in(drav_test::config_text(texts));
  std::vector<std::string> lines;
  int number = 101;
  for (std::string line; std::getline(in, line);) {
    const std::string key = line.substr(0, line.find('='));
    lines.insert(lines.begin(), texts.contains(key) ? line : key + "=" + std::to_string(number++));
  }
  std::string file = "; drav-logger settings\r\n\r\n";
  for (const std::string& line : lines)
    file += line + "\r\n;comment\r\n\r\n";
  const drav_test::TempDir dir;
  drav_test::write_file(dir.file("drav-logger.cfg"), file + "ping_kick=42\r\n");
  ts_config c;
  r_dravconfig_read_config(c, dir.file("drav-logger.cfg").c_str());
  EXPECT_EQ(std::string(c.log_file) + "|" + c.log_file_ip + "|" + c.net_server_rcon + "|" +
                c.access_list_file + "|" + c.access_list_file_add,
            "a.log|b.txt|pass word |c.txt|d.txt");
  EXPECT_EQ(c.net_server_ip, 0xC0000207u);
  for (int i = 0; i < 18; ++i)
    EXPECT_EQ(c.*INTEGERS[i], i == 15 ? 42 : 101 + i) << i;
}

}  // namespace
