// Random Shift-JIS text for property tests.  The generator records where each
// character begins on its own, so tests can check the library's walk against it.
#ifndef TESTS_SUPPORT_SJIS_GEN_H
#define TESTS_SUPPORT_SJIS_GEN_H

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sjis_gen {

struct Text {
  std::string bytes;
  std::vector<int> length;  // per byte: 1 or 2 where a character begins, 0 on a second byte
};

class Generator {
 public:
  explicit Generator(unsigned seed) : engine_(seed) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(engine_); }
  char pick(std::string_view bytes) {
    return bytes[static_cast<std::size_t>(below(static_cast<int>(bytes.size())))];
  }
  char in_range(int first, int last) { return static_cast<char>(first + below(last - first + 1)); }

  // ASCII from ascii, half-width katakana, or a two-byte character whose second
  // byte is often one that a byte-wise walk would take for something else.
  std::string character(std::string_view ascii) {
    switch (below(5)) {
      case 0:
        return {in_range(0xA1, 0xDF)};
      case 1:
      case 2: {
        const char lead = below(2) == 0 ? in_range(0x81, 0x9F) : in_range(0xE0, 0xFC);
        return {lead, below(2) == 0 ? pick("\\aAz]\"= \x81\xFC") : in_range(0x40, 0xFC)};
      }
      default:
        return {pick(ascii)};
    }
  }

  // Up to max_characters characters; now and then a lone lead byte ends the text.
  Text text(int max_characters, std::string_view ascii) {
    Text t;
    for (int count = below(max_characters + 1); count > 0; --count) {
      add(t, character(ascii));
    }
    if (below(8) == 0) {
      add(t, {in_range(0x81, 0x9F)});
    }
    return t;
  }

 private:
  static void add(Text &t, const std::string &character) {
    t.bytes += character;
    t.length.push_back(static_cast<int>(character.size()));
    t.length.resize(t.bytes.size(), 0);
  }

  std::mt19937 engine_;
};

}  // namespace sjis_gen

#endif  // TESTS_SUPPORT_SJIS_GEN_H
