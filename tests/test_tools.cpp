// Text cleaning, time stamps and the configuration reader (its messages: the program tests).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "drav_config.h"
#include "drav_log.h"
#include "drav_tools.h"
#include "support.h"

namespace {

TEST(ToolsTest, CleaningDropsOrReplacesExactlyItsBytes) {
  // Colour codes are 0x01..0x1F but the line feed; also the console's quoting characters (copy
  // versus in place: the fuzz target).
  const std::string text = "a\x01\t\n\r\x1F \"#$'\x7F\x80\xFF";
  const std::pair<void (*)(char*, const char*), std::string> cleanings[] = {
      {r_dravtools_remove_colors, "a\n \"#$'\x7F\x80\xFF"},
      {r_dravtools_remove_colors_char, "a\n \"#$'\x7F\x80\xFF"},
      {r_dravtools_remove_namehack_char, "a\x01\t\n\x1F \"#$'\x7F\x80\xFF"}};
  for (const auto& [clean, kept] : cleanings) {
    std::string in_place = text;
    clean(in_place.data(), in_place.data());
    EXPECT_EQ(in_place.c_str(), kept);
  }
  std::string console = text;
  r_dravtools_remove_invalid_console_chars(console.data());
  EXPECT_EQ(console.c_str(), std::string("a\x01\t\n\x1F \x97  \x95\x7F\x80\xFF"));
  // One line feed goes, and a carriage return only before it.
  const std::pair<std::string, std::string> lines[] = {
      {"a\r\r\n", "a\r"}, {"a\n\n", "a\n"}, {"a\r", "a\r"}, {"\n", ""}, {"", ""}};
  for (const auto& [line, kept] : lines) {
    std::string buffer = line;
    EXPECT_EQ(r_dravtools_remove_eol(buffer.data()), kept.size()) << line;
    EXPECT_EQ(buffer.c_str(), kept);
  }
  // A text field is NUL after its text to its end (the cut at 512 bytes: the configuration test).
  char field[TEXT_FIELD_SIZE];
  std::memset(field, 'x', sizeof field);
  EXPECT_EQ(std::string(r_dravtools_varcpy(field, "ab"), sizeof field),
            "ab" + std::string(511, '\0'));
}

TEST(ToolsTest, GettimeGivesLocalTimeStamp) {
  setenv("TZ", "UTC", 1);
  tzset();
  // A time whose year has more than four digits, or none at all, has no date to write.
  const std::pair<std::time_t, const char*> stamps[] = {
      {253402300799, "9999-12-31 23:59:59"},
      {253402300800, "0000-00-00 00:00:00"},
      {std::numeric_limits<std::time_t>::max(), "0000-00-00 00:00:00"}};
  for (const auto& [when, stamp] : stamps) {
    EXPECT_STREQ(r_dravtools_gettime(when), stamp);
    std::tm local{};
    EXPECT_EQ(r_dravtools_local_time(when, local), stamp[0] != '0') << stamp;
  }
  // 0 means now: a stamp from the seconds before and after the call, however long it takes.
  const std::string before = r_dravtools_gettime(std::time(nullptr)), now = r_dravtools_gettime(0);
  EXPECT_TRUE(before <= now && now <= r_dravtools_gettime(std::time(nullptr))) << now;
}

TEST(ConfigTest, EveryKeyLandsInItsFieldInAnyOrder) {
  r_dravlog_init_first();
  const std::map<std::string, std::string> texts = {
      {"log_file", "a.log"},          {"log_file_ip", "b.txt"},
      {"net_server_ip", "192.0.2.7"}, {"net_server_rcon", "pass word " + std::string(600, 'r')},
      {"access_list_file", "c.txt"},  {"access_list_file_add", "d.txt"}};
  // Reversed lines with CR LF ends, comments and empty lines between; integer keys get 101, 102,
  // ... in file order. A repeated key's last value counts; numbers saturate, texts cut at 512.
  std::istringstream in(drav_test::config_text(texts));
  std::string file;
  int number = 101;
  for (std::string line; std::getline(in, line);) {
    const std::string key = line.substr(0, line.find('='));
    const std::string setting = texts.contains(key) ? line : key + "=" + std::to_string(number++);
    file = setting + "\r\n;comment\r\n\r\n" + file;
  }
  const drav_test::TempDir dir;
  drav_test::write_file(dir.file("drav-logger.cfg"),
                        "; drav-logger settings\r\n\r\n" + file +
                            "ping_kick=99999999999\r\nplayer_color=-99999999999\r\n"
                            "event_file=e.json\r\n");
  ts_config c;
  r_dravconfig_read_config(c, dir.file("drav-logger.cfg").c_str());
  EXPECT_EQ(
      std::string(c.log_file) + "|" + c.log_file_ip + "|" + c.net_server_rcon + "|" +
          c.access_list_file + "|" + c.access_list_file_add + "|" + c.event_file,
      "a.log|b.txt|" + ("pass word " + std::string(600, 'r')).substr(0, 512) +
          "|c.txt|d.txt|e.json");
  EXPECT_EQ(c.net_server_ip, 0xC0000207u);
  // The integer fields in the order of their keys in the file.
  EXPECT_EQ(std::vector<std::int32_t>(
                {c.net_server_port, c.net_client_port, c.net_response_timeout_1,
                 c.net_response_timeout_next, c.access_level, c.access_reconnect_timeout,
                 c.access_kicked_reject_timeout, c.say_init, c.say_connect_incoming,
                 c.say_connect_block, c.say_connect_reject_kicked, c.say_connect_cancel,
                 c.poll_interval_status, c.poll_interval_dumpuser, c.poll_interval_serverinfo,
                 c.ping_kick, c.console_color, c.player_color}),
            std::vector<std::int32_t>({101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
                                       113, 114, 115, INT32_MAX, 117, INT32_MIN}));
}

}  // namespace
