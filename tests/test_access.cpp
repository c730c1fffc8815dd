// The access list and the history taking its levels: loading, appends, bans, fatal messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "support.h"

using namespace drav_test;
using ::testing::MatchesRegex;
using namespace std::string_literals;

namespace {

const std::string STAMP = drav_test::STAMP_PATTERN;

std::string line_today(const char* address, const std::string& name_and_hosts) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char date[16], line[64];
  std::strftime(date, sizeof date, "%Y%m%d", localtime_r(&now, &local));
  std::snprintf(line, sizeof line, "%s %-15s ", date, address);
  return line + name_and_hosts + "\n";
}

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.access_list_file, main_path().c_str());
    r_dravtools_varcpy(config_.access_list_file_add, add_path().c_str());
    r_dravtools_varcpy(config_.log_file_ip, history_path().c_str());
  }
  void TearDown() override {
    r_dravlistip_finish();
    r_dravaccess_finish();
  }

  void load(const std::string& history) {
    write_file(history_path(), history);
    restart();
  }

  std::string main_path() const { return dir_.file("access.txt"); }
  std::string add_path() const { return dir_.file("access-add.txt"); }
  std::string history_path() const { return dir_.file("history.txt"); }

  /// Loads Red of 192.0.2.1 banned in the additions file, each first line 8000 bytes long (room
  /// for the fatal message a child with a full disk writes).
  void load_red() {
    write_file(main_path(), "");
    write_file(add_path(), "; " + PADDING + "\n0 192.0.2.1\n");
    load("20120218 192.0.2.1       Red\\" + PADDING + "\n");
  }
  /// Appends Blue of 192.0.2.2 to the history, or its ban to the additions file.
  static void append_blue(bool history) {
    if (history)
      r_dravlistip_add_ip_name(ip("192.0.2.2"), "Blue", "host");
    else
      r_dravaccess_block_ip(ip("192.0.2.2"), "Blue", "r");
  }
  void restart() {
    r_dravaccess_init(config_);
    r_dravlistip_init(config_);
  }
  /// Starts again; then Red must be as before, and Blue there when `blue`.
  void restart_and_expect(bool history, bool blue) {
    restart();
    std::vector<std::string> list = described_all(r_dravlistip_get_list());
    for (std::string& entry : list)  // without the date
      entry.erase(0, entry.find(' ') + 1);
    const std::string red = "192.0.2.1 'Red' '" + PADDING + "' 0";
    const std::vector<std::string> red_only = {red}, both = {red, "192.0.2.2 'Blue' 'host' 1"};
    EXPECT_EQ(list, history && blue ? both : red_only) << history;
    EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.2"), nullptr), !history && blue ? 0 : 1);
  }

  const std::string PADDING = std::string(8000, 'p');

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(AccessTest, HistoryLoadsSortsAndTakesLevelsFromTheAccessList) {
  // LF or CR LF ends; a 100 KB line is one line (comments cut at 512); a last comment needs no LF.
  const std::string long_text(100 * 1024, 'h');
  // Levels 1..9 may be a..i in either case; a date of all zeros is none.
  write_file(main_path(), "0 203.0.113.0/24\r\nI 198.51.100.1\r\nc 198.51.100.200     " +
                              long_text + "\r\n; end");
  load(
      "20120218 198.51.100.1    blue\\gateway;alias\n"
      "20120218 198.51.100.1    Red\\gateway;alias\r\n"
      "\n"
      "20130101 198.51.100.1    Red\\\n"
      "20110305 192.0.2.255     Back\\slash\\host\n"
      "00000000 203.0.113.9     Old\n"
      "20140101 203.0.113.10    \n"
      "19990919 192.0.2.9       Nines\\\n"
      "201202181192.0.2.3       Run\\\n"  // the date runs on into the address, as strtol reads it
      "20120200 192.0.2.9       Zero\\\n"
      "20150607 192.0.2.1       Long\\" +
      long_text + "\r\n20160101 192.0.2.2       Rest\\more\n");
  EXPECT_EQ(described_all(r_dravlistip_get_list()),
            (std::vector<std::string>{
                "2015-6-7 192.0.2.1 'Long' '" + long_text + "' 1",
                "2016-1-1 192.0.2.2 'Rest' 'more' 1",
                "214748-36-47 192.0.2.3 'Run' '' 1",
                "1999-9-19 192.0.2.9 'Nines' '' 1",
                "2012-2-0 192.0.2.9 'Zero' '' 1",
                "2011-3-5 192.0.2.255 'Back' 'slash\\host' 1",
                "2013-1-1 198.51.100.1 'Red' '' 9",
                "2012-2-18 198.51.100.1 'Red' 'gateway;alias' 9",
                "2012-2-18 198.51.100.1 'blue' 'gateway;alias' 9",
                "0-0-0 203.0.113.9 '\\ Old' '' 0",
                "2014-1-1 203.0.113.10 '' '' 0",
            }));
  char comment[TEXT_FIELD_SIZE];
  EXPECT_EQ(r_dravaccess_get_access_level(ip("198.51.100.200"), comment), 3);
  EXPECT_EQ(comment, long_text.substr(0, TEXT_FIELD_MAX));
}

TEST_F(AccessTest, SightingsAreInsertedInOrderAndAppendedOnce) {
  write_file(main_path(), "0 203.0.113.0/24\n7 198.51.100.1\n");
  const std::string old_lines =
      "00000000 192.0.2.5       Red\\\n20120218 198.51.100.1    Red\\gw\n";
  load(old_lines);
  const struct {
    const char *address, *name, *hostnames;
    int index;  // -1: already known
  } cases[] = {
      {"192.0.2.5", "Red", nullptr, 0},  // the undated entry is "\ Red", after "Red"
      {"192.0.2.5", "Red", "", -1},
      {"198.51.100.1", "Red", "gw", -1},
      {"198.51.100.1", "Red", "gw;other", 3},
      {"198.51.100.1", "Blue", "gw", 2},
      {"192.0.2.4", "name\\with backslash", "a;b", 0},
      {"203.0.113.1", "\x01\x7f\xff", "", 6},
  };
  std::string expected_file = old_lines;
  ts_status status;
  r_dravscreen_attach(config_, status);  // the screen keeps its IP list selection on its entry
  for (const auto& c : cases) {
    const std::size_t before = r_dravlistip_get_list().size();
    r_dravscreen_set_ip_cursor({0, 2});
    r_dravlistip_add_ip_name(ip(c.address), c.name, c.hostnames);
    const auto list = r_dravlistip_get_list();
    const bool added = c.index >= 0;
    // The selection stays on its entry: it moves down when the insertion is at or above it.
    ASSERT_EQ(std::tuple(list.size(), r_dravscreen_ip_cursor().i_current),
              std::tuple(before + (added ? 1 : 0), added && c.index <= 2 ? 3 : 2))
        << c.name;
    if (added) {
      EXPECT_EQ(list[c.index].access_level, r_dravaccess_get_access_level(ip(c.address), nullptr));
      const std::string hostnames = c.hostnames != nullptr ? c.hostnames : "";
      expected_file += line_today(c.address, c.name + ("\\" + hostnames));
    }
    EXPECT_EQ(read_file(history_path()), expected_file);
  }
}

TEST_F(AccessTest, BansAreAppendedByteForByteOrLoggedAndHoldAtOnce) {
  // A missing add file is no error; the first ban creates it.
  write_file(main_path(), "7 0.0.0.0\n4 192.0.2.1\n");
  r_dravaccess_init(config_);
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.1"), nullptr), 4);
  const struct {
    const char *address, *comment, *reason;
    std::int32_t level;
    std::string block;  // regular expression after the "; " and the time stamp
  } cases[] = {{"192.0.2.1", "Some\x01Name", "Client banned by admin", 0,
                " - Client banned by admin\n0 192\\.0\\.2\\.1          Some\x01Name\n\n"},
               {"203.0.113.255", "", "IP banned by admin", 0,
                " - IP banned by admin\n0 203\\.0\\.113\\.255  \n\n"},
               {"198.51.100.10", nullptr, nullptr, 7, "\n7 198\\.51\\.100\\.10  \n\n"},
               {"198.51.100.11", "note", "", 0, "\n0 198\\.51\\.100\\.11      note\n\n"}};
  std::string expected;
  for (const auto& c : cases) {
    r_dravaccess_add_ip(ip(c.address), c.comment, c.reason, c.level);
    expected += "; " + STAMP + c.block;
    EXPECT_THAT(read_file(add_path()), MatchesRegex(expected));
    EXPECT_EQ(r_dravaccess_get_access_level(ip(c.address), nullptr), c.level) << c.address;
  }

  // Without an add file a ban holds for the run, the history shows it, and the log tells.
  config_.access_list_file_add[0] = '\0';
  r_dravtools_varcpy(config_.log_file, dir_.file("log.txt").c_str());
  r_dravlog_init(config_.log_file);
  write_file(main_path(), "5 192.0.2.0/24\n");
  load("20120218 192.0.2.7       Red\\\n20120218 192.0.2.8       Blue\\\n");
  r_dravaccess_block_ip(ip("192.0.2.7"), "Red", "Client banned by admin");
  r_dravlog_init_first();  // closes the log file
  const auto history = r_dravlistip_get_list();
  EXPECT_EQ(std::pair(history[0].access_level, history[1].access_level), std::pair(0, 5));
  EXPECT_THAT(read_file(dir_.file("log.txt")),
              MatchesRegex(STAMP + " IP     Ban not saved 192\\.0\\.2\\.7: no access_list_file_add "
                                   "configured\n"));

  // Unnamed files are not read at all; an address nothing covers has level 1.
  config_.access_list_file[0] = '\0';
  r_dravaccess_init(config_);
  char comment[TEXT_FIELD_SIZE] = "x";
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.1"), comment), 1);
  EXPECT_STREQ(comment, "");
}

TEST_F(AccessTest, FileErrorsAreFatalWithTheirFileAndLine) {
  // Invalid lines, lines cut short (no line feed) or damaged (a NUL); messages end at any NUL.
  const std::pair<std::string, std::string> cases[] = {
      {"5 1.2.34\r\n", " (too short): 5 1.2.34"},
      {"5192.0.2.1\r\n", " (no space on second pos): 5192.0.2.1"},
      {"j 192.0.2.1\r\n", ": j 192.0.2.1"},
      {"\xe1 192.0.2.1\r\n", ": \xe1 192.0.2.1"},
      {"7 192.0.2.12", " (line 2 has no line feed): 7 192.0.2.12"},
      {"7 192.0.2.1\0\0\0\n"s, " (line 2 holds a NUL byte): 7 192.0.2.1"}};
  for (const auto& [tail, message] : cases) {
    for (const std::string& file : {main_path(), add_path()}) {
      write_file(file, "A 192.0.2.1\n" + tail);
      expect_fatal([&] { r_dravaccess_init(config_); }, "drav_access",
                   "Invalid line in " + file + message);
      write_file(file, "");
    }
  }
  const std::string in_history = "Invalid line in " + history_path();
  const std::pair<std::string, std::string> history_cases[] = {
      {"20120218 192.0.2.1      \n",
       in_history + " (line 2 is too short): 20120218 192.0.2.1      "},
      // A line of some other file is no entry for 0.0.0.0.
      {"[123]: Accepted publickey for root\n",
       in_history + " (line 2 has no address): [123]: Accepted publickey for root"},
      {"20120218 192.0.2.256     X\n",
       in_history + " (line 2 has no address): 20120218 192.0.2.256     X"},
      {"20120218 192.0.2.2       Bl",
       in_history + " (line 2 has no line feed): 20120218 192.0.2.2       Bl"},
      {"20120218 192.0.2.2\0      Blue\n"s,
       in_history + " (line 2 holds a NUL byte): 20120218 192.0.2.2"}};
  for (const auto& [tail, message] : history_cases) {
    write_file(history_path(), "20120218 192.0.2.1       Red\n" + tail);
    expect_fatal([this] { r_dravlistip_init(config_); }, "drav_listip", message);
  }
}

// A full disk is told with its reason; the entry waits in memory and is written once there is
// room, after a line feed when the file could not be cut back to its last whole line.
TEST_F(AccessTest, AFullDiskIsRiddenOutAndTheEntryWrittenWhenThereIsRoom) {
  const std::string written = "File @ could not be written (File too large)";
  const std::string uncut =
      written + ", nor cut back to its last whole line (Operation not permitted)";
  const struct {
    bool history;           // else the additions file
    bool append_only;       // the file cannot be cut back either
    std::size_t room;       // bytes the full disk still takes
    std::string told;       // with @ for the file
    std::string restarted;  // fatal message of the next start; empty: none, Blue is there
  } rows[] = {
      {true, false, 5, written, ""},
      {false, false, 31, written, ""},
      {true, true, 5, uncut,
       "Invalid line in @ (line 2 is too short): " + line_today("", "").substr(0, 5)},
      {false, true, 31, uncut, "Invalid line in @ (too short): 0 192"},
      // A ban cut inside its comment line leaves a comment, which the next start ignores.
      {false, true, 5, uncut, ""},
  };
  bool append_only_refused = false;
  for (const auto& row : rows) {
    const std::string path = row.history ? history_path() : add_path();
    const auto message = [&path](std::string text) {
      for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
        text.replace(at, 1, path);
      return text;
    };
    load_red();
    const std::string before = read_file(path);
    std::optional<drav_test::AppendOnly> append_only;
    if (row.append_only && !append_only.emplace(path).held()) {
      append_only_refused = true;
      continue;
    }
    const auto run = [&] {
      ::testing::internal::CaptureStderr();
      row.history ? r_dravlistip_run() : r_dravaccess_run();
      return ::testing::internal::GetCapturedStderr();
    };
    {
      const drav_test::FileSizeLimit disk(before.size() + row.room);
      ::testing::internal::CaptureStderr();
      append_blue(row.history);
      append_blue(row.history);  // the same sighting again is no new entry; a ban is
      EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                  MatchesRegex(STAMP + " IP     " + regex_escape(message(row.told)) +
                               ": the monitor goes on; entries waiting in memory: 1 \\(at most "
                               "10000\\), written when writing works again\n"));
      EXPECT_EQ(run(), "");  // still full: nothing more is told
      EXPECT_TRUE(row.append_only || read_file(path) == before) << path;
    }
    append_only.reset();
    const std::string count = row.history ? "1" : "2";
    EXPECT_THAT(run(),
                MatchesRegex(STAMP + " IP     File " + regex_escape(path) +
                             " written again: " + count + " waiting entries written, 0 dropped\n"));
    EXPECT_EQ(run(), "");
    if (row.restarted.empty())
      restart_and_expect(row.history, true);
    else
      expect_fatal([this] { restart(); }, row.history ? "drav_listip" : "drav_access",
                   message(row.restarted));
  }
  if (append_only_refused)
    GTEST_SKIP() << "this file system refuses the append-only attribute: its rows did not run";
}

// Past 10000 waiting lines newer ones are dropped; the counts are told as they grow.
TEST_F(AccessTest, WaitingLinesAreBoundedAndTheirCountsTold) {
  load_red();
  ::testing::internal::CaptureStderr();
  {
    const drav_test::FileSizeLimit disk(read_file(history_path()).size());
    for (int i = 0; i < 10002; ++i)
      r_dravlistip_add_ip_name(ip("192.0.2.1"), ("P" + std::to_string(i)).c_str(), "");
    EXPECT_EQ(r_dravlistip_lines_waiting(), 10000u);
  }
  r_dravlistip_run();
  std::vector<std::string> told;
  std::istringstream stream(::testing::internal::GetCapturedStderr());
  for (std::string line; std::getline(stream, line);)
    told.push_back(without_stamp(line));
  const std::string file = "IP     File " + history_path();
  std::vector<std::string> expected = {
      file +
      " could not be written (File too large): the monitor goes on; entries waiting in "
      "memory: 1 (at most 10000), written when writing works again"};
  for (const char* count : {"10", "100", "1000", "10000"})
    expected.push_back(file + ": entries waiting in memory: " + count);
  expected.push_back(file +
                     ": entries waiting in memory: 10000, the most kept; newer ones are dropped");
  expected.push_back(file + " written again: 10000 waiting entries written, 2 dropped");
  EXPECT_EQ(told, expected);
  const std::string written = read_file(history_path());
  EXPECT_EQ(std::ranges::count(written, '\n'), 10001);  // Red's line and 10000 more
  EXPECT_TRUE(written.ends_with(line_today("192.0.2.1", "P9999\\")));
}

// The file read at the start is the one written: another file put in its place (a link, a new
// file, a directory) is told once and not written; the entry is written once the path names
// the file again.
TEST_F(AccessTest, AFileSwappedWhileRunningIsNotWrittenInto) {
  for (const bool history : {true, false}) {
    const std::string path = history ? history_path() : add_path();
    const std::string other = path + ".other";
    for (const int swap : {0, 1, 2}) {
      load_red();
      const std::string before = read_file(path);
      std::filesystem::rename(path, path + ".moved");
      if (swap == 0)
        std::filesystem::create_symlink(other, path);
      if (swap == 2)
        std::filesystem::create_directory(path);
      else
        write_file(swap == 0 ? other : path, "");
      ::testing::internal::CaptureStderr();
      append_blue(history);
      EXPECT_THAT(
          ::testing::internal::GetCapturedStderr(),
          ::testing::HasSubstr("File " + path +
                               (swap == 2 ? " could not be opened for appending (Is a directory)"
                                          : " names another file than the one read at the start")));
      EXPECT_EQ(swap == 2 ? "" : read_file(swap == 0 ? other : path), "") << swap;
      std::filesystem::remove(path);
      std::filesystem::rename(path + ".moved", path);
      ::testing::internal::CaptureStderr();
      history ? r_dravlistip_run() : r_dravaccess_run();
      EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                  ::testing::HasSubstr(" written again: 1 waiting"));
      EXPECT_NE(read_file(path), before);
      restart_and_expect(history, true);
      std::filesystem::remove(other);
    }
    // What still waits when the monitor ends is tried once more, then told as lost.
    for (const bool back : {true, false}) {
      load_red();
      std::filesystem::rename(path, path + ".moved");
      std::filesystem::create_directory(path);
      ::testing::internal::CaptureStderr();
      append_blue(history);
      if (back)
        std::filesystem::remove(path), std::filesystem::rename(path + ".moved", path);
      history ? r_dravlistip_finish() : r_dravaccess_finish();
      const std::string lost = "File " + path + ": 1 " + (history ? "entries" : "bans") +
                               " could not be written and are lost\n";
      EXPECT_EQ(::testing::internal::GetCapturedStderr().find(lost) == std::string::npos, back);
      if (!back)
        std::filesystem::remove(path), std::filesystem::rename(path + ".moved", path);
      restart_and_expect(history, back);
    }
  }
}

}  // namespace
