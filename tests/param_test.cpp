// Plain, quoted and bracketed tokens read into a sized buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "common.h"
#include "sjis_gen.h"

namespace {

constexpr char kGuard = '\x7F';
constexpr std::size_t kGuardBytes = 8;

struct Token {
  std::string text;
  std::ptrdiff_t position;
};

// Reads with a buffer of exactly n bytes followed by guard bytes; the token is
// what precedes the NUL that must lie within the n bytes.
Token read(const std::string &text, int n) {
  const auto size = static_cast<std::ptrdiff_t>(std::max(n, 0));
  std::vector<char> buffer(static_cast<std::size_t>(size) + kGuardBytes, kGuard);
  const char *stop = common::SetParam(text.c_str(), buffer.data(), n);
  const auto end = buffer.begin() + size;
  EXPECT_TRUE(std::all_of(end, buffer.end(), [](char c) { return c == kGuard; })) << text;
  const auto nul = std::find(buffer.begin(), end, '\0');
  EXPECT_TRUE(n < 1 || nul != end) << text;
  return {std::string(buffer.begin(), nul), stop - text.c_str()};
}

struct ParamCase {
  std::string text;
  int n;
  std::string token;
  std::ptrdiff_t position;
};

constexpr int kLarge = 64;

TEST(SetParam, TokensAndWhereTheyStop) {
  const ParamCase cases[] = {
      {"  abc=def", kLarge, "abc", 5},
      {"\t abc def", kLarge, "abc", 5},
      {"   ", kLarge, "", 3},
      {"=x", kLarge, "", 0},
      {"a[b]\"c", kLarge, "a[b]\"c", 6},
      {"abcdef", 4, "abc", 3},
      {"\"a b=c\" rest", kLarge, "a b=c", 6},
      {"\"abc", kLarge, "abc", 4},
      {"\"", kLarge, "", 1},
      {"\"abcdef\"", 4, "abc", 4},
      {"\"abc\"", 4, "abc", 4},
      {"[a b=c] x", kLarge, "[a b=c]", 6},
      {"[sec", kLarge, "[sec", 4},
      {"[abcdef]", 5, "[abc", 3},
      {"[abc]", 6, "[abc]", 4},
      {"[abc]", 2, "[", 0},
      // second bytes never end a token
      {"[\x81]]x", kLarge, "[\x81]]", 3},
      {"\"\x81\"x\"", kLarge, "\x81\"x", 4},
      {"\x81 x=", kLarge, "\x81 x", 3},
      {"\x81", kLarge, "\x81", 1},
      // two-byte characters are stored whole, except as the bracket's final byte
      {"\x82\xA0\x82\xA2\x82\xA4", 5, "\x82\xA0\x82\xA2", 4},
      {"\x82\xA0\x82\xA2\x82\xA4", 4, "\x82\xA0", 2},
      {"[ab\x82\xA0xy]", 5, "[ab\x82", 3},
      // below the smallest buffer the form needs: only what fits
      {"abc", 0, "", 0},
      {"\"abc\"", 1, "", 1},
      {"[abc]", 1, "", 0},
      {"[abc]", -5, "", 0},
  };
  for (const auto &c : cases) {
    const Token got = read(c.text, c.n);
    EXPECT_EQ(got.text, c.token) << c.text << " n=" << c.n;
    EXPECT_EQ(got.position, c.position) << c.text << " n=" << c.n;
  }
}

// Property: for every n the routine keeps within the buffer, and bytes placed
// after the text's terminator never reach the token or the result.
TEST(ParamProperties, StaysWithinBufferAndText) {
  sjis_gen::Generator gen(31337);
  const std::string beyond("\x01]\x01\"\x01", 5);
  for (int round = 0; round < 500; ++round) {
    const std::string text = gen.text(8, " \t=\"[]ab").bytes;
    const std::string memory = std::string(text).append(1, '\0').append(beyond);
    const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(text.size());
    for (int n = -1; n <= static_cast<int>(text.size()) + 3; ++n) {
      const Token got = read(memory, n);
      EXPECT_LE(got.position, end) << text << " n=" << n;
      EXPECT_LE(static_cast<int>(got.text.size()), std::max(n - 1, 0)) << text << " n=" << n;
      EXPECT_EQ(got.text.find('\x01'), std::string::npos) << text << " n=" << n;
    }
  }
}

}  // namespace
