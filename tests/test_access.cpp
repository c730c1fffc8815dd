#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
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
using ::testing::MatchesRegex;

namespace {

std::uint64_t ip(const char* text) {
  return r_dravip_string_to_ip(text);
}

// The time stamp of log lines and ban blocks, as a regular expression.
const std::string STAMP = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

struct Lookup {
  std::int32_t level;
  std::string comment;
};

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    std::snprintf(config_.access_list_file, TEXT_FIELD_SIZE, "%s", main_path().c_str());
    std::snprintf(config_.access_list_file_add, TEXT_FIELD_SIZE, "%s", add_path().c_str());
    std::snprintf(config_.log_file_ip, TEXT_FIELD_SIZE, "%s", dir_.file("history.txt").c_str());
    write_file(config_.log_file_ip, "");
  }

  // Writes both files (an add file only when `add` is given) and loads the list.
  void load(const std::string& main, const std::string* add = nullptr) {
    write_file(main_path(), main);
    if (add != nullptr) {
      write_file(add_path(), *add);
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

  void expect_fatal(const std::string& main, const std::string& add, const std::string& message) {
    write_file(main_path(), main);
    write_file(add_path(), add);
    EXPECT_EXIT(
        {
          std::freopen("/dev/null", "r", stdin);
          r_dravaccess_init(config_);
        },
        ::testing::ExitedWithCode(1), fatal_stderr_pattern(message))
        << "main file:\n"
        << main << "\nadd file:\n"
        << add;
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
      "; comment line\n"
      "\n"
      "0 192.0.2.0/30       first quarter\r\n"
      "A 192.0.2.4\n"
      "i 192.0.2.5          nine\n"
      "3 192.0.2.10         \x01red\x02 comment \n"
      "3 192.0.2.11 x \n"
      "4 192.0.2.12         " +
      long_comment +
      "\n"
      "7 not.an.address     odd\n"
      "2 192.0.2.13/33      bad prefix\n" +
      full_buffer_line + "8 192.0.2.201\n" +
      "5 198.51.100.0/24\n"
      "9 0.0.0.0/0          everybody else\n");

  struct Case {
    const char* address;
    std::int32_t level;
    std::string comment;
  };
  const std::vector<Case> cases = {
      {"192.0.2.3", 0, "first quarter"},
      {"192.0.2.4", 1, ""},
      {"192.0.2.5", 9, "nine"},
      {"192.0.2.10", 3, "\x01red\x02 comment "},
      {"192.0.2.11", 3, ""},
      {"192.0.2.12", 4, long_comment.substr(0, 512)},
      {"0.0.0.0", 7, "odd"},
      {"192.0.2.13", 2, "bad prefix"},
      {"192.0.2.14", 9, "everybody else"},
      {"192.0.2.200", 6, std::string(512, ' ')},
      {"192.0.2.201", 8, ""},
      {"198.51.100.77", 5, ""},
  };
  for (const Case& c : cases) {
    const Lookup found = lookup(c.address);
    EXPECT_EQ(found.level, c.level) << c.address;
    EXPECT_EQ(found.comment, c.comment) << c.address;
  }
}

TEST_F(AccessTest, NothingMatchesGivesLevelOneAndAnEmptyComment) {
  config_.access_list_file_add[0] = '\0';
  load("7 0.0.0.0\n");  // nine characters: the shortest valid line
  EXPECT_EQ(lookup("0.0.0.0").level, 7);
  const Lookup found = lookup("203.0.113.1");
  EXPECT_EQ(found.level, 1);
  EXPECT_EQ(found.comment, "");
  EXPECT_EQ(r_dravaccess_get_access_level(ip("203.0.113.1"), nullptr), 1);
}

TEST_F(AccessTest, FirstMatchWinsAcrossBansAddFileAndMainFile) {
  const std::string add =
      "5 192.0.2.0/24       add wide\n"
      "2 192.0.2.7          add narrow, hidden\n";
  load(
      "0 192.0.2.0/16       main, hidden by the add file\n"
      "6 198.51.100.0/24    main wide\n"
      "1 198.51.100.9       main narrow, hidden\n",
      &add);
  EXPECT_EQ(lookup("192.0.2.7").level, 5);
  EXPECT_EQ(lookup("192.0.2.7").comment, "add wide");
  EXPECT_EQ(lookup("192.0.3.1").level, 0);
  EXPECT_EQ(lookup("198.51.100.9").level, 6);

  r_dravaccess_add_ip(ip("198.51.100.9"), "first ban", "", 3);
  r_dravaccess_add_ip(ip("198.51.100.9"), "second ban", "", 4);
  EXPECT_EQ(lookup("198.51.100.9").level, 4);
  EXPECT_EQ(lookup("198.51.100.9").comment, "") << "a ban's comment is only in the file";
  EXPECT_EQ(lookup("198.51.100.8").level, 6);

  // After a restart the bans are read back from the end of the add file in the order they
  // were made, so the older one now comes first, with its comment.
  r_dravaccess_init(config_);
  EXPECT_EQ(lookup("198.51.100.9").level, 3);
  EXPECT_EQ(lookup("198.51.100.9").comment, "first ban");
  EXPECT_EQ(lookup("192.0.2.7").level, 5);
}

TEST_F(AccessTest, MissingFiles) {
  // A missing add file is no error; the first ban creates it.
  load("4 192.0.2.1\n");
  EXPECT_EQ(lookup("192.0.2.1").level, 4);
  r_dravaccess_block_ip(ip("192.0.2.1"), "", "");
  EXPECT_EQ(lookup("192.0.2.1").level, 0);
  EXPECT_THAT(read_file(add_path()), MatchesRegex("; " + STAMP + "\n0 192\\.0\\.2\\.1      \n\n"));

  // Unnamed files are not read at all.
  config_.access_list_file[0] = '\0';
  config_.access_list_file_add[0] = '\0';
  r_dravaccess_init(config_);
  EXPECT_EQ(lookup("192.0.2.1").level, 1);

  std::snprintf(config_.access_list_file, TEXT_FIELD_SIZE, "%s", dir_.file("none.txt").c_str());
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravaccess_init(config_);
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_access - File " + dir_.file("none.txt") +
                           " could not be opened\n"));
}

TEST_F(AccessTest, InvalidLinesAreFatalWithFileAndLine) {
  struct Case {
    std::string line;
    std::string message_format;  // %F is the file, %L the line
  };
  const std::vector<Case> cases = {
      {"5 1.2.34", "./src/drav_access - Invalid line in %F (too short): %L\n"},
      {"x", "./src/drav_access - Invalid line in %F (too short): %L\n"},
      {"5192.0.2.1", "./src/drav_access - Invalid line in %F (no space on second pos): %L\n"},
      {"j 192.0.2.1", "./src/drav_access - Invalid line in %F: %L\n"},
      {"- 192.0.2.1", "./src/drav_access - Invalid line in %F: %L\n"},
      {"\xe1 192.0.2.1", "./src/drav_access - Invalid line in %F: %L\n"},
  };
  for (const Case& c : cases) {
    for (const bool in_add_file : {false, true}) {
      std::string message = c.message_format;
      message.replace(message.find("%F"), 2, in_add_file ? add_path() : main_path());
      message.replace(message.find("%L"), 2, c.line);
      const std::string bad = "1 192.0.2.1\n" + c.line + "\r\n";
      expect_fatal(in_add_file ? "" : bad, in_add_file ? bad : "", message);
    }
  }
}

TEST_F(AccessTest, BanBlocksAreAppendedByteForByte) {
  load("");
  auto pad = [](std::size_t blanks) { return std::string(blanks, ' '); };
  const std::string stamp = "; " + STAMP;
  struct Case {
    const char* address;
    const char* comment;
    const char* reason;
    std::int32_t level;
    std::string expected;  // regular expression of the block
  };
  const std::vector<Case> cases = {
      {"192.0.2.1", "Some\x01Name", "Client banned by admin", 0,
       stamp + " - Client banned by admin\n0 192\\.0\\.2\\.1" + pad(6 + 4) + "Some\x01Name\n\n"},
      {"203.0.113.255", "", "IP banned by admin", 0,
       stamp + " - IP banned by admin\n0 203\\.0\\.113\\.255" + pad(2) + "\n\n"},
      {"198.51.100.10", nullptr, nullptr, 7, stamp + "\n7 198\\.51\\.100\\.10" + pad(2) + "\n\n"},
      {"198.51.100.11", "note", "", 0, stamp + "\n0 198\\.51\\.100\\.11" + pad(2 + 4) + "note\n\n"},
  };
  std::string expected;
  for (const Case& c : cases) {
    if (c.level == 0) {
      r_dravaccess_block_ip(ip(c.address), c.comment, c.reason);
    } else {
      r_dravaccess_add_ip(ip(c.address), c.comment, c.reason, c.level);
    }
    expected += c.expected;
    EXPECT_THAT(read_file(add_path()), MatchesRegex(expected));
    EXPECT_EQ(lookup(c.address).level, c.level);
  }
}

TEST_F(AccessTest, BanWithoutAddFileHoldsForTheRunAndIsLogged) {
  config_.access_list_file_add[0] = '\0';
  std::snprintf(config_.log_file, TEXT_FIELD_SIZE, "%s", dir_.file("log.txt").c_str());
  r_dravlog_init(config_);
  write_file(config_.log_file_ip,
             "20120218 192.0.2.7       Red\\\n"
             "20120218 192.0.2.8       Blue\\\n");
  load("5 192.0.2.0/24\n");
  ASSERT_EQ(r_dravlistip_get_list()[0].access_level, 5);

  r_dravaccess_block_ip(ip("192.0.2.7"), "Red", "Client banned by admin");
  r_dravlog_init_first();  // closes the log file

  EXPECT_EQ(lookup("192.0.2.7").level, 0);
  EXPECT_EQ(lookup("192.0.2.8").level, 5);
  EXPECT_EQ(r_dravlistip_get_list()[0].access_level, 0);
  EXPECT_EQ(r_dravlistip_get_list()[1].access_level, 5);
  EXPECT_THAT(read_file(dir_.file("log.txt")),
              MatchesRegex(STAMP + " IP     Ban not saved 192\\.0\\.2\\.7: no access_list_file_add "
                                   "configured\n"));
}

TEST_F(AccessTest, BanThatCannotBeWrittenIsFatal) {
  load("");
  std::snprintf(config_.access_list_file_add, TEXT_FIELD_SIZE, "%s", dir_.path().c_str());
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravaccess_block_ip(ip("192.0.2.1"), "", "");
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_access - File " + dir_.path().string() +
                           " could not be opened for appending\n"));
  // The full device accepts the open and fails when the block is flushed at the close.
  std::snprintf(config_.access_list_file_add, TEXT_FIELD_SIZE, "/dev/full");
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        r_dravaccess_block_ip(ip("192.0.2.1"), "", "");
      },
      ::testing::ExitedWithCode(1),
      fatal_stderr_pattern("./src/drav_access - File /dev/full could not be closed\n"));
}

// The list as it would be walked: bans newest first, then the add file, then the main file.
struct Reference {
  std::vector<ts_access_list> entries;

  Lookup walk(std::uint64_t address) const {
    for (const ts_access_list& entry : entries) {
      if (r_dravip_check_ip_net_mask(address, entry.net, entry.mask) != 0) {
        return {entry.level, entry.comment};
      }
    }
    return {1, ""};
  }
};

TEST_F(AccessTest, IndexedLookupEqualsTheFirstMatchWalk) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    std::mt19937 random(seed);
    auto pick = [&](int below) { return static_cast<int>(random() % below); };
    // A small pool of base addresses makes overlaps and duplicates frequent.
    std::vector<std::uint32_t> pool;
    for (int i = 0; i < 12; ++i) {
      pool.push_back(0xC0000200u +
                     static_cast<std::uint32_t>(pick(4) << 16 | pick(4) << 8 | pick(8)));
    }
    const std::vector<int> prefixes = {0, 1, 7, 8, 12, 16, 20, 22, 24, 28, 30, 31, 32, 32, 32};
    auto random_entry = [&](std::string& file, Reference& reference) {
      const std::uint32_t base = pool[pick(static_cast<int>(pool.size()))];
      const int prefix = prefixes[pick(static_cast<int>(prefixes.size()))];
      ts_access_list entry;
      entry.level = pick(10);
      const ts_ip_net_mask network = r_dravip_get_net_mask(base, prefix);
      entry.net = network.net;
      entry.mask = network.mask;
      char line[64];
      std::snprintf(line, sizeof line, "%d %s/%d", entry.level, r_dravip_ip_to_text(base).c_str(),
                    prefix);
      std::string text = line;
      if (pick(2) == 0) {
        const std::string comment = "c" + std::to_string(reference.entries.size());
        std::snprintf(entry.comment, TEXT_FIELD_SIZE, "%s", comment.c_str());
        text += std::string(21 - text.size(), ' ') + comment;
      }
      file += text + "\n";
      reference.entries.push_back(entry);
    };

    Reference add_part;
    Reference main_part;
    std::string add;
    std::string main;
    for (int i = pick(40); i > 0; --i) {
      random_entry(add, add_part);
    }
    for (int i = pick(200); i > 0; --i) {
      random_entry(main, main_part);
    }
    load(main, &add);
    Reference reference;
    reference.entries = add_part.entries;
    reference.entries.insert(reference.entries.end(), main_part.entries.begin(),
                             main_part.entries.end());

    for (int round = 0; round < 2000; ++round) {
      std::uint32_t address = pool[pick(static_cast<int>(pool.size()))];
      address ^= static_cast<std::uint32_t>(std::uint64_t{random()} >> pick(33));
      if (pick(200) == 0) {
        ts_access_list ban;
        ban.level = pick(10);
        ban.net = address;
        ban.mask = 0xFFFFFFFFu;
        reference.entries.insert(reference.entries.begin(), ban);
        r_dravaccess_add_ip(address, "banned", "", ban.level);
      }
      const Lookup expected = reference.walk(address);
      char comment[TEXT_FIELD_SIZE];
      const std::int32_t level = r_dravaccess_get_access_level(address, comment);
      ASSERT_EQ(level, expected.level) << "seed " << seed << " address " << address;
      ASSERT_STREQ(comment, expected.comment.c_str()) << "seed " << seed;
    }
  }
}

}  // namespace
