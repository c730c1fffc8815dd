// The access list: both files, first-match order, bans appended to the add file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "support.h"

using drav_test::read_file;
using drav_test::write_file;
using ::testing::MatchesRegex;

namespace {

std::uint64_t ip(const char* text) {
  return r_dravip_string_to_ip(text);
}

// The time stamp of log lines and ban blocks, as a regular expression.
const std::string STAMP = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

using Lookup = std::pair<std::int32_t, std::string>;  // level and comment

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.access_list_file, main_path().c_str());
    r_dravtools_varcpy(config_.access_list_file_add, add_path().c_str());
    r_dravtools_varcpy(config_.log_file_ip, dir_.file("history.txt").c_str());
    write_file(config_.log_file_ip, "");
  }

  // Writes the main file (and the add file when given) and loads the list.
  void load(const std::string& main, const char* add = nullptr) {
    write_file(main_path(), main);
    if (add != nullptr) {
      write_file(add_path(), add);
    }
    r_dravaccess_init(config_);
    r_dravlistip_init(config_);
  }

  static Lookup lookup(const char* address) {
    char comment[TEXT_FIELD_SIZE];
    std::memset(comment, 'x', sizeof comment);
    const std::int32_t level = r_dravaccess_get_access_level(ip(address), comment);
    return {level, comment};
  }

  static void expect_fatal(const std::function<void()>& body, const std::string& message) {
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "r", stdin);
          body();
        },
        ::testing::ExitedWithCode(1),
        drav_test::fatal_stderr_pattern("./src/drav_access - " + message + "\n"));
  }

  std::string main_path() const { return dir_.file("access.txt"); }
  std::string add_path() const { return dir_.file("access-add.txt"); }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(AccessTest, ReadsLevelsNetworksAndComments) {
  const std::string long_comment(600, 'c');
  // A line of 2047 characters fills the line buffer; what follows it is a line of its own.
  const std::string full_buffer_line = "6 192.0.2.200/32" + std::string(2047 - 16, ' ');
  load(
      "; comment line\n\n0 192.0.2.0/30       first quarter\r\nA 192.0.2.4\n"
      "i 192.0.2.5          nine\n3 192.0.2.10         \x01red\x02 comment \n3 192.0.2.11 x \n"
      "4 192.0.2.12         " +
      long_comment + "\n7 not.an.address     odd\n2 192.0.2.13/33      bad prefix\n" +
      full_buffer_line + "8 192.0.2.201\n5 198.51.100.0/24\n9 0.0.0.0/0          everybody else\n");
  const std::pair<const char*, Lookup> cases[] = {{"192.0.2.3", {0, "first quarter"}},
                                                  {"192.0.2.4", {1, ""}},
                                                  {"192.0.2.5", {9, "nine"}},
                                                  {"192.0.2.10", {3, "\x01red\x02 comment "}},
                                                  {"192.0.2.11", {3, ""}},
                                                  {"192.0.2.12", {4, long_comment.substr(0, 512)}},
                                                  {"0.0.0.0", {7, "odd"}},
                                                  {"192.0.2.13", {2, "bad prefix"}},
                                                  {"192.0.2.14", {9, "everybody else"}},
                                                  {"192.0.2.200", {6, std::string(512, ' ')}},
                                                  {"192.0.2.201", {8, ""}},
                                                  {"198.51.100.77", {5, ""}}};
  for (const auto& [address, expected] : cases) {
    EXPECT_EQ(lookup(address), expected) << address;
  }
}

TEST_F(AccessTest, FirstMatchWinsAcrossBansAddFileAndMainFile) {
  load(
      "0 192.0.2.0/16       main, hidden by the add file\n6 198.51.100.0/24    main wide\n"
      "1 198.51.100.9       main narrow, hidden\n",
      "5 192.0.2.0/24       add wide\n2 192.0.2.7          add narrow, hidden\n");
  EXPECT_EQ(lookup("192.0.2.7"), (Lookup{5, "add wide"}));
  EXPECT_EQ(lookup("192.0.3.1").first, 0);
  EXPECT_EQ(lookup("198.51.100.9").first, 6);

  r_dravaccess_add_ip(ip("198.51.100.9"), "first ban", "", 3);
  r_dravaccess_add_ip(ip("198.51.100.9"), "second ban", "", 4);
  EXPECT_EQ(lookup("198.51.100.9"), (Lookup{4, ""})) << "a ban's comment is only in the file";
  EXPECT_EQ(lookup("198.51.100.8").first, 6);

  // After a restart the bans are read back from the end of the add file in the order they
  // were made, so the older one now comes first, with its comment.
  r_dravaccess_init(config_);
  EXPECT_EQ(lookup("198.51.100.9"), (Lookup{3, "first ban"}));
  EXPECT_EQ(lookup("192.0.2.7").first, 5);
}

TEST_F(AccessTest, MissingAndUnnamedFiles) {
  // A missing add file is no error; the first ban creates it. "7 0.0.0.0" is the shortest line.
  load("7 0.0.0.0\n4 192.0.2.1\n");
  EXPECT_EQ(lookup("0.0.0.0").first, 7);
  EXPECT_EQ(lookup("192.0.2.1").first, 4);
  r_dravaccess_block_ip(ip("192.0.2.1"), "", "");
  EXPECT_EQ(lookup("192.0.2.1").first, 0);
  EXPECT_THAT(read_file(add_path()), MatchesRegex("; " + STAMP + "\n0 192\\.0\\.2\\.1      \n\n"));

  // Unnamed files are not read at all; an address nothing covers has level 1.
  config_.access_list_file[0] = '\0';
  config_.access_list_file_add[0] = '\0';
  r_dravaccess_init(config_);
  EXPECT_EQ(lookup("192.0.2.1"), (Lookup{1, ""}));
  EXPECT_EQ(r_dravaccess_get_access_level(ip("192.0.2.1"), nullptr), 1);

  r_dravtools_varcpy(config_.access_list_file, dir_.file("none.txt").c_str());
  expect_fatal([&] { r_dravaccess_init(config_); },
               "File " + dir_.file("none.txt") + " could not be opened");
}

TEST_F(AccessTest, InvalidLinesAreFatalWithFileAndLine) {
  const std::pair<std::string, std::string> cases[] = {{"5 1.2.34", " (too short)"},
                                                       {"x", " (too short)"},
                                                       {"5192.0.2.1", " (no space on second pos)"},
                                                       {"j 192.0.2.1", ""},
                                                       {"- 192.0.2.1", ""},
                                                       {"\xe1 192.0.2.1", ""}};
  for (const auto& [line, kind] : cases) {
    for (const std::string& file : {main_path(), add_path()}) {
      write_file(main_path(), "");
      write_file(add_path(), "");
      write_file(file, "1 192.0.2.1\n" + line + "\r\n");
      expect_fatal([&] { r_dravaccess_init(config_); },
                   "Invalid line in " + file + kind + ": " + line);
    }
  }
}

TEST_F(AccessTest, BanBlocksAreAppendedByteForByte) {
  load("");
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
    if (c.level == 0) {
      r_dravaccess_block_ip(ip(c.address), c.comment, c.reason);
    } else {
      r_dravaccess_add_ip(ip(c.address), c.comment, c.reason, c.level);
    }
    expected += c.block;
    EXPECT_THAT(read_file(add_path()), MatchesRegex(expected));
    EXPECT_EQ(lookup(c.address).first, c.level);
  }
}

TEST_F(AccessTest, BanWithoutAddFileHoldsForTheRunAndIsLogged) {
  config_.access_list_file_add[0] = '\0';
  r_dravtools_varcpy(config_.log_file, dir_.file("log.txt").c_str());
  r_dravlog_init(config_);
  write_file(config_.log_file_ip,
             "20120218 192.0.2.7       Red\\\n20120218 192.0.2.8       Blue\\\n");
  load("5 192.0.2.0/24\n");
  ASSERT_EQ(r_dravlistip_get_list()[0].access_level, 5);

  r_dravaccess_block_ip(ip("192.0.2.7"), "Red", "Client banned by admin");
  r_dravlog_init_first();  // closes the log file
  EXPECT_EQ(lookup("192.0.2.7").first, 0);
  EXPECT_EQ(lookup("192.0.2.8").first, 5);
  EXPECT_EQ(r_dravlistip_get_list()[0].access_level, 0);
  EXPECT_EQ(r_dravlistip_get_list()[1].access_level, 5);
  EXPECT_THAT(read_file(dir_.file("log.txt")),
              MatchesRegex(STAMP + " IP     Ban not saved 192\\.0\\.2\\.7: no access_list_file_add "
                                   "configured\n"));
}

TEST_F(AccessTest, BanThatCannotBeWrittenIsFatal) {
  load("");
  const auto ban = [] { r_dravaccess_block_ip(ip("192.0.2.1"), "", ""); };
  r_dravtools_varcpy(config_.access_list_file_add, dir_.path().c_str());
  expect_fatal(ban, "File " + dir_.path().string() + " could not be opened for appending");
  // The full device accepts the open and fails when the block is flushed at the close.
  r_dravtools_varcpy(config_.access_list_file_add, "/dev/full");
  expect_fatal(ban, "File /dev/full could not be closed");
}

TEST_F(AccessTest, IndexedLookupEqualsTheFirstMatchWalk) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    std::mt19937 random(seed);
    auto pick = [&](std::size_t below) { return static_cast<int>(random() % below); };
    // A small pool of base addresses makes overlaps and duplicates frequent.
    std::vector<std::uint32_t> pool;
    for (int i = 0; i < 12; ++i) {
      pool.push_back(0xC0000200u +
                     static_cast<std::uint32_t>(pick(4) << 16 | pick(4) << 8 | pick(8)));
    }
    const int prefixes[] = {0, 1, 7, 8, 12, 16, 20, 22, 24, 28, 30, 31, 32, 32, 32};
    // The list as a first-match walk sees it: bans newest first, the add file, the main file.
    std::vector<ts_access_list> walk;
    const auto random_lines = [&](int count) {
      std::string file;
      for (; count > 0; --count) {
        const std::uint32_t base = pool[pick(pool.size())];
        const int prefix = prefixes[pick(std::size(prefixes))];
        const ts_ip_net_mask network = r_dravip_get_net_mask(base, prefix);
        ts_access_list& entry = walk.emplace_back(pick(10), network.net, network.mask);
        std::string line = std::to_string(entry.level) + " " + r_dravip_ip_to_text(base).c_str() +
                           "/" + std::to_string(prefix);
        if (pick(2) == 0) {
          std::snprintf(entry.comment, TEXT_FIELD_SIZE, "c%zu", walk.size());
          line += std::string(21 - line.size(), ' ') + entry.comment;
        }
        file += line + "\n";
      }
      return file;
    };
    const std::string add = random_lines(pick(40));
    load(random_lines(pick(200)), add.c_str());

    for (int round = 0; round < 2000; ++round) {
      std::uint32_t address = pool[pick(pool.size())];
      address ^= static_cast<std::uint32_t>(std::uint64_t{random()} >> pick(33));
      if (pick(200) == 0) {
        walk.insert(walk.begin(), ts_access_list(pick(10), address, 0xFFFFFFFFu));
        r_dravaccess_add_ip(address, "banned", "", walk.front().level);
      }
      Lookup expected{1, ""};
      for (const ts_access_list& entry : walk) {
        if (r_dravip_check_ip_net_mask(address, entry.net, entry.mask) != 0) {
          expected = {entry.level, entry.comment};
          break;
        }
      }
      char comment[TEXT_FIELD_SIZE];
      const std::int32_t level = r_dravaccess_get_access_level(address, comment);
      ASSERT_EQ((Lookup{level, comment}), expected) << "seed " << seed << " address " << address;
    }
  }
}

}  // namespace
