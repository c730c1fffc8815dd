// The IP history: loading, sightings appended once, levels from the access list, errors. The
// fuzz target checks the sort order and the reload of any file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "drav_screen.h"
#include "support.h"

using drav_test::expect_fatal;
using drav_test::ip;
using drav_test::read_file;
using drav_test::write_file;

namespace {

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
  localtime_r(&now, &local);
  char line[128];
  std::snprintf(line, sizeof line, "%04d%02d%02d %-15s ", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, address);
  return line + name_and_hosts + "\n";
}

class ListipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.log_file_ip, history_path().c_str());
    r_dravtools_varcpy(config_.access_list_file, dir_.file("access").c_str());
    r_dravtools_varcpy(config_.access_list_file_add, dir_.file("add").c_str());
    write_file(config_.access_list_file, "0 203.0.113.0/24\n7 198.51.100.1\n");
  }

  void load(const std::string& history) {
    write_file(history_path(), history);
    r_dravaccess_init(config_);
    gb_dravlistip_changed = 0;
    r_dravlistip_init(config_);
    EXPECT_EQ(gb_dravlistip_changed, 1);
  }

  std::string history_path() const { return dir_.file("history.txt"); }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(ListipTest, LoadsSortsAndTakesLevelsFromTheAccessList) {
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

TEST_F(ListipTest, SightingsAreInsertedInOrderAndAppendedOnce) {
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
  for (const auto& c : cases) {
    const std::size_t before = r_dravlistip_get_list().size();
    gb_dravlistip_changed = 0;
    r_dravscreen_set_ip_cursor({0, 2});
    r_dravlistip_add_ip_name(ip(c.address), c.name, c.hostnames);
    EXPECT_EQ(gb_dravlistip_changed, 1);
    const auto list = r_dravlistip_get_list();
    const std::string hostnames = c.hostnames != nullptr ? c.hostnames : "";
    if (c.index < 0) {
      EXPECT_EQ(list.size(), before) << c.name;
      EXPECT_EQ(r_dravscreen_ip_cursor().current, 2);
    } else {
      ASSERT_EQ(list.size(), before + 1);
      const ts_listip_data& added = list[c.index];
      EXPECT_EQ(added.access_level, r_dravaccess_get_access_level(ip(c.address), nullptr));
      // The selection stays on its entry: it moves down when the insertion is at or above it.
      EXPECT_EQ(r_dravscreen_ip_cursor().current, c.index <= 2 ? 3 : 2) << c.name;
      expected_file += line_today(c.address, c.name + ("\\" + hostnames));
    }
    EXPECT_EQ(read_file(history_path()), expected_file);
  }
}

TEST_F(ListipTest, FatalLoadErrors) {
  const auto init = [this] { r_dravlistip_init(config_); };
  write_file(history_path(), "20120218 192.0.2.1       Red\n20120218 192.0.2.1      \n");
  expect_fatal(init, "drav_listip", "Line too short: 20120218 192.0.2.1      ");
  std::remove(history_path().c_str());
  expect_fatal(init, "drav_listip", "File not found: " + history_path());
}

}  // namespace
