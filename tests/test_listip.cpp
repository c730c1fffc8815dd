#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
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

using drav_test::fatal_stderr_pattern;
using drav_test::read_file;
using drav_test::write_file;

namespace {

std::uint64_t ip(const char* text) {
  return r_dravip_string_to_ip(text);
}

// Today's date as the history file writes it.
std::string today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[40];
  std::snprintf(date, sizeof date, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return date;
}

struct Entry {
  std::int32_t year, month, day;
  std::string address, name, hostnames;
  std::int32_t level;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << e.year << "-" << e.month << "-" << e.day << " " << e.address << " '" << e.name
             << "' '" << e.hostnames << "' level " << e.level;
}

std::vector<Entry> entries() {
  std::vector<Entry> result;
  for (const ts_listip_data& d : r_dravlistip_get_list()) {
    result.push_back({d.year, d.month, d.day, r_dravip_ip_to_text(d.ip).c_str(), d.name,
                      d.hostnames, d.access_level});
  }
  return result;
}

class ListipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    std::snprintf(config_.log_file_ip, TEXT_FIELD_SIZE, "%s", history_path().c_str());
    std::snprintf(config_.access_list_file, TEXT_FIELD_SIZE, "%s", dir_.file("access").c_str());
    std::snprintf(config_.access_list_file_add, TEXT_FIELD_SIZE, "%s", dir_.file("add").c_str());
    write_file(config_.access_list_file, "0 203.0.113.0/24\n7 198.51.100.1\n");
  }

  void load(const std::string& history) {
    write_file(history_path(), history);
    r_dravaccess_init(config_);
    gb_dravlistip_changed = 0;
    r_dravlistip_init(config_);
    EXPECT_EQ(gb_dravlistip_changed, 1);
  }

  void expect_fatal(const std::string& history, const std::string& message) {
    write_file(history_path(), history);
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "r", stdin);
          r_dravlistip_init(config_);
        },
        ::testing::ExitedWithCode(1), fatal_stderr_pattern(message));
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
  const std::vector<Entry> expected = {
      {0, 0, 0, "0.0.0.0", "\\ Nobody", "x", 1},
      {2015, 6, 7, "192.0.2.1", "Long", long_hosts, 1},
      {2016, 1, 1, "192.0.2.2", "Rest", "more", 1},
      {2011, 3, 5, "192.0.2.255", "Back", "slash\\host", 1},
      {2013, 1, 1, "198.51.100.1", "Red", "", 7},
      {2012, 2, 18, "198.51.100.1", "Red", "gateway;alias", 7},
      {2012, 2, 18, "198.51.100.1", "blue", "gateway;alias", 7},
      {0, 0, 0, "203.0.113.9", "\\ Old", "", 0},
      {2014, 1, 1, "203.0.113.10", "", "", 0},
  };
  EXPECT_EQ(entries(), expected);
}

TEST_F(ListipTest, LoadedOrderIsAddressThenNameThenHostnamesByteWise) {
  // Names share prefixes of every length and use bytes above 0x7F, so that most ties must
  // be broken beyond the first bytes of the name.
  const std::vector<std::string> names = {"",         "a",     "ab",   "abc", "abcd",
                                          "abcd\x01", "abcde", "abce", "B",   "\x80",
                                          "\xff\xfe", "ab\\x", "a\xe9"};
  const std::vector<std::string> hosts = {"", "h", "h;a", "H", "\xc3\xa9"};
  std::mt19937 random(42);
  std::vector<std::tuple<std::uint64_t, std::string, std::string>> expected;
  std::string history;
  for (int i = 0; i < 3000; ++i) {
    char address[16];
    std::snprintf(address, sizeof address, "192.0.2.%u", static_cast<unsigned>(random() % 6));
    const std::string& name = names[random() % names.size()];
    const std::string& host = hosts[random() % hosts.size()];
    char line[128];
    std::snprintf(line, sizeof line, "20%06u %-15s %s\\%s\n",
                  static_cast<unsigned>(random() % 100000 + 1), address, name.c_str(),
                  host.c_str());
    history += line;
    const std::size_t cut = name.find('\\');
    expected.emplace_back(ip(address), name.substr(0, cut),
                          cut == std::string::npos ? host : name.substr(cut + 1) + "\\" + host);
  }
  std::sort(expected.begin(), expected.end());
  load(history);
  std::vector<std::tuple<std::uint64_t, std::string, std::string>> loaded;
  for (const ts_listip_data& d : r_dravlistip_get_list()) {
    loaded.emplace_back(d.ip, d.name, d.hostnames);
  }
  EXPECT_EQ(loaded, expected);
}

TEST_F(ListipTest, FatalLoadErrors) {
  expect_fatal("20120218 192.0.2.1       Red\n20120218 192.0.2.1      \n",
               "./src/drav_listip - Line too short: 20120218 192.0.2.1      \n");
  std::remove(history_path().c_str());
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlistip_init(config_);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_listip - File not found: " + history_path() + "\n"));
}

TEST_F(ListipTest, SightingsAreInsertedInOrderAndAppendedOnce) {
  const std::string old_lines =
      "00000000 192.0.2.5       Red\\\n"
      "20120218 198.51.100.1    Red\\gw\n";
  load(old_lines);
  struct Case {
    const char* address;
    const char* name;
    const char* hostnames;
    int index;  // -1: already known
  };
  const std::vector<Case> cases = {
      {"192.0.2.5", "Red", nullptr, 0},  // the undated entry is "\ Red", after "Red"
      {"192.0.2.5", "Red", "", -1},
      {"198.51.100.1", "Red", "gw", -1},
      {"198.51.100.1", "Red", "gw;other", 3},
      {"198.51.100.1", "Blue", "gw", 2},
      {"192.0.2.4", "name\\with backslash", "a;b", 0},
      {"203.0.113.1", "\x01\x7f\xff", "", 6},
  };
  std::string expected_file = old_lines;
  for (const Case& c : cases) {
    const std::size_t before = r_dravlistip_get_list().size();
    gb_dravlistip_changed = 0;
    r_dravscreen_set_ip_cursor({0, 1});
    r_dravlistip_add_ip_name(ip(c.address), c.name, c.hostnames);
    EXPECT_EQ(gb_dravlistip_changed, 1);
    const auto list = r_dravlistip_get_list();
    if (c.index < 0) {
      EXPECT_EQ(list.size(), before) << c.name;
      EXPECT_EQ(r_dravscreen_ip_cursor().current, 1);
      continue;
    }
    ASSERT_EQ(list.size(), before + 1);
    const ts_listip_data& added = list[c.index];
    EXPECT_EQ(added.ip, ip(c.address));
    EXPECT_STREQ(added.name, c.name);
    EXPECT_STREQ(added.hostnames, c.hostnames != nullptr ? c.hostnames : "");
    EXPECT_EQ(added.access_level, r_dravaccess_get_access_level(ip(c.address), nullptr));
    // The selection stays on its entry: it moves down when the insertion is at or above it.
    EXPECT_EQ(r_dravscreen_ip_cursor().current, c.index <= 1 ? 2 : 1) << c.name;
    char address[16];
    std::snprintf(address, sizeof address, "%-15s", c.address);
    expected_file += today() + " " + address + " " + c.name + "\\" +
                     (c.hostnames != nullptr ? c.hostnames : "") + "\n";
    EXPECT_EQ(read_file(history_path()), expected_file);
  }
  EXPECT_TRUE(std::is_sorted(r_dravlistip_get_list().begin(), r_dravlistip_get_list().end(),
                             [](const ts_listip_data& a, const ts_listip_data& b) {
                               return a.ip != b.ip ? a.ip < b.ip
                                                   : std::string(a.name) < std::string(b.name);
                             }));

  // The next start reads back what was written; a backslash in a name splits it there.
  const std::vector<Entry> before_restart = entries();
  load(read_file(history_path()));
  std::vector<Entry> after_restart = entries();
  ASSERT_EQ(after_restart.size(), before_restart.size());
  EXPECT_EQ(after_restart[0].name, "name");
  EXPECT_EQ(after_restart[0].hostnames, "with backslash\\a;b");
  EXPECT_EQ(std::vector(after_restart.begin() + 1, after_restart.end()),
            std::vector(before_restart.begin() + 1, before_restart.end()));
}

TEST_F(ListipTest, GrowsPastItsFirstThousandEntries) {
  std::string history;
  for (int i = 0; i < 1024; ++i) {
    char address[16];
    std::snprintf(address, sizeof address, "198.51.100.%d", i % 256);
    char line[64];
    std::snprintf(line, sizeof line, "20120218 %-15s P%d\\\n", address, i);
    history += line;
  }
  load(history);
  ASSERT_EQ(r_dravlistip_get_list().size(), 1024u);
  for (int i = 0; i < 1500; ++i) {
    const std::uint64_t address = ip("192.0.2.0") + static_cast<std::uint64_t>(i * 7919 % 256);
    r_dravlistip_add_ip_name(address, ("N" + std::to_string(i)).c_str(), nullptr);
  }
  const auto list = r_dravlistip_get_list();
  ASSERT_EQ(list.size(), 1024u + 1500u);
  for (std::size_t i = 1; i < list.size(); ++i) {
    ASSERT_TRUE(list[i - 1].ip < list[i].ip ||
                (list[i - 1].ip == list[i].ip && std::string(list[i - 1].name) < list[i].name))
        << i;
  }
}

TEST_F(ListipTest, LocateAndLevelRefreshAfterABan) {
  load(
      "20120218 192.0.2.3       A\\\n"
      "20120218 192.0.2.4       A\\\n"
      "20120218 192.0.2.4       B\\\n"
      "20120218 192.0.2.4       C\\\n"
      "20120218 192.0.2.5       A\\\n"
      "20120218 255.255.255.255 A\\\n");
  struct Case {
    const char* address;
    std::int32_t first, end;
  };
  for (const Case& c : std::vector<Case>{{"192.0.2.4", 1, 4},
                                         {"192.0.2.3", 0, 1},
                                         {"0.0.0.0", 0, 0},
                                         {"192.0.2.6", 5, 5},
                                         {"255.255.255.255", 5, 6}}) {
    std::int32_t first = -1;
    std::int32_t end = -1;
    r_dravlistip_ip_locate(ip(c.address), first, end);
    EXPECT_EQ(first, c.first) << c.address;
    EXPECT_EQ(end, c.end) << c.address;
  }

  gb_dravlistip_changed = 0;
  r_dravaccess_block_ip(ip("192.0.2.4"), "", "IP banned by admin");
  EXPECT_EQ(gb_dravlistip_changed, 1);
  std::vector<std::int32_t> levels;
  for (const ts_listip_data& d : r_dravlistip_get_list()) {
    levels.push_back(d.access_level);
  }
  EXPECT_EQ(levels, (std::vector<std::int32_t>{1, 0, 0, 0, 1, 1}));
}

TEST_F(ListipTest, AppendFailuresAreFatal) {
  load("");
  // The module keeps the configuration it was given, so a later change of the path counts.
  std::snprintf(config_.log_file_ip, TEXT_FIELD_SIZE, "%s", dir_.path().c_str());
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlistip_add_ip_name(ip("192.0.2.1"), "Red", nullptr);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_listip - File " + dir_.path().string() +
                           " could not be opened for appending\n"));
  std::snprintf(config_.log_file_ip, TEXT_FIELD_SIZE, "/dev/full");
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravlistip_add_ip_name(ip("192.0.2.1"), "Red", nullptr);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_listip - File /dev/full could not be closed\n"));
}

}  // namespace
