// Game text cleaning, the character table, the key-table tokeniser, the binary search and
// the time stamps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "drav_config.h"
#include "drav_net.h"
#include "drav_tools.h"
#include "sim_server.h"

namespace {

using TextFn = void (*)(char*, const char*);

struct CleaningCase {
  const char* name;
  TextFn clean;
  std::string input;
  std::string expected;
};

class TextCleaning : public testing::TestWithParam<CleaningCase> {};

TEST_P(TextCleaning, CopiesAndCleansInPlace) {
  const CleaningCase& c = GetParam();
  std::string copy(c.input.size() + 1, '?');
  c.clean(copy.data(), c.input.c_str());
  EXPECT_STREQ(copy.c_str(), c.expected.c_str());

  std::string in_place = c.input;
  c.clean(in_place.data(), in_place.data());
  EXPECT_STREQ(in_place.c_str(), c.expected.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Tools, TextCleaning,
    testing::Values(CleaningCase{"colors_only", r_dravtools_remove_colors, "\x01\x02\r\x1F", ""},
                    CleaningCase{"colors_keep_lf", r_dravtools_remove_colors, "\x01Red\nBlue\x07!",
                                 "Red\nBlue!"},
                    CleaningCase{"colors_keep_game_chars", r_dravtools_remove_colors,
                                 "\x7F \x80\x7E\x1E\xFF", "\x7F \x80\x7E\xFF"},
                    CleaningCase{"colors_char_same", r_dravtools_remove_colors_char,
                                 "\x03Pl\ray\ner\x1F", "Play\ner"},
                    CleaningCase{"namehack_only_cr", r_dravtools_remove_namehack_char,
                                 "\rA\x01\rB\n",
                                 "A\x01"
                                 "B\n"},
                    CleaningCase{"empty", r_dravtools_remove_colors, "", ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Tools, ConsoleSafeTextHasNoQuotingCharacters) {
  char text[] = "\"Bob's\" #1 \r$ win\r\n";
  r_dravtools_remove_invalid_console_chars(text);
  EXPECT_STREQ(text,
               "\x97"
               "Bob\x95s\x97  1   win\n");
}

TEST(Tools, RemoveEolTakesOneLineEnd) {
  struct Case {
    const char* input;
    const char* expected;
    std::size_t length;
  };
  for (const Case& c :
       {Case{"", "", 0}, Case{"a=1\r\n", "a=1", 3}, Case{"a\n\n", "a\n", 2}, Case{"a\r", "a\r", 2},
        Case{"\n", "", 0}, Case{"\r\n", "", 0}, Case{"ab", "ab", 2}}) {
    std::string text = c.input;
    EXPECT_EQ(r_dravtools_remove_eol(text.data()), c.length) << c.input;
    EXPECT_STREQ(text.c_str(), c.expected);
  }
}

TEST(Tools, VarcpyCutsAt512AndClearsTheRest) {
  const std::string long_text = std::string(300, 'a') + std::string(300, 'b');
  char field[TEXT_FIELD_SIZE];
  std::memset(field, 'x', sizeof field);
  EXPECT_EQ(r_dravtools_varcpy(field, long_text.c_str()), field);
  EXPECT_EQ(std::string(field), long_text.substr(0, 512));

  std::memset(field, 'x', sizeof field);
  r_dravtools_varcpy(field, "short");
  EXPECT_STREQ(field, "short");
  EXPECT_EQ(std::string(field + 5, sizeof field - 5), std::string(sizeof field - 5, '\0'));
}

TEST(Tools, VarcmpOrdersBytesUnsigned) {
  EXPECT_EQ(r_dravtools_varcmp("Bob", "Bob"), 0);
  EXPECT_LT(r_dravtools_varcmp("Bob", "Bobby"), 0);
  EXPECT_GT(r_dravtools_varcmp("b", "a"), 0);
  EXPECT_GT(r_dravtools_varcmp("\xE9", "z"), 0);
}

// Decodes `text` as exactly one well-formed UTF-8 character; nothing otherwise.
std::optional<char32_t> single_code_point(const char* text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const std::size_t length = std::strlen(text);
  const std::size_t need = s[0] < 0x80 ? 1 : (s[0] >> 5) == 6 ? 2 : (s[0] >> 4) == 14 ? 3 : 0;
  if (need == 0 || length != need) {
    return std::nullopt;
  }
  char32_t code = need == 1 ? s[0] : s[0] & (need == 2 ? 0x1F : 0x0F);
  for (std::size_t i = 1; i < need; ++i) {
    if ((s[i] & 0xC0) != 0x80) {
      return std::nullopt;
    }
    code = (code << 6) | (s[i] & 0x3F);
  }
  const char32_t shortest = need == 1 ? 0 : need == 2 ? 0x80 : 0x800;
  if (code < shortest || code == 0 || (code >= 0xD800 && code <= 0xDFFF)) {
    return std::nullopt;
  }
  return code;
}

std::optional<char32_t> game_char(unsigned byte) {
  return single_code_point(gpac_drav_chars_utf8.at(byte - 0x7F));
}

TEST(Tools, CharacterTableEntriesAreSingleCharacters) {
  // Rows 0x7_ (one entry) to 0xF_ (sixteen each).
  std::vector<int> per_row(16, 0);
  for (unsigned byte = 0x7F; byte <= 0xFF; ++byte) {
    EXPECT_TRUE(game_char(byte).has_value()) << std::hex << byte;
    ++per_row[byte >> 4];
  }
  EXPECT_EQ(per_row[7], 1);
  for (int row = 8; row <= 15; ++row) {
    EXPECT_EQ(per_row[row], 16) << row;
  }
}

TEST(Tools, CharacterTableCodePoints) {
  const std::vector<std::pair<unsigned, char32_t>> spots = {
      {0x7F, 0x2190}, {0x80, 0x20},   {0x84, 0x2639}, {0x86, 0x263A}, {0x87, 0x2DC}, {0x88, 0x20AC},
      {0x8F, 0x2C6},  {0x92, 0x2019}, {0x95, 0x2019}, {0x97, 0x201D}, {0x9B, 0x2DC}, {0x9F, 0x153},
      {0xA0, 0x178},  {0xAB, 0x2019}, {0xAD, '-'},    {0xE9, 0xE9},   {0xFF, 0xFF}};
  for (const auto& [byte, code] : spots) {
    EXPECT_EQ(game_char(byte), code) << std::hex << byte;
  }
  // From 0xA1 up the game follows ISO 8859-1, apart from its two own characters.
  for (unsigned byte = 0xA1; byte <= 0xFF; ++byte) {
    if (byte != 0xAB && byte != 0xAD) {
      EXPECT_EQ(game_char(byte), static_cast<char32_t>(byte)) << std::hex << byte;
    }
  }
}

// A key table like the configuration file's and the server replies'.
struct ParseFixture : testing::Test {
  char name[TEXT_FIELD_SIZE];
  char host[TEXT_FIELD_SIZE];
  std::int32_t port = -1;
  double ratio = -1;
  std::int32_t found_name = -1, found_host = -1, found_port = -1, found_ratio = -1,
               found_marker = -1, found_nodest = -1;
  const ts_parse_entry table[7] = {
      {PARSE_TEXT, name, nullptr, nullptr, &found_name, "name="},
      {PARSE_TEXT, host, nullptr, nullptr, &found_host, "name=host"},
      {PARSE_INT, nullptr, &port, nullptr, &found_port, "port="},
      {PARSE_DOUBLE, nullptr, nullptr, &ratio, &found_ratio, "ratio="},
      {static_cast<te_parse_type>(7), nullptr, nullptr, nullptr, &found_marker, "---"},
      {PARSE_INT, nullptr, nullptr, nullptr, &found_nodest, "nodest"},
      {PARSE_TEXT, nullptr, nullptr, nullptr, nullptr, nullptr}};

  void SetUp() override {
    std::memset(name, 'x', sizeof name);
    std::memset(host, 'x', sizeof host);
    r_dravtools_parse_init(table);
  }
};

TEST_F(ParseFixture, ResetClearsEveryDestination) {
  ASSERT_EQ(r_dravtools_parse_data(table, "port=7"), 1);
  r_dravtools_parse_init(table);
  EXPECT_EQ(std::string(name, sizeof name), std::string(sizeof name, '\0'));
  EXPECT_EQ(std::string(host, sizeof host), std::string(sizeof host, '\0'));
  EXPECT_EQ(port, 0);
  EXPECT_EQ(ratio, 0.0);
  for (std::int32_t flag : {found_name, found_host, found_port, found_ratio, found_marker}) {
    EXPECT_EQ(flag, 0);
  }
}

TEST_F(ParseFixture, TextValues) {
  EXPECT_EQ(r_dravtools_parse_data(table, "name= Bob =x"), 1);
  EXPECT_STREQ(name, " Bob =x");
  EXPECT_EQ(found_name, 1);
  // The first listed key takes every line that begins with it.
  EXPECT_EQ(r_dravtools_parse_data(table, "name=hostile"), 1);
  EXPECT_STREQ(name, "hostile");
  EXPECT_EQ(found_host, 0);
  // A key alone gives an empty text; a shorter line or another case never matches.
  EXPECT_EQ(r_dravtools_parse_data(table, "name="), 1);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(r_dravtools_parse_data(table, "name"), 0);
  EXPECT_EQ(r_dravtools_parse_data(table, "Name=Al"), 0);
  EXPECT_EQ(r_dravtools_parse_data(table, ""), 0);
  const std::string long_line = "name=" + std::string(600, 'n');
  EXPECT_EQ(r_dravtools_parse_data(table, long_line.c_str()), 1);
  EXPECT_EQ(std::string(name), std::string(512, 'n'));
}

TEST_F(ParseFixture, IntegersFollowStrtolAndSaturate) {
  struct Case {
    const char* line;
    std::int32_t value;
  };
  for (const Case& c : {Case{"port=27960", 27960}, Case{"port=  -12", -12}, Case{"port=+8abc", 8},
                        Case{"port=abc", 0}, Case{"port=", 0}, Case{"port=2147483647", INT32_MAX},
                        Case{"port=2147483648", INT32_MAX}, Case{"port=-2147483649", INT32_MIN},
                        Case{"port=99999999999999999999999", INT32_MAX},
                        Case{"port=-99999999999999999999999", INT32_MIN}}) {
    port = -1;
    EXPECT_EQ(r_dravtools_parse_data(table, c.line), 1);
    EXPECT_EQ(port, c.value) << c.line;
  }
  EXPECT_EQ(found_port, 1);
}

TEST_F(ParseFixture, DoublesMarkersAndMissingDestinations) {
  EXPECT_EQ(r_dravtools_parse_data(table, "ratio=2.5e1x"), 1);
  EXPECT_EQ(ratio, 25.0);
  EXPECT_EQ(r_dravtools_parse_data(table, "--- anything"), 1);
  EXPECT_EQ(found_marker, 1);
  EXPECT_EQ(r_dravtools_parse_data(table, "nodest 5"), 1);
  EXPECT_EQ(found_nodest, 1);
  EXPECT_EQ(port, 0);
}

TEST(Tools, EmptyKeyMatchesEveryLine) {
  char text[TEXT_FIELD_SIZE];
  const ts_parse_entry table[] = {{PARSE_TEXT, text, nullptr, nullptr, nullptr, ""},
                                  {PARSE_TEXT, nullptr, nullptr, nullptr, nullptr, nullptr}};
  r_dravtools_parse_init(table);
  EXPECT_EQ(r_dravtools_parse_data(table, ""), 1);
  EXPECT_EQ(r_dravtools_parse_data(table, "any line"), 1);
  EXPECT_STREQ(text, "any line");
}

int compare_ints(const void* key, const void* element) {
  const int a = *static_cast<const int*>(key);
  const int b = *static_cast<const int*>(element);
  return (a > b) - (a < b);
}

TEST(Tools, BlocateFindsOrGivesInsertionPoint) {
  const int values[] = {10, 20, 30, 40, 50};
  struct Case {
    int key;
    std::size_t count;
    bool found;
    std::size_t index;
  };
  for (const Case& c : {Case{5, 5, false, 0}, Case{10, 5, true, 0}, Case{25, 5, false, 2},
                        Case{50, 5, true, 4}, Case{55, 5, false, 5}, Case{30, 5, true, 2},
                        Case{10, 0, false, 0}, Case{45, 4, false, 4}, Case{10, 1, true, 0}}) {
    std::size_t index = 999;
    const void* hit =
        r_dravtools_blocate(&c.key, values, c.count, sizeof(int), compare_ints, &index);
    EXPECT_EQ(index, c.index) << c.key << " in " << c.count;
    EXPECT_EQ(hit, c.found ? &values[c.index] : nullptr) << c.key << " in " << c.count;
  }
  const int key = 40;
  EXPECT_EQ(r_dravtools_blocate(&key, values, 5, sizeof(int), compare_ints, nullptr), &values[3]);
}

// Sets TZ for one test and restores it afterwards.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
      saved_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Tools, GettimeGivesLocalTimeStamp) {
  {
    ZoneGuard zone("UTC");
    EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-14 22:13:20");
    EXPECT_STREQ(r_dravtools_gettime(951782400), "2000-02-29 00:00:00");
    // 0 means now: the stamp of the current second (or the next, at a boundary).
    const std::time_t before = std::time(nullptr);
    const std::string now = r_dravtools_gettime(0);
    const std::string expected_before = r_dravtools_gettime(before);
    const std::string expected_after = r_dravtools_gettime(before + 1);
    EXPECT_TRUE(now == expected_before || now == expected_after) << now;
  }
  ZoneGuard zone("XST-5");
  EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-15 03:13:20");
}

// Announcements reach the simulated server over 127.0.0.1 as "say" commands.
class SayFixture : public testing::Test {
 protected:
  void SetUp() override {
    config.net_server_ip = 0x7F000001;
    config.net_server_port = server.port();
    r_dravtools_varcpy(config.net_server_rcon, "secret");
    config.net_response_timeout_1 = 1000;
    config.net_response_timeout_next = 100;
    r_dravnet_init(config);
  }
  void TearDown() override { r_dravnet_finish(); }

  std::string last_command() const {
    const auto commands = server.commands();
    return commands.empty() ? std::string() : commands.back().command;
  }

  drav_sim::SimServer server{"secret"};
  ts_config config;
};

TEST_F(SayFixture, FramesConsoleSafeMessageInColour) {
  r_dravtools_say(0x107, "%s joined with \"%d\" #$'", "Bob\r", 5);
  EXPECT_EQ(last_command(),
            "say \"-\r\x07*** Bob joined with \x97"
            "5\x97   \x95 \x07***\"");
}

TEST_F(SayFixture, LongMessageIsCutAt511Bytes) {
  const std::string text(600, 'a');
  r_dravtools_say(3, "%s", text.c_str());
  const std::string head = "say \"-\r\x03*** ";
  EXPECT_EQ(last_command(), head + std::string(511 - head.size(), 'a'));
}

}  // namespace
