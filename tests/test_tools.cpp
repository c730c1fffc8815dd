// The game character texts, the time stamps and the in-game announcement. The text cleaning,
// the key-table tokeniser and the binary search are checked by their fuzz target's oracles.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <string>

#include "drav_config.h"
#include "drav_net.h"
#include "drav_say.h"
#include "drav_tools.h"
#include "sim_server.h"

namespace {

TEST(ToolsTest, CharacterTableHoldsOneWellFormedCharacterPerByte) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  for (unsigned byte = 0x7F; byte <= 0xFF; ++byte) {
    const char* text = gpac_drav_chars_utf8.at(byte - 0x7F);
    std::mbstate_t state{};
    char32_t code = 0;
    const std::size_t size = std::strlen(text);
    EXPECT_TRUE(size > 0 && std::mbrtoc32(&code, text, size, &state) == size) << std::hex << byte;
  }
  std::setlocale(LC_CTYPE, "C");
}

TEST(ToolsTest, GettimeGivesLocalTimeStamp) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-14 22:13:20");
  // 0 means now: the stamp of the current second, or of the next one at a boundary.
  const std::time_t before = std::time(nullptr);
  const std::string now = r_dravtools_gettime(0);
  EXPECT_TRUE(now == r_dravtools_gettime(before) || now == r_dravtools_gettime(before + 1)) << now;
  setenv("TZ", "XST-5", 1);
  tzset();
  EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-15 03:13:20");
}

TEST(ToolsTest, SayFramesConsoleSafeMessageInColour) {
  drav_sim::SimServer server{"secret"};
  ts_config config;
  config.net_server_ip = 0x7F000001;
  config.net_server_port = server.port();
  r_dravtools_varcpy(config.net_server_rcon, "secret");
  config.net_response_timeout_1 = 1000;
  config.net_response_timeout_next = 100;
  r_dravnet_init(config);
  r_dravtools_say(0x107, "%s joined with \"no %d\" #$'", "Bob\r", 5);
  const std::string text(600, 'a');
  r_dravtools_say(3, "%s", text.c_str());
  r_dravnet_finish();
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].command, "say \"-\r\x07*** Bob joined with \x97no 5\x97   \x95 \x07***\"");
  // The console cuts a command at 511 bytes.
  const std::string head = "say \"-\r\x03*** ";
  EXPECT_EQ(commands[1].command, head + std::string(511 - head.size(), 'a'));
}

}  // namespace
