// The log: exact lines in the file and the pane, a failing file, and the largest console reply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_event.h"
#include "drav_ip.h"
#include "drav_log.h"
#include "drav_loop.h"
#include "drav_net.h"
#include "drav_pane.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "drav_tools.h"
#include "sim_server.h"
#include "support.h"

using ::testing::MatchesRegex;

namespace {

// The events as the tracker tells them.
void tell_player(te_event_kind kind, int number, const char* address, const char* name) {
  const ts_ip_port where = r_dravip_string_to_ip_port(address);
  ts_event event = r_dravevent_make(kind);
  event.i_slot = number;
  event.i_ip = static_cast<std::uint32_t>(where.ip);
  r_dravevent_set_name(event, name);
  r_dravevent_tell(event);
}

void tell_server_change(const char* map) {
  ts_event event = r_dravevent_make(EVENT_SERVER_CHANGE);
  r_dravevent_set_name(event, map);
  r_dravevent_tell(event);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.log_file, path_.c_str());
    r_dravlog_init(config_.log_file);
  }
  void TearDown() override { r_dravlog_finish(); }
  std::string contents() const { return drav_test::read_file(path_); }

  drav_test::TempDir dir_;
  const std::string path_ = dir_.file("events.log");
  ts_config config_;
};

TEST_F(LogTest, LinesAreWholeAndTheFileDropsTheColourCodesThatThePaneKeeps) {
  // A last line edited by hand without its line feed gets one before the next event.
  r_dravlog_finish();
  drav_test::write_file(path_, "edited by hand");
  r_dravlog_init(config_.log_file);
  const int before = r_dravpane_line_count();
  tell_player(EVENT_REJECT, 3, "192.0.2.7:27901", "\x02Red\x0D\x1F\x7FX");
  tell_player(EVENT_ADMIN_KICK, 31, "255.255.255.255:1", "x");
  // Texts too long for the 1024-byte line are cut before their line feed.
  r_dravlog_log("%s\n", std::string(5000, 'n').c_str());
  r_dravlog_log("%s", std::string(1100, 'm').c_str());
  tell_server_change("dm_next");
  r_dravlog_log("two\nlines\x03\n");
  const std::string text = contents();
  ASSERT_TRUE(text.starts_with("edited by hand\n"));
  EXPECT_TRUE(text.ends_with(" two\nlines\n"));
  EXPECT_EQ(drav_test::without_stamp(text.substr(15, text.size() - 21)),
            "Client Reject     03 192.0.2.7       Red\x7FX\n"
            "Client Admin kick 31 255.255.255.255 x\n" +
                std::string(1002, 'n') + "\n" + std::string(1002, 'm') + "\n" +
                "Server Change     dm_next\ntwo\n");
  ASSERT_EQ(r_dravpane_line_count(), before + 7);
  EXPECT_EQ(r_dravpane_line(before).substr(20),
            "Client Reject     03 192.0.2.7       \x02Red\x0D\x1F\x7FX");
  EXPECT_EQ(r_dravpane_line(before + 5).substr(20), "two");
  EXPECT_EQ(r_dravpane_line(before + 6), "lines\x03");

  // Without a log file events go only to the pane.
  r_dravlog_finish();
  r_dravlog_init("");
  testing::internal::CaptureStdout();
  tell_server_change("dm_harbor");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(r_dravpane_line_count(), before + 8);
  EXPECT_EQ(drav_test::without_stamp(r_dravpane_line(before + 7)), "Server Change     dm_harbor");
}

TEST_F(LogTest, FailingLogFileIsToldOnceUntilItWorkedAgainAndNeverStopsTheProgram) {
  const std::string file = "Log    File " + path_ + " could not be written (File too large)";
  const std::string told = file + ": events are missing from it\n",
                    uncut = file +
                            " nor cut back to its last whole line (Operation not permitted): "
                            "events are missing from it\n";
  // The disk takes the line, is full, or is full and the file cannot be cut back either.
  enum te_disk { WORKS, FULL, UNCUT };
  const struct {
    te_disk disk;
    bool screen;
    std::string pane, error_stream;  // besides the event's own line in the pane
  } steps[] = {
      {WORKS, false, "", ""}, {FULL, false, told, told}, {FULL, false, "", ""},
      {WORKS, false, "", ""}, {FULL, false, told, told}, {WORKS, true, "", ""},
      {FULL, true, told, ""}, {WORKS, false, "", ""},    {UNCUT, false, uncut, uncut},
      {WORKS, false, "", ""},
  };
  // A file size limit stands for a full disk: a write beyond it is cut short and the next fails.
  // A long first line leaves the limit room for what the test itself writes.
  r_dravlog_finish();
  const std::string padding = std::string(8000, 'p') + "\n";
  drav_test::write_file(path_, padding);
  r_dravlog_init_first();
  r_dravlog_init(config_.log_file);
  const std::string stamp = drav_test::STAMP_PATTERN;
  std::string written;  // a regular expression of the file after the padding
  bool cut_line = false, append_only_refused = false;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    std::optional<drav_test::AppendOnly> append_only;
    if (steps[i].disk == UNCUT && !append_only.emplace(path_).held()) {
      append_only_refused = true;
      continue;
    }
    r_dravlog_set_screen_active(steps[i].screen);
    const std::string map = "map" + std::to_string(i), event = "Server Change     " + map + "\n";
    const int before = r_dravpane_line_count();
    testing::internal::CaptureStderr();
    {
      // Room for a few bytes only: the write is cut short, then fails.
      std::optional<drav_test::FileSizeLimit> disk;
      if (steps[i].disk != WORKS)
        disk.emplace(contents().size() + 7);
      tell_server_change(map.c_str());
    }
    const std::string error_stream =
        drav_test::without_stamp(testing::internal::GetCapturedStderr());
    std::string pane;
    for (int line = before; line < r_dravpane_line_count(); ++line)
      pane += r_dravpane_line(line).substr(20) + "\n";
    EXPECT_EQ(pane, event + steps[i].pane) << i;
    EXPECT_EQ(error_stream, steps[i].error_stream) << i;
    // What stays of a line that could not be cut back is ended by a line feed before the next.
    if (steps[i].disk == WORKS) {
      written += (cut_line ? "\n" : "") + stamp + " " + event;
      cut_line = false;
    } else if (steps[i].disk == UNCUT) {
      written += "[0-9]{4}-[0-9]{2}";
      cut_line = true;
    }
    EXPECT_THAT(contents().substr(padding.size()), MatchesRegex(written)) << i;
  }
  r_dravlog_set_screen_active(false);
  if (append_only_refused)
    GTEST_SKIP() << "this file system refuses the append-only attribute: its step did not run";
}

// The largest console reply reaches the pane line for line, never the log; the command is cleaned.
TEST_F(LogTest, ConsoleReplyAsLargeAsTheTransportTakesReachesThePaneWhole) {
  drav_sim::SimServer server("secret");
  // The reply ends at its size bound, long before a wait could run out.
  ts_config net = drav_test::make_config(server.port(), 0, 10000, 10000);
  r_dravnet_init(net);
  ts_status status;
  r_dravscreen_attach(net, status);
  r_dravscreen_set_layout(24, 80);
  const std::vector<std::string> replies[] = {
      std::vector<std::string>(NET_REPLY_MAX_BYTES / 128, std::string(127, 'x')),
      {std::string(NET_REPLY_MAX_BYTES - 1, 'y')}};
  for (const std::vector<std::string>& lines : replies) {
    std::string text;
    for (const std::string& line : lines)
      text += line + "\n";
    ASSERT_EQ(text.size(), NET_REPLY_MAX_BYTES);
    std::vector<std::string> datagrams;
    for (std::size_t at = 0; at < text.size(); at += 2042)
      datagrams.push_back("\xFF\xFF\xFF\xFFprint\n" + text.substr(at, 2042));
    server.set_reply_override([&datagrams](const std::string& command) {
      return command == "big" ? std::optional(datagrams) : std::nullopt;
    });
    const int before = r_dravpane_line_count();
    for (const int key : {'~', 'b', 'i', 'g', '\n', '~'})
      r_dravscreen_apply_key(key);
    // The echo shows at once, the reply when it comes.
    const int expected = before + 2 + static_cast<int>(lines.size());
    r_dravloop_run_until([expected] { return r_dravpane_line_count() >= expected; });
    // A reply that fills its bound may have been cut there: the pane says so after it.
    const int count = r_dravpane_line_count() - 1, first = count - static_cast<int>(lines.size());
    ASSERT_GE(first, 1);
    EXPECT_EQ(r_dravpane_line(first - 1), ">big");
    for (int line = first; line < count; ++line)
      ASSERT_EQ(r_dravpane_line(line), lines[static_cast<std::size_t>(line - first)]) << line;
    EXPECT_EQ(r_dravpane_line(count),
              "(reply stopped at its bound of 65536 bytes, 64 datagrams or 5 s: it may go on)");
  }
  net.net_response_timeout_next = 0;
  for (const int key : {'~', 's', 'a', 'y', ' ', '"', '#', '$', '\'', 'x', '"', '\n', '~'})
    r_dravscreen_apply_key(key);
  ASSERT_TRUE(server.wait_until_handled(10'000));
  EXPECT_EQ(server.commands().back().command, "say \x97  \x95x\x97");
  r_dravnet_finish();
  EXPECT_EQ(contents(), "");
}

}  // namespace
