// How flip_fuzz reads its data: the chunk size and read sizes that the
// streaming converter is driven with, then the text.
#ifndef TESTS_SUPPORT_FLIP_CASE_H
#define TESTS_SUPPORT_FLIP_CASE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flip.h"
#include "fuzz_input.h"

namespace fuzz {

struct FlipCase {
  std::size_t chunk = 0;
  std::vector<std::size_t> reads;
  std::string text;
};

// The model searches up to a window for an LF on every line, so each CR can
// cost a window: texts are cut to keep it at a few milliseconds.
constexpr std::size_t kMaxFlipText = 8 * nlflip::kWindow;
constexpr std::size_t kMaxCarriageReturns = 200;

// A text in UTF-16 of the byte order given, after its mark: LF, CR and NUL
// as their units, every other byte as a unit whose high byte is the byte
// before it, so that LF and CR bytes stand in high halves too and a unit's
// high LF and the next unit's low zero look like an LF unit a byte off.
inline std::string as_utf16(const std::string &bytes, bool little_endian) {
  std::string text = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  char before = '\0';
  for (const char c : bytes) {
    const char high = c == '\n' || c == '\r' || c == '\0' ? '\0' : before;
    text += little_endian ? c : high;
    text += little_endian ? high : c;
    before = c;
  }
  return text;
}

// The first byte of the rest says how it is read: as the text itself, or as
// pairs of a byte and a run length, so that lines around the window's size
// are within reach of small inputs; and whether it is then spelt in UTF-16.
inline std::string flip_text(Input &in) {
  std::string text;
  const std::uint8_t form = in.byte();
  if (form % 2 == 0) {
    text = in.rest();
  } else {
    while (!in.empty() && text.size() < kMaxFlipText) {
      const char c = static_cast<char>(in.byte());
      const std::uint8_t count = in.byte();
      // Counts from 0xF0 on give runs of kWindow - 8 to kWindow + 7 bytes.
      const std::size_t run =
          count < 0xF0 ? count + std::size_t{1} : nlflip::kWindow - 8 + (count - 0xF0U);
      text.append(run, c);
    }
  }
  text.resize(std::min(text.size(), kMaxFlipText));
  std::size_t carriage_returns = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && ++carriage_returns > kMaxCarriageReturns) {
      text.resize(i);
    }
  }
  switch (form / 2 % 3) {
    case 1:
      return as_utf16(text, true);
    case 2:
      return as_utf16(text, false);
    default:
      return text;
  }
}

inline FlipCase flip_case(const std::uint8_t *data, std::size_t size) {
  Input in(data, size);
  FlipCase decoded;
  // Small chunks and uneven reads make lines cross from chunk to chunk.
  decoded.chunk = nlflip::kLookahead + in.byte() * std::size_t{97};
  decoded.reads = {std::size_t{1} + in.byte() * std::size_t{211}, std::size_t{1} + in.byte()};
  decoded.text = flip_text(in);
  return decoded;
}

}  // namespace fuzz

#endif  // TESTS_SUPPORT_FLIP_CASE_H
