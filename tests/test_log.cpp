#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "drav_tools.h"
#include "support.h"

using drav_test::fatal_stderr_pattern;
using drav_test::read_file;

namespace {

// Removes the leading "YYYY-MM-DD hh:mm:ss " of every line, failing when one lacks it.
std::string without_stamps(const std::string& text) {
  static const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
  std::string result;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(begin, end - begin);
    EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    result += line.size() >= 20 ? line.substr(20) : line;
    begin = end;
  }
  return result;
}

ts_status_line player_line(int number, const char* address, const char* name) {
  ts_status_line line;
  line.i_num = number;
  line.ts_address = r_dravip_string_to_ip_port(address);
  r_dravtools_varcpy(line.ac_name, name);
  return line;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.log_file, dir_.file("events.log").c_str());
    r_dravlog_init(config_);
  }
  void TearDown() override { r_dravlog_finish(); }

  std::string log_contents() const { return read_file(dir_.file("events.log")); }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(LogTest, PlayerEventsLineUpWhateverTheKind) {
  struct Case {
    te_log_kind kind;
    const char* expected;
  };
  const Case cases[] = {
      {LOG_CONNECT, "Client Connect    03 192.0.2.7       Red\n"},
      {LOG_DISCONNECT, "Client Disconnect 03 192.0.2.7       Red\n"},
      {LOG_CHANGE, "Client Change     03 192.0.2.7       Red\n"},
      {LOG_RECONNECT, "Client Reconnect  03 192.0.2.7       Red\n"},
      {LOG_BLOCK, "Client Block      03 192.0.2.7       Red\n"},
      {LOG_REJECT, "Client Reject     03 192.0.2.7       Red\n"},
      {LOG_ADMIN_KICK, "Client Admin kick 03 192.0.2.7       Red\n"},
      {LOG_ADMIN_BAN, "Client Admin ban  03 192.0.2.7       Red\n"},
      {static_cast<te_log_kind>(9), "Client            03 192.0.2.7       Red\n"},
  };
  std::string expected;
  for (const Case& c : cases) {
    r_dravlog_log_player(c.kind, player_line(3, "192.0.2.7:27901", "Red"));
    expected += c.expected;
  }
  r_dravlog_log_player(LOG_CONNECT, player_line(31, "255.255.255.255:1", "x"));
  expected += "Client Connect    31 255.255.255.255 x\n";
  r_dravlog_log_server("dm_canyon");
  expected += "Server Change     dm_canyon\n";
  r_dravlog_log("IP     Admin ban  %-15s\n", r_dravip_ip_to_text(0xC6336401).c_str());
  expected += "IP     Admin ban  198.51.100.1   \n";
  EXPECT_EQ(without_stamps(log_contents()), expected);
}

TEST_F(LogTest, FileGetsTextWithoutColourCodesAndPaneKeepsThem) {
  const int before = r_dravscreen_log_line_count();
  r_dravlog_log_player(LOG_CONNECT, player_line(0, "192.0.2.9:1",
                                                "\x02Red\x0D\x1F\x7F"
                                                "Dragon"));
  EXPECT_EQ(without_stamps(log_contents()),
            "Client Connect    00 192.0.2.9       Red\x7F"
            "Dragon\n");
  const std::size_t first_line_length = log_contents().size();
  r_dravlog_log("two\nlines\x03\n");
  EXPECT_EQ(log_contents().substr(first_line_length + 20), "two\nlines\n");
  ASSERT_EQ(r_dravscreen_log_line_count(), before + 3);
  EXPECT_EQ(r_dravscreen_log_line(before).substr(20),
            "Client Connect    00 192.0.2.9       \x02Red\x0D\x1F\x7F"
            "Dragon");
  EXPECT_EQ(r_dravscreen_log_line(before + 1).substr(20), "two");
  EXPECT_EQ(r_dravscreen_log_line(before + 2), "lines\x03");
}

TEST_F(LogTest, LinesStayWholeWhateverTheFileEndsWithOrTheTextsLength) {
  // A last line edited by hand without its line feed gets one before the next event.
  r_dravlog_finish();
  drav_test::write_file(dir_.file("events.log"), "edited by hand");
  r_dravlog_init(config_);
  r_dravlog_log("%s\n", std::string(5000, 'n').c_str());
  r_dravlog_log("%s", std::string(1100, 'm').c_str());
  r_dravlog_log_server("dm_next");
  const std::string contents = log_contents();
  ASSERT_TRUE(contents.starts_with("edited by hand\n"));
  // Texts too long for the 1024-byte line are cut before their line feed.
  EXPECT_EQ(without_stamps(contents.substr(15)), std::string(1002, 'n') + "\n" +
                                                     std::string(1002, 'm') + "\n" +
                                                     "Server Change     dm_next\n");
}

TEST_F(LogTest, FailingLogFileIsToldOnceUntilItWorkedAgainAndNeverStopsTheProgram) {
  const auto pane_and_error_stream = [](const std::function<void()>& body) {
    const int before = r_dravscreen_log_line_count();
    testing::internal::CaptureStderr();
    body();
    std::string pane;
    for (int i = before; i < r_dravscreen_log_line_count(); ++i) {
      pane += r_dravscreen_log_line(i).substr(20) + "\n";
    }
    return std::make_pair(pane, without_stamps(testing::internal::GetCapturedStderr()));
  };
  const std::string told = "Log    File " + dir_.file("events.log") +
                           " could not be written (File too large): events are missing from it\n";
  const auto log = [](const char* text) { r_dravlog_log_server(text); };
  struct Step {
    bool full, screen;
    std::string pane, error_stream;  // the events' own lines left out of the pane
  } steps[] = {
      {false, false, "", ""}, {true, false, told, told}, {true, false, "", ""},
      {false, false, "", ""}, {true, false, told, told}, {false, true, "", ""},
      {true, true, told, ""},
  };
  // A long first line leaves the limit room for what the test itself writes to files.
  r_dravlog_finish();
  const std::string padding = std::string(8000, 'p') + "\n";
  drav_test::write_file(dir_.file("events.log"), padding);
  r_dravlog_init_first();
  r_dravlog_init(config_);
  std::string written;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& step = steps[i];
    r_dravlog_set_screen_active(step.screen);
    const std::string map = "map" + std::to_string(i);
    const auto [pane, error_stream] = pane_and_error_stream([&] {
      std::optional<drav_test::FileSizeLimit> full;
      if (step.full) {
        // Room for a few bytes only: the write is cut short, then fails.
        full.emplace(log_contents().size() + 7);
      }
      log(map.c_str());
    });
    const std::string event = "Server Change     " + map + "\n";
    EXPECT_EQ(pane, event + step.pane) << i;
    EXPECT_EQ(error_stream, step.error_stream) << i;
    written += step.full ? "" : event;
    EXPECT_EQ(without_stamps(log_contents().substr(padding.size())), written) << i;
  }
  r_dravlog_set_screen_active(false);
}

TEST(LogWithoutFileTest, EmptyLogFileNameWritesOnlyToThePane) {
  drav_test::TempDir dir;
  r_dravlog_init_first();
  ts_config config;  // log_file empty
  r_dravlog_init(config);
  const int before = r_dravscreen_log_line_count();
  testing::internal::CaptureStdout();
  r_dravlog_log_server("dm_harbor");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(r_dravscreen_log_line_count(), before + 1);
  EXPECT_EQ(r_dravscreen_log_line(before).substr(19), " Server Change     dm_harbor");
  r_dravlog_finish();
}

TEST(LogFatalTest, ErrorWritesStampAndMessageThenExitsWithOne) {
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        r_dravlog_error("./src/drav_net - Unable to send %d\n", 7);
      },
      ::testing::ExitedWithCode(1), fatal_stderr_pattern("./src/drav_net - Unable to send 7\n"));
}

TEST(LogFatalTest, UnopenableLogFileIsFatal) {
  drav_test::TempDir dir;
  const std::string path = dir.file("missing-folder/events.log");
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlog_init_first();
        ts_config config;
        r_dravtools_varcpy(config.log_file, path.c_str());
        r_dravlog_init(config);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_log - File open error: " + path + "\n"));
}

}  // namespace
