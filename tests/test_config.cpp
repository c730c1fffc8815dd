// The configuration reader: every key lands in its own field whatever the order, with
// comments, empty lines, CR LF line ends and repeated keys. The fuzz target checks values
// against the file, and the program tests check the exact messages of bad files.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "config_support.h"
#include "drav_config.h"
#include "drav_log.h"
#include "support.h"

namespace {

TEST(ConfigTest, EveryKeyLandsInItsFieldInAnyOrder) {
  r_dravlog_init_first();
  // The integer keys in the order of their fields in ts_config.
  std::istringstream names(
      "net_server_port net_client_port net_response_timeout_1 net_response_timeout_next "
      "access_level access_reconnect_timeout access_kicked_reject_timeout say_init "
      "say_connect_incoming say_connect_block say_connect_reject_kicked say_connect_cancel "
      "poll_interval_status poll_interval_dumpuser poll_interval_serverinfo ping_kick "
      "console_color player_color");
  const std::vector<std::string> integers{std::istream_iterator<std::string>(names), {}};
  ASSERT_EQ(integers.size(), 18u);
  std::map<std::string, std::string> values = {
      {"log_file", "a.log"},          {"log_file_ip", "b.txt"},
      {"net_server_ip", "192.0.2.7"}, {"net_server_rcon", "pass word "},
      {"access_list_file", "c.txt"},  {"access_list_file_add", "d.txt"}};
  for (int i = 0; i < 18; ++i)
    values[integers[i]] = std::to_string(101 + i);
  const std::string text = drav_test::config_text(values);
  // Reverse the lines with CR LF ends, comments and empty lines between them, then repeat
  // one key: its last value counts.
  std::string shuffled = "; drav-logger settings\r\n\r\n";
  for (std::size_t end = text.size(); end > 0;) {
    std::size_t begin = text.rfind('\n', end - 2);
    begin = begin == std::string::npos ? 0 : begin + 1;
    shuffled += text.substr(begin, end - begin - 1) + "\r\n;comment\r\n\r\n";
    end = begin;
  }
  const drav_test::TempDir dir;
  drav_test::write_file(dir.file("drav-logger.cfg"), shuffled + "ping_kick=42\r\n");
  ts_config c;
  r_dravconfig_read_config(c, dir.file("drav-logger.cfg").c_str());
  EXPECT_EQ(std::string(c.log_file) + "|" + c.log_file_ip + "|" + c.net_server_rcon + "|" +
                c.access_list_file + "|" + c.access_list_file_add,
            "a.log|b.txt|pass word |c.txt|d.txt");
  EXPECT_EQ(c.net_server_ip, 0xC0000207u);
  const std::int32_t numbers[] = {c.net_server_port,
                                  c.net_client_port,
                                  c.net_response_timeout_1,
                                  c.net_response_timeout_next,
                                  c.access_level,
                                  c.access_reconnect_timeout,
                                  c.access_kicked_reject_timeout,
                                  c.say_init,
                                  c.say_connect_incoming,
                                  c.say_connect_block,
                                  c.say_connect_reject_kicked,
                                  c.say_connect_cancel,
                                  c.poll_interval_status,
                                  c.poll_interval_dumpuser,
                                  c.poll_interval_serverinfo,
                                  c.ping_kick,
                                  c.console_color,
                                  c.player_color};
  for (int i = 0; i < 18; ++i)
    EXPECT_EQ(numbers[i], i == 15 ? 42 : 101 + i) << integers[i];
}

}  // namespace
