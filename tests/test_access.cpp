// The access list's files and errors: ban blocks byte for byte, bans without an add file, and
// the exact fatal messages. Lookups are checked against a first-match walk by the fuzz target.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "support.h"

using drav_test::expect_fatal;
using drav_test::ip;
using drav_test::read_file;
using drav_test::write_file;
using ::testing::MatchesRegex;

namespace {

const std::string STAMP = drav_test::STAMP_PATTERN;

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.access_list_file, main_path().c_str());
    r_dravtools_varcpy(config_.access_list_file_add, add_path().c_str());
    r_dravtools_varcpy(config_.log_file_ip, dir_.file("history.txt").c_str());
    write_file(config_.log_file_ip, "");
    write_file(main_path(), "");
  }

  std::string main_path() const { return dir_.file("access.txt"); }
  std::string add_path() const { return dir_.file("access-add.txt"); }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(AccessTest, BansAreAppendedByteForByteOrLoggedAndHoldAtOnce) {
  // A missing add file is no error; the first ban creates it.
  write_file(main_path(), "7 0.0.0.0\n4 192.0.2.1\n");
  r_dravaccess_init(config_);
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.1"), nullptr), 4);
  const std::string stamp = "; " + STAMP;
  const struct {
    const char *address, *comment, *reason;
    std::int32_t level;
    std::string block;  // regular expression
  } cases[] = {{"192.0.2.1", "Some\x01Name", "Client banned by admin", 0,
                stamp + " - Client banned by admin\n0 192\\.0\\.2\\.1          Some\x01Name\n\n"},
               {"203.0.113.255", "", "IP banned by admin", 0,
                stamp + " - IP banned by admin\n0 203\\.0\\.113\\.255  \n\n"},
               {"198.51.100.10", nullptr, nullptr, 7, stamp + "\n7 198\\.51\\.100\\.10  \n\n"},
               {"198.51.100.11", "note", "", 0, stamp + "\n0 198\\.51\\.100\\.11      note\n\n"}};
  std::string expected;
  for (const auto& c : cases) {
    r_dravaccess_add_ip(ip(c.address), c.comment, c.reason, c.level);
    expected += c.block;
    EXPECT_THAT(read_file(add_path()), MatchesRegex(expected));
    EXPECT_EQ(r_dravaccess_get_access_level(ip(c.address), nullptr), c.level) << c.address;
  }

  // Without an add file a ban holds for the run, the history shows it, and the log tells.
  config_.access_list_file_add[0] = '\0';
  r_dravtools_varcpy(config_.log_file, dir_.file("log.txt").c_str());
  r_dravlog_init(config_);
  write_file(config_.log_file_ip,
             "20120218 192.0.2.7       Red\\\n20120218 192.0.2.8       Blue\\\n");
  write_file(main_path(), "5 192.0.2.0/24\n");
  r_dravaccess_init(config_);
  r_dravlistip_init(config_);
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

TEST_F(AccessTest, FileErrorsAreFatalWithFileAndLine) {
  const std::pair<std::string, std::string> cases[] = {{"5 1.2.34", " (too short)"},
                                                       {"5192.0.2.1", " (no space on second pos)"},
                                                       {"j 192.0.2.1", ""},
                                                       {"\xe1 192.0.2.1", ""}};
  for (const auto& [line, kind] : cases) {
    for (const std::string& file : {main_path(), add_path()}) {
      write_file(main_path(), "");
      write_file(add_path(), "");
      write_file(file, "1 192.0.2.1\n" + line + "\r\n");
      expect_fatal([&] { r_dravaccess_init(config_); }, "drav_access",
                   "Invalid line in " + file + kind + ": " + line);
    }
  }
  write_file(main_path(), "");
  write_file(add_path(), "");
  r_dravaccess_init(config_);
  const auto ban = [] { r_dravaccess_block_ip(ip("192.0.2.1"), "", ""); };
  r_dravtools_varcpy(config_.access_list_file_add, dir_.path().c_str());
  expect_fatal(ban, "drav_access",
               "File " + dir_.path().string() + " could not be opened for appending");
  r_dravtools_varcpy(config_.access_list_file_add, add_path().c_str());
  r_dravtools_varcpy(config_.access_list_file, dir_.file("none.txt").c_str());
  expect_fatal([&] { r_dravaccess_init(config_); }, "drav_access",
               "File " + dir_.file("none.txt") + " could not be opened");
}

}  // namespace
