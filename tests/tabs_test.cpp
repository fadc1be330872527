// Tab expansion and its two column limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common.h"

namespace {

struct TabCase {
  const char *name;
  int width;
  std::string line;
  std::string expected;
};

TEST(ExpTab, ExpandsToTheNextStopWithinItsLimits) {
  const std::string filled_1020(1020, 'x');
  const std::string filled_1030(1030, 'x');
  const std::string full(2048, 'x');
  const TabCase cases[] = {
      {"empty", 8, "", ""},
      {"tab first", 8, "\tx", std::string(8, ' ') + "x"},
      {"to the stop", 4, "ab\tc", "ab  c"},
      {"at a stop", 4, "abcd\te", "abcd    e"},
      {"width 1", 1, "a\t\tb", "a  b"},
      {"width 0 acts as 1", 0, "a\tb", "a b"},
      {"bytes count, not characters", 4, "\x82\xA0\t", "\x82\xA0  "},
      {"no reset at a line feed", 4, "ab\ncd\te", "ab\ncd   e"},
      {"up to 1024", 8, filled_1020 + "\tb", filled_1020 + "    b"},
      {"cut at 1024", 10, filled_1020 + "\t", filled_1020 + "    "},
      {"beyond 1024", 8, filled_1030 + "\tb", filled_1030 + "b"},
      {"exactly 2048", 8, full, full},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(std::string(common::exp_tab(c.width, c.line.c_str())), c.expected) << c.name;
  }
}

// Read in text mode, as standard output wrote it: Windows ends its lines in CR LF.
std::string file_text(const std::string &path) {
  std::string text;
  if (std::FILE *in = std::fopen(path.c_str(), "r"); in != nullptr) {
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
      text += static_cast<char>(c);
    }
    std::fclose(in);
  }
  return text;
}

// The child sends standard output to a file, which the parent reads back.
void expect_too_long(const std::string &line, const std::string &name) {
  const std::string output = testing::TempDir() + "exp_tab_" + name + ".txt";
  std::remove(output.c_str());
  EXPECT_EXIT(
      {
        if (std::freopen(output.c_str(), "w", stdout) != nullptr) {
          common::exp_tab(8, line.c_str());
        }
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(file_text(output), line + " ... too long\n") << name;
  std::remove(output.c_str());
}

TEST(ExpTabDeathTest, LineBeyond2048BytesIsFatal) {
  expect_too_long(std::string(2049, 'x'), "plain");
  expect_too_long(std::string(2048, 'x') + "\t", "tab");
  expect_too_long(std::string(1000, 'x') + "\t\t\t\t\t\t" + std::string(1100, 'y'), "expanded");
}

}  // namespace
