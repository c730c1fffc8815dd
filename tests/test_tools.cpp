// Game text cleaning, the character table, the key-table tokeniser, the binary search, the time
// stamps and the in-game announcement.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "drav_config.h"
#include "drav_net.h"
#include "drav_say.h"
#include "drav_tools.h"
#include "sim_server.h"

namespace {

TEST(Tools, TextCleaningCopiesAndWorksInPlace) {
  const auto console = [](char* dest, const char* source) {
    std::memmove(dest, source, std::strlen(source) + 1);
    r_dravtools_remove_invalid_console_chars(dest);
  };
  const auto eol = [](char* dest, const char* source) {
    std::memmove(dest, source, std::strlen(source) + 1);
    const std::size_t length = r_dravtools_remove_eol(dest);
    EXPECT_EQ(length, std::strlen(dest));
  };
  const struct {
    void (*clean)(char*, const char*);
    std::string input, expected;
  } cases[] = {
      {r_dravtools_remove_colors, "\x01\x02\r\x1F", ""},
      {r_dravtools_remove_colors, "\x01Red\nBlue\x07!", "Red\nBlue!"},
      {r_dravtools_remove_colors, "\x7F \x80\x7E\x1E\xFF", "\x7F \x80\x7E\xFF"},
      {r_dravtools_remove_colors, "", ""},
      {r_dravtools_remove_colors_char, "\x03Pl\ray\ner\x1F", "Play\ner"},
      {r_dravtools_remove_namehack_char, "\rA\x01\rZ\n", "A\x01Z\n"},
      {console, "\"Tom's\" #1 \r$ win\r\n", "\x97Tom\x95s\x97  1   win\n"},
      {eol, "a=1\r\n", "a=1"},
      {eol, "a\n\n", "a\n"},
      {eol, "a\r", "a\r"},
      {eol, "\r\n", ""},
      {eol, "\n", ""},
      {eol, "", ""},
      {eol, "ab", "ab"},
  };
  for (const auto& c : cases) {
    std::string copy(c.input.size() + 1, '?');
    c.clean(copy.data(), c.input.c_str());
    EXPECT_STREQ(copy.c_str(), c.expected.c_str()) << c.input;
    std::string in_place = c.input;
    c.clean(in_place.data(), in_place.data());
    EXPECT_STREQ(in_place.c_str(), c.expected.c_str()) << c.input;
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
  EXPECT_EQ(std::string(field, sizeof field), "short" + std::string(sizeof field - 5, '\0'));

  EXPECT_EQ(r_dravtools_varcmp("Bob", "Bob"), 0);
  EXPECT_LT(r_dravtools_varcmp("Bob", "Bobby"), 0);
  EXPECT_GT(r_dravtools_varcmp("\xE9", "z"), 0);  // bytes compare unsigned
}

TEST(Tools, CharacterTableHoldsOneCharacterPerByte) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  // The code point of game character `byte` when its text is one well-formed UTF-8 character.
  const auto game_char = [](unsigned byte) -> std::optional<char32_t> {
    const char* text = gpac_drav_chars_utf8.at(byte - 0x7F);
    std::mbstate_t state{};
    char32_t code = 0;
    const std::size_t size = std::strlen(text);
    return size > 0 && std::mbrtoc32(&code, text, size, &state) == size ? std::optional(code)
                                                                        : std::nullopt;
  };
  for (unsigned byte = 0x7F; byte <= 0xFF; ++byte) {
    EXPECT_TRUE(game_char(byte).has_value()) << std::hex << byte;
  }
  const std::pair<unsigned, char32_t> spots[] = {
      {0x7F, 0x2190}, {0x80, 0x20},  {0x84, 0x2639}, {0x88, 0x20AC}, {0x95, 0x2019},
      {0x97, 0x201D}, {0x9F, 0x153}, {0xA0, 0x178},  {0xA1, 0xA1},   {0xAB, 0x2019},
      {0xAD, '-'},    {0xE9, 0xE9},  {0xFF, 0xFF}};
  for (const auto& [byte, code] : spots) {
    EXPECT_EQ(game_char(byte), code) << std::hex << byte;
  }
  std::setlocale(LC_CTYPE, "C");
}

TEST(Tools, KeyTableTokeniser) {
  // A key table like the configuration file's and the server replies'.
  char name[TEXT_FIELD_SIZE], host[TEXT_FIELD_SIZE];
  std::memset(name, 'x', sizeof name);
  std::memset(host, 'x', sizeof host);
  std::int32_t port = -1, found[6] = {-1, -1, -1, -1, -1, -1};
  double ratio = -1;
  const ts_parse_entry table[7] = {
      {PARSE_TEXT, name, nullptr, nullptr, &found[0], "name="},
      {PARSE_TEXT, host, nullptr, nullptr, &found[1], "name=host"},
      {PARSE_INT, nullptr, &port, nullptr, &found[2], "port="},
      {PARSE_DOUBLE, nullptr, nullptr, &ratio, &found[3], "ratio="},
      {static_cast<te_parse_type>(7), nullptr, nullptr, nullptr, &found[4], "---"},
      {PARSE_INT, nullptr, nullptr, nullptr, &found[5], "nodest"},
      {PARSE_TEXT, nullptr, nullptr, nullptr, nullptr, nullptr}};
  const auto parse = [&](const std::string& line) {
    return r_dravtools_parse_data(table, line.c_str());
  };
  r_dravtools_parse_init(table);

  const std::pair<std::string, std::string> texts[] = {
      {"name= Bob =x", " Bob =x"},
      {"name=hostile", "hostile"},
      {"name=", ""},
      {"name=" + std::string(600, 'n'), std::string(512, 'n')}};
  for (const auto& [line, value] : texts) {
    EXPECT_EQ(parse(line), 1) << line;
    EXPECT_EQ(std::string(name), value) << line;
  }
  for (const char* line : {"name", "Name=Al", ""}) {
    EXPECT_EQ(parse(line), 0) << line;
  }
  const std::string huge(23, '9');
  const std::pair<std::string, std::int32_t> integers[] = {{"27960", 27960},
                                                           {"  -12", -12},
                                                           {"+8abc", 8},
                                                           {"abc", 0},
                                                           {"", 0},
                                                           {"2147483647", INT32_MAX},
                                                           {"2147483648", INT32_MAX},
                                                           {"-2147483649", INT32_MIN},
                                                           {huge, INT32_MAX},
                                                           {"-" + huge, INT32_MIN}};
  for (const auto& [text, value] : integers) {
    port = -1;
    EXPECT_EQ(parse("port=" + text), 1);
    EXPECT_EQ(port, value) << text;
  }
  EXPECT_EQ(parse("ratio=2.5e1x"), 1);
  EXPECT_EQ(ratio, 25.0);
  EXPECT_EQ(parse("--- anything"), 1);
  EXPECT_EQ(parse("nodest 5"), 1);
  EXPECT_EQ(std::vector<int>(found, found + 6), (std::vector<int>{1, 0, 1, 1, 1, 1}));

  r_dravtools_parse_init(table);
  EXPECT_EQ(std::string(name, sizeof name) + std::string(host, sizeof host),
            std::string(2 * TEXT_FIELD_SIZE, '\0'));
  EXPECT_EQ(std::tuple(port, ratio), std::tuple(0, 0.0));
  EXPECT_EQ(std::vector<int>(found, found + 6), std::vector<int>(6, 0));

  char text[TEXT_FIELD_SIZE];
  const ts_parse_entry any[] = {{PARSE_TEXT, text, nullptr, nullptr, nullptr, ""},
                                {PARSE_TEXT, nullptr, nullptr, nullptr, nullptr, nullptr}};
  r_dravtools_parse_init(any);
  EXPECT_EQ(r_dravtools_parse_data(any, ""), 1);
  EXPECT_EQ(r_dravtools_parse_data(any, "any line"), 1);
  EXPECT_STREQ(text, "any line");
}

TEST(Tools, BlocateFindsOrGivesInsertionPoint) {
  const auto compare = [](const void* key, const void* element) {
    const int a = *static_cast<const int*>(key), b = *static_cast<const int*>(element);
    return (a > b) - (a < b);
  };
  const int values[] = {10, 20, 30, 40, 50};
  const struct {
    int key;
    std::size_t count;
    bool found;
    std::size_t index;
  } cases[] = {{5, 5, false, 0},  {10, 5, true, 0},  {25, 5, false, 2},
               {50, 5, true, 4},  {55, 5, false, 5}, {30, 5, true, 2},
               {10, 0, false, 0}, {45, 4, false, 4}, {10, 1, true, 0}};
  for (const auto& c : cases) {
    std::size_t index = 999;
    const void* hit = r_dravtools_blocate(&c.key, values, c.count, sizeof(int), compare, &index);
    EXPECT_EQ(index, c.index) << c.key << " in " << c.count;
    EXPECT_EQ(hit, c.found ? &values[c.index] : nullptr) << c.key << " in " << c.count;
  }
  EXPECT_EQ(r_dravtools_blocate(&values[3], values, 5, sizeof(int), compare, nullptr), &values[3]);
}

TEST(Tools, GettimeGivesLocalTimeStamp) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-14 22:13:20");
  EXPECT_STREQ(r_dravtools_gettime(951782400), "2000-02-29 00:00:00");
  // 0 means now: the stamp of the current second, or of the next one at a boundary.
  const std::time_t before = std::time(nullptr);
  const std::string now = r_dravtools_gettime(0);
  EXPECT_TRUE(now == r_dravtools_gettime(before) || now == r_dravtools_gettime(before + 1)) << now;
  setenv("TZ", "XST-5", 1);
  tzset();
  EXPECT_STREQ(r_dravtools_gettime(1700000000), "2023-11-15 03:13:20");
}

TEST(Tools, SayFramesConsoleSafeMessageInColour) {
  drav_sim::SimServer server{"secret"};
  ts_config config;
  config.net_server_ip = 0x7F000001;
  config.net_server_port = server.port();
  r_dravtools_varcpy(config.net_server_rcon, "secret");
  config.net_response_timeout_1 = 1000;
  config.net_response_timeout_next = 100;
  r_dravnet_init(config);
  r_dravtools_say(0x107, "%s joined with \"no %d\" #$'", "Bob\r", 5);
  const std::string text(600, 'a');
  r_dravtools_say(3, "%s", text.c_str());
  r_dravnet_finish();
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].command, "say \"-\r\x07*** Bob joined with \x97no 5\x97   \x95 \x07***\"");
  // The console cuts a command at 511 bytes.
  const std::string head = "say \"-\r\x03*** ";
  EXPECT_EQ(commands[1].command, head + std::string(511 - head.size(), 'a'));
}

}  // namespace
