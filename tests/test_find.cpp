// IP history finding: what each query kind matches, and wrapping steps over storage blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "drav_access.h"
#include "drav_config.h"
#include "drav_ip.h"
#include "drav_listip.h"
#include "drav_log.h"
#include "support.h"

using namespace drav_test;

namespace {

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r_dravlog_init_first();
    r_dravtools_varcpy(config_.log_file_ip, dir_.file("history.txt").c_str());
  }
  void TearDown() override {
    r_dravlistip_set_inserted_function(nullptr);
    r_dravlistip_finish();
    r_dravaccess_finish();
  }
  void load(const std::string& history) {
    write_file(dir_.file("history.txt"), history);
    r_dravaccess_init(config_);  // no access list: every level is 1
    r_dravlistip_init(config_);
  }

  drav_test::TempDir dir_;
  ts_config config_;
};

TEST_F(FindTest, QueriesMatchAddressesNetworksAndTheTextAsShown) {
  // Sorted: 0 and 1 of 192.0.2.7 (a colour code sorts before letters), 2 of 192.0.2.9 (game
  // character 0xE9), 3 of 198.51.100.4, 4 undated of 203.0.113.5.
  load(
      "20120218 192.0.2.7       Blue\\\n"
      "20120218 192.0.2.7       \x01Red\x07"
      "Fox\\fox.example;GW.example\n"
      "20130301 192.0.2.9       Gr\xE9"
      "en\\host.example\n"
      "20140101 198.51.100.4    Red\\dsl-4.isp.example\n"
      "00000000 203.0.113.5     Old\\\n");
  const struct {
    const char* text;
    te_listip_query_kind te_kind;
    std::vector<std::int32_t> ai_found;  // every match, in list order
    const char* error;                   // for a query that is refused
  } cases[] = {  // and those of the program's find
      {"192.0.2.0/24", QUERY_NETWORK, {0, 1, 2}, ""},
      {"192.0.2.9/31", QUERY_NETWORK, {2}, ""},  // host bits ignored: .8 and .9
      {"0.0.0.0/0", QUERY_NETWORK, {0, 1, 2, 3, 4}, ""},
      {"192.0.2.8", QUERY_ADDRESS, {}, ""},
      {"redFOX", QUERY_TEXT, {0}, ""},  // without colour codes, either case
      {"gw.EXAMPLE", QUERY_TEXT, {0}, ""},
      {"-4.isp", QUERY_TEXT, {3}, ""},
      {"old", QUERY_TEXT, {4}, ""},
      // Two or three dotted numbers are the network they name; a bare number is a text.
      {"198.51", QUERY_NETWORK, {3}, ""},
      {"203", QUERY_TEXT, {}, ""},
      {"192.0.2.", QUERY_TEXT, {}, ""},
      {"192.0.2.07x", QUERY_TEXT, {}, ""},
      {"192.000.002.0007", QUERY_TEXT, {}, "Bad address: 192.000.002.0007"},  // 16 characters
      // Colour codes are removed as from the names.
      {"r\x02" "ed\x07" "f", QUERY_TEXT, {0}, ""},
      {"\x01\x02", QUERY_TEXT, {}, "Empty query"},
      {"x.example;gx", QUERY_TEXT, {}, ""},
      {"192.0.2.0/x", QUERY_TEXT, {}, "Bad network: 192.0.2.0/x"},
      {"", QUERY_TEXT, {}, "Empty query"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto parsed = r_dravlistip_parse_query(c.text, error);
    EXPECT_EQ(error, c.error) << c.text;
    if (!parsed)
      continue;
    EXPECT_EQ(parsed->te_kind, c.te_kind) << c.text;
    std::vector<std::int32_t> found;
    for (std::int32_t i = r_dravlistip_find(*parsed, 0, 1); i >= 0 && found.size() < 6;
         i = r_dravlistip_find(*parsed, i + 1, 1)) {
      if (!found.empty() && i <= found.back()) {
        break;  // wrapped around
      }
      found.push_back(i);
    }
    EXPECT_EQ(found, c.ai_found) << c.text;
  }
}

TEST_F(FindTest, StepsWrapBothWaysOverBlocksAlsoAfterInsertionsSplitOne) {
  // 9000 entries: n%04d of 198.51.100.(n % 200), so address a holds n = a, a + 200, ...,
  // a + 8800 at indices 45 a to 45 a + 44.
  std::string history;
  for (int n = 0; n < 9000; ++n) {
    char line[64];
    std::snprintf(line, sizeof line, "20200101 198.51.100.%-4d n%04d\\\n", n % 200, n);
    history += line;
  }
  load(history);
  std::string error;
  const auto text = r_dravlistip_parse_query("N4321", error);  // index 121 * 45 + 21
  // .100 to .103: indices 4500 to 4679
  const auto network = r_dravlistip_parse_query("198.51.100.101/30", error);
  ASSERT_TRUE(text && network);
  const struct {
    const ts_listip_query& query;
    std::int32_t start, step, found;
  } steps[] = {
      {*text, 0, 1, 5466},        {*text, 5467, 1, 5466},     {*text, 5465, -1, 5466},
      {*text, -1, -1, 5466},      {*network, 5000, 1, 4500},  {*network, 5000, -1, 4679},
      {*network, 4000, -1, 4679}, {*network, 4600, -1, 4600}, {*network, 9000, 1, 4500},
  };
  for (const auto& s : steps)
    EXPECT_EQ(r_dravlistip_find(s.query, s.start, s.step), s.found) << s.start << " " << s.step;
  // 4097 names after the n names of 198.51.100.0: the first blocks grow until one splits.
  static std::int32_t last_inserted;
  r_dravlistip_set_inserted_function([](std::int32_t index) { last_inserted = index; });
  for (int q = 0; q < 4097; ++q)
    r_dravlistip_add_ip_name(ip("198.51.100.0"), ("q" + std::to_string(10000 + q)).c_str(), "");
  const auto list = r_dravlistip_get_list();
  std::int32_t first = 0;
  std::int32_t end = 0;
  r_dravlistip_ip_locate(ip("198.51.100.1"), first, end);
  EXPECT_EQ(std::tuple(last_inserted, list.size(), first, end, std::string(list[4142].name)),
            std::tuple(4141, std::size_t{13097}, 4142, 4187, std::string("n0001")));
  EXPECT_EQ(r_dravlistip_find(*text, 13000, 1), 5466 + 4097);
  EXPECT_EQ(r_dravlistip_find(*network, 0, -1), 4679 + 4097);
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), [](const auto& a, const auto& b) {
    return a.ip != b.ip ? a.ip < b.ip : std::string(a.name) < b.name;
  }));
}

}  // namespace
