// Name comparison and the depth-first file-name order used with std::qsort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common.h"
#include "sjis_gen.h"

namespace {

// comp_file sees each element as the address of a char * naming the file.
int compare_files(const std::string &left, const std::string &right) {
  const char *left_name = left.c_str();
  const char *right_name = right.c_str();
  const char *const *left_element = &left_name;
  const char *const *right_element = &right_name;
  return common::comp_file(&left_element, &right_element);
}

struct OrderCase {
  std::string left;
  std::string right;
  int expected;
};

TEST(StrCmp, CharacterOrderBothWaysRound) {
  const OrderCase cases[] = {
      {"abc", "ABD", -1},
      {"abc", "ABC", 0},
      {"a\\b", "a_b", -1},
      {"a\x01", "a\\", 1},
      {"[", "A", -1},
      {"a~", "aZ", 1},
      {"ab", "abc", -1},
      {"", "", 0},
      {"\x7F", "\x80", -1},
      {"\xB1", "\x82\xA0", -1},
      {"\xA1", "\xA0", -1},
      {"\x82\xA0", "\x82\xA1", -1},
      {"\x81\x41", "\x81\x61", -1},
      {"\x82\xA0\x61", "\x82\xA0\x42", -1},
      {"\x83\x5Cz", "\x83\x5C\x41", 1},
      {"\x80\x42z", "\x80\x61z", -1},
      {"\xA1\x42z", "\xA1\x61z", 1},
      {"\x81", "\x81\x40", -1},
      {std::string("\x81\0a", 3), std::string("\x81\0b", 3), 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(common::StrCmp(c.left.c_str(), c.right.c_str()), c.expected)
        << c.left << " " << c.right;
    EXPECT_EQ(common::StrCmp(c.right.c_str(), c.left.c_str()), -c.expected)
        << c.right << " " << c.left;
  }
}

TEST(CompFile, FewerBackslashesFirstThenStrCmp) {
  const OrderCase cases[] = {
      {"zz", "a\\b", -1},       {"a\\b\\c", "z\\y", 1}, {"dir\\x", "dir-a\\x", -1}, {"A", "a", 0},
      {"\x83\x5C", "a\\b", -1}, {"x/y", "a\\b", -1},    {"\xA0\x5C", "a\\b", 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(compare_files(c.left, c.right), c.expected) << c.left << " " << c.right;
  }
}

TEST(CompFile, QsortListsEachDepthInTurn) {
  const std::vector<std::string> expected = {
      "a",        "alpha",       "B",      "Zeta",        "\xB1",
      "\x82\xA0", "\x83\x5C",    "dir\\x", "dir\\y",      "dir-a\\x",
      "dir2\\x",  "\x83\x5C\\x", "\xA0\\", "dir\\sub\\f", "dir2\\a\\b",
  };
  std::vector<const char *> names;
  names.reserve(expected.size());
  for (const auto &name : expected) {
    names.push_back(name.c_str());
  }
  std::vector<const char **> elements;
  elements.reserve(names.size());
  for (auto &name : names) {
    elements.push_back(&name);
  }
  std::mt19937 engine(99);
  for (int round = 0; round < 20; ++round) {
    std::shuffle(elements.begin(), elements.end(), engine);
    std::qsort(elements.data(), elements.size(), sizeof elements[0], common::comp_file);
    std::vector<std::string> sorted;
    sorted.reserve(elements.size());
    for (const char **element : elements) {
      sorted.emplace_back(*element);
    }
    EXPECT_EQ(sorted, expected);
  }
}

int depth(const sjis_gen::Text &t) {
  int count = 0;
  for (std::size_t i = 0; i < t.bytes.size(); ++i) {
    count += t.length[i] != 0 && t.bytes[i] == '\\' ? 1 : 0;
  }
  return count;
}

// Property: StrCmp is a total order, and comp_file defers to it at equal depth.
TEST(OrderProperties, AntisymmetricTransitiveAndConsistentWithCompFile) {
  sjis_gen::Generator gen(7);
  std::vector<sjis_gen::Text> names(60);
  for (auto &name : names) {
    name = gen.text(4, "aAbB\\_ ");
  }
  const auto cmp = [](const sjis_gen::Text &l, const sjis_gen::Text &r) {
    return common::StrCmp(l.bytes.c_str(), r.bytes.c_str());
  };
  for (const auto &a : names) {
    for (const auto &b : names) {
      const int ab = cmp(a, b);
      ASSERT_EQ(ab, -cmp(b, a)) << a.bytes << " " << b.bytes;
      const int by_depth = depth(a) == depth(b) ? ab : (depth(a) < depth(b) ? -1 : 1);
      ASSERT_EQ(compare_files(a.bytes, b.bytes), by_depth) << a.bytes << " " << b.bytes;
      for (const auto &c : names) {
        if (ab <= 0 && cmp(b, c) <= 0) {
          ASSERT_LE(cmp(a, c), 0) << a.bytes << " " << b.bytes << " " << c.bytes;
        }
      }
    }
  }
}

}  // namespace
