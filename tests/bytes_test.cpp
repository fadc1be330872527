// Byte-wise searches, skips, copies and fills.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "common.h"

namespace {

std::ptrdiff_t position(const char *found, const std::string &text) {
  return found == nullptr ? -1 : found - text.c_str();
}

TEST(Isnum, DigitsUpToTheFirstStopByte) {
  const std::pair<const char *, int> cases[] = {
      {"", 1},    {"123", 1}, {"12 ab", 1}, {"12\tx", 1},  {"7\nx", 1},
      {"12a", 0}, {"-1", 0},  {"1.5", 0},   {"12\r\n", 0}, {"\xB1", 0},
  };
  for (const auto &[text, expected] : cases) {
    EXPECT_EQ(common::isnum(text), expected) << text;
  }
}

struct SearchCase {
  const char *name;
  std::string text;
  const char *(*search)(const char *);
  std::ptrdiff_t expected;
};

TEST(ByteSearches, StopWhereTheBytesSay) {
  const std::string banana = "banana";
  const SearchCase cases[] = {
      {"index backslash", "\x95\x5C", [](const char *t) { return common::index(t, '\\'); }, 1},
      {"index n", banana, [](const char *t) { return common::index(t, 'n'); }, 2},
      {"index NUL", banana, [](const char *t) { return common::index(t, 0); }, -1},
      {"rindex n", banana, [](const char *t) { return common::rindex(t, 'n'); }, 4},
      {"rindex first byte", banana, [](const char *t) { return common::rindex(t, 'b'); }, 0},
      {"rindex empty", "", [](const char *t) { return common::rindex(t, 'a'); }, -1},
      {"index1 ana", banana, [](const char *t) { return common::index1(t, "ana"); }, 1},
      {"index1 nab", banana, [](const char *t) { return common::index1(t, "nab"); }, -1},
      {"index1 empty pattern", "abc", [](const char *t) { return common::index1(t, ""); }, 0},
      {"index1 both empty", "", [](const char *t) { return common::index1(t, ""); }, -1},
      {"srch_wild", "a?b*", [](const char *t) { return common::srch_wild(t); }, 1},
      {"srch_wild none", "abc", [](const char *t) { return common::srch_wild(t); }, -1},
      {"sp_skip", " \tx", [](const char *t) { return common::sp_skip(t); }, 2},
      {"sp_skip empty", "", [](const char *t) { return common::sp_skip(t); }, 0},
      {"chr_skip", "ab cd", [](const char *t) { return common::chr_skip(t); }, 2},
      {"chr_skip none", "abc", [](const char *t) { return common::chr_skip(t); }, 3},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(position(c.search(c.text.c_str()), c.text), c.expected) << c.name;
  }
}

struct CopyCase {
  std::ptrdiff_t source;
  std::ptrdiff_t destination;
  int count;
  std::string expected;
};

TEST(Bcopy, CopiesUpwardFromTheFirstByte) {
  const CopyCase cases[] = {
      {0, 1, 3, "aaaa"}, {1, 0, 3, "bcdd"},  {0, 2, 2, "abab"},
      {0, 1, 0, "abcd"}, {0, 1, -1, "abcd"},
  };
  for (const auto &c : cases) {
    std::string buffer = "abcd";
    EXPECT_EQ(common::bcopy(buffer.data() + c.destination, buffer.data() + c.source, c.count), 0);
    EXPECT_EQ(buffer, c.expected) << c.source << "->" << c.destination << " x" << c.count;
  }
}

TEST(InsChar, ShiftsTheTextIntact) {
  char text[8] = "bc\0zzzz";
  EXPECT_EQ(common::insChar(text, 'a'), 0);
  EXPECT_EQ(std::string(text, 5), std::string("abc\0z", 5));

  char empty[3] = {'\0', 'z', 'z'};
  common::insChar(empty, 0x1A1);  // only the low 8 bits count
  EXPECT_EQ(std::string(empty, 3), std::string("\xA1\0z", 3));
}

TEST(Clear, FillsCountBytesWithoutATerminator) {
  const std::pair<int, std::string> cases[] = {{3, "xxxd"}, {0, "abcd"}, {-2, "abcd"}};
  for (const auto &[count, expected] : cases) {
    std::string buffer = "abcd";
    common::clear(buffer.data(), 'x', count);
    EXPECT_EQ(buffer, expected) << count;
  }
}

}  // namespace
