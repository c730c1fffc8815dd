// The access list and the IP history that takes its levels: loading, sightings appended once,
// ban blocks byte for byte, bans without an add file, and the exact fatal messages. Lookups,
// the history's sort order and the reload of any file are checked by the fuzz targets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "drav_statsparse.h"
#include "support.h"

using drav_test::expect_fatal;
using drav_test::ip;
using drav_test::read_file;
using drav_test::write_file;
using ::testing::MatchesRegex;

namespace {

const std::string STAMP = drav_test::STAMP_PATTERN;

// A history entry as text: "YYYY-M-D address 'name' 'hostnames' level".
std::vector<std::string> entries() {
  std::vector<std::string> result;
  for (const ts_listip_data& d : r_dravlistip_get_list()) {
    char text[2200];
    std::snprintf(text, sizeof text, "%d-%d-%d %s '%s' '%s' %d", d.year, d.month, d.day,
                  r_dravip_ip_to_text(d.ip).c_str(), d.name, d.hostnames, d.access_level);
    result.push_back(text);
  }
  return result;
}

// The history file's line for a sighting made today.
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

  /// Starts the access list and the history, as the program does.
  void load(const std::string& history) {
    write_file(history_path(), history);
    r_dravaccess_init(config_);
    gb_dravlistip_changed = 0;
    r_dravlistip_init(config_);
    EXPECT_EQ(gb_dravlistip_changed, 1);
  }

  std::string main_path() const { return dir_.file("access.txt"); }
  std::string add_path() const { return dir_.file("access-add.txt"); }
  std::string history_path() const { return dir_.file("history.txt"); }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(AccessTest, HistoryLoadsSortsAndTakesLevelsFromTheAccessList) {
  write_file(main_path(), "0 203.0.113.0/24\n7 198.51.100.1\n");
  // The first line fills the 2048-byte line buffer exactly; the next line follows it directly.
  const std::string long_hosts(2047 - 25 - 5, 'h');
  load(
      "20120218 198.51.100.1    blue\\gateway;alias\n"
      "20120218 198.51.100.1    Red\\gateway;alias\r\n"
      "\n"
      "20130101 198.51.100.1    Red\\\n"
      "20110305 192.0.2.255     Back\\slash\\host\n"
      "00000000 203.0.113.9     Old\n"
      "20140101 203.0.113.10    \n"
      "junk     not-an-address  Nobody\\x\n"
      "20150607 192.0.2.1       Long\\" +
      long_hosts + "20160101 192.0.2.2       Rest\\more\n");
  EXPECT_EQ(entries(), (std::vector<std::string>{
                           "0-0-0 0.0.0.0 '\\ Nobody' 'x' 1",
                           "2015-6-7 192.0.2.1 'Long' '" + long_hosts + "' 1",
                           "2016-1-1 192.0.2.2 'Rest' 'more' 1",
                           "2011-3-5 192.0.2.255 'Back' 'slash\\host' 1",
                           "2013-1-1 198.51.100.1 'Red' '' 7",
                           "2012-2-18 198.51.100.1 'Red' 'gateway;alias' 7",
                           "2012-2-18 198.51.100.1 'blue' 'gateway;alias' 7",
                           "0-0-0 203.0.113.9 '\\ Old' '' 0",
                           "2014-1-1 203.0.113.10 '' '' 0",
                       }));
  // The entries of an address are one run; an absent address gives an empty run in its place.
  for (const auto& [address, first, end] : {std::tuple{"0.0.0.0", 0, 1},
                                            {"192.0.2.3", 3, 3},
                                            {"198.51.100.1", 4, 7},
                                            {"203.0.113.10", 8, 9},
                                            {"255.255.255.255", 9, 9}}) {
    std::int32_t got_first = -1, got_end = -1;
    r_dravlistip_ip_locate(ip(address), got_first, got_end);
    EXPECT_EQ(std::pair(got_first, got_end), std::pair(first, end)) << address;
  }
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
    gb_dravlistip_changed = 0;
    r_dravscreen_set_ip_cursor({0, 2});
    r_dravlistip_add_ip_name(ip(c.address), c.name, c.hostnames);
    EXPECT_EQ(gb_dravlistip_changed, 1);
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
  gb_dravlistip_changed = 0;
  r_dravaccess_block_ip(ip("192.0.2.7"), "Red", "Client banned by admin");
  EXPECT_EQ(gb_dravlistip_changed, 1);
  r_dravlog_init_first();  // closes the log file
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.7"), nullptr), 0);
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.8"), nullptr), 5);
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
  const std::pair<std::string, std::string> cases[] = {{"5 1.2.34", " (too short)"},
                                                       {"5192.0.2.1", " (no space on second pos)"},
                                                       {"j 192.0.2.1", ""},
                                                       {"\xe1 192.0.2.1", ""}};
  for (const auto& [line, kind] : cases) {
    for (const std::string& file : {main_path(), add_path()}) {
      write_file(file, "1 192.0.2.1\n" + line + "\r\n");
      expect_fatal([&] { r_dravaccess_init(config_); }, "drav_access",
                   "Invalid line in " + file + kind + ": " + line);
      write_file(file, "");
    }
  }
  const auto init_history = [this] { r_dravlistip_init(config_); };
  write_file(history_path(), "20120218 192.0.2.1       Red\n20120218 192.0.2.1      \n");
  expect_fatal(init_history, "drav_listip", "Line too short: 20120218 192.0.2.1      ");
  std::remove(history_path().c_str());
  expect_fatal(init_history, "drav_listip", "File not found: " + history_path());
  r_dravaccess_init(config_);
  r_dravtools_varcpy(config_.access_list_file_add, dir_.path().c_str());
  expect_fatal([] { r_dravaccess_block_ip(ip("192.0.2.1"), "", ""); }, "drav_access",
               "File " + dir_.path().string() + " could not be opened for appending");
  r_dravtools_varcpy(config_.access_list_file_add, add_path().c_str());
  r_dravtools_varcpy(config_.access_list_file, dir_.file("none.txt").c_str());
  expect_fatal([&] { r_dravaccess_init(config_); }, "drav_access",
               "File " + dir_.file("none.txt") + " could not be opened");
}

}  // namespace
