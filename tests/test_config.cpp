#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "config_support.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "support.h"

using drav_test::config_text;
using drav_test::fatal_stderr_pattern;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { r_dravlog_init_first(); }

  ts_config load(const std::string& text) {
    drav_test::write_file(path(), text);
    ts_config config;
    r_dravconfig_read_config(config, path().c_str());
    return config;
  }

  // Loads `text` in a child process and expects the fatal path with `message`.
  void expect_fatal(const std::string& text, const std::string& message) {
    drav_test::write_file(path(), text);
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "r", stdin);
          ts_config config;
          r_dravconfig_read_config(config, path().c_str());
        },
        ::testing::ExitedWithCode(1), fatal_stderr_pattern(message))
        << "for the file:\n"
        << text;
  }

  std::string path() const { return dir_.file("drav-logger.cfg"); }

  drav_test::TempDir dir_;
};

TEST_F(ConfigTest, LoadsEveryKeyInAnyOrderWithCommentsAndEmptyLines) {
  std::string text = config_text({{"net_server_rcon", "pass word "}, {"ping_kick", "250"}});
  // Reverse the lines and put comments and empty lines between them.
  std::string shuffled = "; drav-logger settings\n\n";
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t begin = text.rfind('\n', end - 2);
    begin = begin == std::string::npos ? 0 : begin + 1;
    shuffled += text.substr(begin, end - begin) + ";comment\n\n";
    end = begin;
  }
  const ts_config config = load(shuffled);
  EXPECT_STREQ(config.log_file, "drav-logger.log");
  EXPECT_STREQ(config.log_file_ip, "drav-logger-ip.txt");
  EXPECT_EQ(config.net_server_ip, 0x7F000001u);
  EXPECT_EQ(config.net_server_port, 27910);
  EXPECT_STREQ(config.net_server_rcon, "pass word ");
  EXPECT_EQ(config.net_response_timeout_1, 300);
  EXPECT_EQ(config.access_kicked_reject_timeout, 300);
  EXPECT_STREQ(config.access_list_file, "");
  EXPECT_STREQ(config.access_list_file_add, "access-add.txt");
  EXPECT_EQ(config.say_connect_block, 2);
  EXPECT_EQ(config.poll_interval_dumpuser, 4);
  EXPECT_EQ(config.ping_kick, 250);
  EXPECT_EQ(config.player_color, 7);
}

TEST_F(ConfigTest, ValuesAreTakenByteForByte) {
  struct Case {
    std::string key;
    std::string value;
    std::string expected_text;  // for text keys
    std::int64_t expected_number;
  };
  const Case cases[] = {
      {"ping_kick", "120ms", "", 120},
      {"ping_kick", "abc", "", 0},
      {"ping_kick", "  -7", "", -7},
      {"ping_kick", "+15", "", 15},
      {"ping_kick", "99999999999", "", INT32_MAX},
      {"ping_kick", "-99999999999", "", INT32_MIN},
      {"log_file", "", "", 0},
      {"log_file", " spaced name.log ", " spaced name.log ", 0},
      {"log_file", std::string(600, 'x'), std::string(512, 'x'), 0},
  };
  for (const Case& c : cases) {
    const ts_config config = load(config_text({{c.key, c.value}}));
    if (c.key == "ping_kick") {
      EXPECT_EQ(config.ping_kick, c.expected_number) << c.value;
    } else {
      EXPECT_EQ(std::string(config.log_file), c.expected_text) << c.value;
    }
  }
}

TEST_F(ConfigTest, LoneCarriageReturnOnTheLastLineStaysInTheValue) {
  const ts_config config = load(config_text({{"log_file", "<omit>"}}) + "log_file=value\r");
  EXPECT_STREQ(config.log_file, "value\r");
}

TEST_F(ConfigTest, ServerAddressThatIsNoDottedAddressGivesZero) {
  EXPECT_EQ(load(config_text({{"net_server_ip", "game.example.org"}})).net_server_ip, 0u);
  EXPECT_EQ(load(config_text({{"net_server_ip", "192.0.2.7"}})).net_server_ip, 0xC0000207u);
}

TEST_F(ConfigTest, LastOccurrenceOfAKeyWinsAndCrLfLoadsLikeLf) {
  std::string text = config_text() + "ping_kick=42\n";
  std::string crlf;
  for (char c : text) {
    if (c == '\n') {
      crlf += '\r';
    }
    crlf += c;
  }
  const ts_config config = load(crlf);
  EXPECT_EQ(config.ping_kick, 42);
  EXPECT_STREQ(config.log_file, "drav-logger.log");
}

TEST_F(ConfigTest, BadFilesStopWithTheExactMessage) {
  using Case = std::pair<std::string, std::string>;
  const Case cases[] = {
      {config_text({{"player_color", "<omit>"}}),
       "./src/drav_config - Not all variables found (23): player_color=\n"},
      {config_text({{"say_init", "<omit>"}, {"ping_kick", "<omit>"}}),
       "./src/drav_config - Not all variables found (13): say_init=\n"},
      {config_text({{"log_file", "<omit>"}}),
       "./src/drav_config - Not all variables found (0): log_file=\n"},
      {config_text() + " log_file=x\n",
       "./src/drav_config - Unknown config parameter:  log_file=x\n"},
      {config_text() + "LOG_FILE=x\n",
       "./src/drav_config - Unknown config parameter: LOG_FILE=x\n"},
      {config_text() + "log_file =x\n",
       "./src/drav_config - Unknown config parameter: log_file =x\n"},
      {config_text() + "# comment\r\n",
       "./src/drav_config - Unknown config parameter: # comment\n"},
      {"", "./src/drav_config - Not all variables found (0): log_file=\n"},
  };
  for (const auto& [text, message] : cases) {
    expect_fatal(text, message);
  }
}

TEST_F(ConfigTest, LongLineIsReadInPiecesOfAtMost2047Bytes) {
  // The second piece of a 2100-byte line starts with "x" and is no key.
  const std::string line = "log_file=" + std::string(2038, 'a') + "xyz" + std::string(50, 'b');
  expect_fatal(config_text() + line + "\n",
               "./src/drav_config - Unknown config parameter: xyz" + std::string(50, 'b') + "\n");
}

TEST_F(ConfigTest, MissingFileStops) {
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        ts_config config;
        r_dravconfig_read_config(config, dir_.file("absent.cfg").c_str());
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_config - Config file not found\n"));
}

}  // namespace
