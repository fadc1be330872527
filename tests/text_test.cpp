// Double-byte-aware searches, replacement, case changes and path splitting.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "sjis_gen.h"

namespace {

std::ptrdiff_t at(const char *found, const std::string &text) {
  return found == nullptr ? -1 : found - text.c_str();
}

TEST(Strchr, FirstAndLastCharacterNeverASecondByte) {
  const struct {
    std::string text;
    int c;
    std::ptrdiff_t first;
    std::ptrdiff_t last;
  } cases[] = {{"\x95\x5C\x5C", '\\', 2, 2},
               {"\x81\x81\x81", -127, 0, 2},
               {"\x95\x5C", '\\', -1, -1},
               {"abc", 0, -1, -1}};
  for (const auto &c : cases) {
    EXPECT_EQ(at(common::Strchr(c.text.c_str(), c.c), c.text), c.first) << c.text;
    EXPECT_EQ(at(common::Strrchr(c.text.c_str(), c.c), c.text), c.last) << c.text;
  }
}

struct Case {
  std::string text;
  int from;
  int to;
  std::string expected;
};

TEST(ChgChr, ReplacesFirstBytesAndStepsByTheReplacedByte) {
  const Case cases[] = {
      {"\x95\x5C\x5C", '\\', '/', "\x95\x5C/"},
      {"xx", 'x', 0x81, "\x81x"},
      {"\x81\x81", 0x81, 'x', "xx"},
      {"abcb", 'b', 0, std::string("a\0c\0", 4)},
      {"abc", 0, 'x', "abc"},
      {std::string("a\x81\0a", 4), 'a', 'b', std::string("b\x81\0a", 4)},
  };
  for (const auto &c : cases) {
    std::string text = c.text;
    EXPECT_EQ(common::ChgChr(text.data(), c.from, c.to), text.data());
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

TEST(Index2, MatchesOneByteCharactersOnly) {
  const std::string text = "\x95\x5C/";
  EXPECT_EQ(at(common::index2(text.c_str(), "\\/"), text), 2);
  EXPECT_EQ(common::index2(text.c_str(), ""), nullptr);
  EXPECT_EQ(common::index2("\x95\x5C", "\x95\\"), nullptr);
  const std::string lone = "ab\x81";
  EXPECT_EQ(at(common::index2(lone.c_str(), "\x81"), lone), 2);
}

TEST(ToUpperLower, FoldAsciiLettersByTheWideFirstByteClass) {
  const struct {
    int (*change)(char *);
    std::string text;
    std::string expected;
  } cases[] = {
      {common::to_upper, "gh\x82\x61ij", "GH\x82\x61IJ"},
      {common::to_upper, "\xB1x", "\xB1X"},
      {common::to_lower, "\xB1X", "\xB1x"},
      {common::to_lower, "\x80X", "\x80X"},
      {common::to_lower, "\xA0XY\xFDZW", "\xA0Xy\xFDZw"},
      {common::to_upper, std::string("x\x82\0a", 4), std::string("X\x82\0a", 4)},
      {common::to_upper, "@AZ[`az{", "@AZ[`AZ{"},
      {common::to_lower, "@AZ[`az{", "@az[`az{"},
  };
  for (const auto &c : cases) {
    std::string text = c.text;
    EXPECT_EQ(c.change(text.data()), 0);
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

TEST(FindExt, LastDotOfTheLastComponent) {
  const std::pair<std::string, std::ptrdiff_t> cases[] = {
      {"C:\\src\\main.c", 11}, {"C:\\dir.d\\name", -1}, {"archive.tar.gz", 11},
      {".profile", 0},         {"dir.x/name", 3},       {"x.y\x95\x5Cz", 1},
  };
  for (const auto &[path, expected] : cases) {
    EXPECT_EQ(at(common::findExt(path.c_str()), path), expected) << path;
  }
}

std::vector<std::string> split(std::string path) {
  std::vector<char> head(path.size() + 1, 'H');
  std::vector<char> tail(path.size() + 1, 'T');
  EXPECT_EQ(common::sepname(path.data(), head.data(), tail.data()), 0);
  // The path as sepname left it: up to the NUL it may have written.
  return {std::string(head.data()), std::string(tail.data()), path.substr(0, path.find('\0'))};
}

TEST(Sepname, CutsAfterTheComponentOfTheFirstWildcard) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("C:\\src\\a*\\obj\\b?.c"), (V{"C:\\src\\a*", "obj\\b?.c", "C:\\src\\a*"}));
  EXPECT_EQ(split("C:\\src\\x*.c"), (V{"C:\\src\\x*.c", "", "C:\\src\\x*.c"}));
  EXPECT_EQ(split("C:\\src\\main.c"), (V{"C:\\src\\main.c", "", "C:\\src\\main.c"}));
  EXPECT_EQ(split("d?\\"), (V{"d?", "", "d?"}));
  EXPECT_EQ(split("*\x95\x5C\x5Cx"), (V{"*\x95\x5C", "x", "*\x95\x5C"}));
}

// Properties over generated text: the walk acts on first bytes only.

TEST(DoubleByteProperties, NoRoutineStopsOnReplacesOrFoldsASecondByte) {
  constexpr char kAscii[] = "ab\\/AZ.";
  sjis_gen::Generator gen(4711);
  for (int round = 0; round < 3000; ++round) {
    const sjis_gen::Text t = gen.text(12, kAscii);
    const char wanted = gen.pick(kAscii);
    std::ptrdiff_t first = -1;
    std::ptrdiff_t first_alone = -1;
    std::string replaced = t.bytes;
    std::string upper = t.bytes;
    std::string lower = t.bytes;
    for (std::size_t i = 0; i < t.bytes.size(); ++i) {
      const char b = t.bytes[i];
      const bool match = t.length[i] != 0 && b == wanted;
      if (match && first < 0) {
        first = static_cast<std::ptrdiff_t>(i);
      }
      if (match && t.length[i] == 1 && first_alone < 0) {
        first_alone = static_cast<std::ptrdiff_t>(i);
      }
      replaced[i] = match ? '#' : b;
      const bool alone = t.length[i] == 1;
      upper[i] = alone && b >= 'a' && b <= 'z' ? static_cast<char>(b - 0x20) : b;
      lower[i] = alone && b >= 'A' && b <= 'Z' ? static_cast<char>(b + 0x20) : b;
    }
    const char set[] = {wanted, '\0'};
    EXPECT_EQ(at(common::Strchr(t.bytes.c_str(), wanted), t.bytes), first) << t.bytes;
    EXPECT_EQ(at(common::index2(t.bytes.c_str(), set), t.bytes), first_alone) << t.bytes;
    std::string text = t.bytes;
    EXPECT_EQ(common::ChgChr(text.data(), wanted, '#'), text.data());
    EXPECT_EQ(text, replaced);
    text = t.bytes;
    common::to_upper(text.data());
    EXPECT_EQ(text, upper);
    text = t.bytes;
    common::to_lower(text.data());
    EXPECT_EQ(text, lower);
  }
}

// Paths are joined from generated components, so the real separators are known.
std::string join(const std::vector<std::string> &parts, std::size_t first, std::size_t end) {
  std::string joined;
  for (std::size_t i = first; i < end; ++i) {
    joined += (i == first ? "" : "\\") + parts[i];
  }
  return joined;
}

TEST(PathProperties, FindExtAndSepnameSplitAtRealSeparatorsOnly) {
  sjis_gen::Generator gen(2024);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> parts(static_cast<std::size_t>(1 + gen.below(4)));
    std::size_t cut = parts.size() - 1;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      for (int length = gen.below(4); length > 0; --length) {
        parts[i] += gen.character("ab./:*?");
      }
      if (cut == parts.size() - 1 && parts[i].find_first_of("*?") != std::string::npos) {
        cut = i;
      }
    }
    const std::size_t count = parts.size();
    const std::string path = join(parts, 0, count);
    const std::string last = join(parts, count - 1, count);
    const std::size_t dot = last.rfind('.');
    const std::ptrdiff_t ext = dot == std::string::npos
                                   ? -1
                                   : static_cast<std::ptrdiff_t>(path.size() - last.size() + dot);
    EXPECT_EQ(at(common::findExt(path.c_str()), path), ext) << path;
    const std::string head = join(parts, 0, cut + 1);
    EXPECT_EQ(split(path), (std::vector<std::string>{head, join(parts, cut + 1, count), head}))
        << path;
  }
}

}  // namespace
