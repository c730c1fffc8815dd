#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drav_screen.h"

namespace {

std::vector<std::string> pane_tail(int count) {
  std::vector<std::string> lines;
  for (int i = r_dravscreen_log_line_count() - count; i < r_dravscreen_log_line_count(); ++i) {
    lines.push_back(r_dravscreen_log_line(i));
  }
  return lines;
}

TEST(LogPaneTest, TextIsCutIntoLinesAtEveryLineFeed) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"one", {"one"}},
      {"", {""}},
      {"one\n", {"one"}},
      {"one\ntwo", {"one", "two"}},
      {"one\n\ntwo\n", {"one", "", "two"}},
      {"\n", {""}},
      {"\x02"
       "col\x7F\xE9",
       {"\x02"
        "col\x7F\xE9"}},
  };
  for (const Case& c : cases) {
    const int before = r_dravscreen_log_line_count();
    r_dravscreen_add_log_line(c.text.c_str());
    const int added = r_dravscreen_log_line_count() - before;
    if (before + static_cast<int>(c.lines.size()) <= LOG_LINES_MAX) {
      EXPECT_EQ(added, static_cast<int>(c.lines.size())) << c.text;
    }
    EXPECT_EQ(pane_tail(static_cast<int>(c.lines.size())), c.lines) << c.text;
    EXPECT_EQ(r_dravscreen_log_cursor().current, r_dravscreen_log_line_count() - 1);
  }
}

TEST(LogPaneTest, KeepsTheNewestThousandLines) {
  for (int i = 0; i < 1500; ++i) {
    r_dravscreen_add_log_line(("line " + std::to_string(i)).c_str());
  }
  ASSERT_EQ(r_dravscreen_log_line_count(), LOG_LINES_MAX);
  EXPECT_EQ(r_dravscreen_log_line(0), "line 500");
  EXPECT_EQ(r_dravscreen_log_line(999), "line 1499");
  r_dravscreen_add_log_line("a\nb");
  EXPECT_EQ(r_dravscreen_log_line(0), "line 502");
  EXPECT_EQ(r_dravscreen_log_line(999), "b");
  EXPECT_EQ(r_dravscreen_log_cursor().current, 999);
}

TEST(IpCursorTest, SelectionFollowsItsEntryWhenEntriesAreInsertedAtOrBeforeIt) {
  struct Case {
    int current;
    int inserted_at;
    int expected;
  };
  const Case cases[] = {{5, 2, 6}, {5, 5, 6}, {5, 6, 5}, {0, 0, 1}, {0, 3, 0}};
  for (const Case& c : cases) {
    r_dravscreen_set_ip_cursor({4, c.current});
    r_dravscreen_ip_inserted(c.inserted_at);
    EXPECT_EQ(r_dravscreen_ip_cursor().current, c.expected);
    EXPECT_EQ(r_dravscreen_ip_cursor().top, 4);
  }
}

}  // namespace
