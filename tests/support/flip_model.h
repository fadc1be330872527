// A literal model of the windowed line-end rule, for checking the fast line
// splitter and writer: every line is searched afresh in a window of up to
// 10000 bytes, first for an LF, then for a CR.  It is quadratic on purpose.
// Text after a UTF-16 byte-order mark is read the same way in 16-bit code
// units (the window 5000 of them); a UTF-32 mark is refused.
#ifndef TESTS_SUPPORT_FLIP_MODEL_H
#define TESTS_SUPPORT_FLIP_MODEL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flip_model {

constexpr std::size_t kWindow = 10000;

struct Outcome {
  std::uint64_t too_long_line = 0;  // 0: every line fits
  std::string output;
  bool unsupported = false;  // a UTF-32 mark

  bool operator==(const Outcome &) const = default;
};

constexpr unsigned kLf = 0x0A;
constexpr unsigned kCr = 0x0D;

// End of the line that starts at pos, its line end included; npos when the
// line is too long.  The window is given in units.
template <typename Unit>
std::size_t line_end(const std::vector<Unit> &in, std::size_t pos, std::size_t window) {
  const std::size_t n = std::min(window, in.size() - pos);
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (in[i] == kLf) {
      return i + 1;
    }
  }
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (in[i] == kCr) {
      const bool pair_at_edge = i + 1 == pos + window && i + 1 < in.size() && in[i + 1] == kLf;
      return pair_at_edge ? i + 2 : i + 1;
    }
  }
  return n == window ? std::string_view::npos : in.size();
}

// The lines of a sequence of units with their ends toggled, or the number of
// the first too long line.
template <typename Unit>
std::uint64_t toggled(const std::vector<Unit> &in, std::size_t window, std::vector<Unit> &out) {
  std::uint64_t line_number = 0;
  for (std::size_t pos = 0; pos < in.size();) {
    ++line_number;
    const std::size_t end = line_end(in, pos, window);
    if (end == std::string_view::npos) {
      return line_number;
    }
    out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(pos),
               in.begin() + static_cast<std::ptrdiff_t>(end));
    const std::size_t n = out.size();
    if (end - pos >= 2 && out[n - 2] == kCr) {
      out[n - 2] = kLf;
      out.pop_back();
    } else if (out[n - 1] == kLf || out[n - 1] == kCr) {
      out[n - 1] = kCr;
      out.push_back(kLf);
    }
    pos = end;
  }
  return 0;
}

inline Outcome model_bytes(std::string_view in) {
  const std::vector<unsigned char> bytes(in.begin(), in.end());
  std::vector<unsigned char> out;
  const std::uint64_t too_long = toggled(bytes, kWindow, out);
  return too_long != 0 ? Outcome{too_long, ""} : Outcome{0, std::string(out.begin(), out.end())};
}

// The text after a UTF-16 mark; low is where each unit's low byte is (0
// little-endian, 1 big-endian).  An odd last byte follows the lines.
inline Outcome model_utf16(std::string_view in, std::size_t low) {
  const std::string_view units = in.substr(2, (in.size() - 2) / 2 * 2);
  std::vector<std::uint16_t> text;
  for (std::size_t i = 0; i < units.size(); i += 2) {
    text.push_back(static_cast<std::uint16_t>(static_cast<unsigned char>(units[i + low]) |
                                              static_cast<unsigned char>(units[i + 1 - low]) << 8));
  }
  std::vector<std::uint16_t> out;
  if (const std::uint64_t too_long = toggled(text, kWindow / 2, out); too_long != 0) {
    return {too_long, ""};
  }
  std::string written(in.substr(0, 2));
  for (const std::uint16_t unit : out) {
    const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    written += bytes[low];
    written += bytes[1 - low];
  }
  written += in.substr(2 + units.size());
  return {0, written};
}

inline Outcome model(std::string_view in) {
  using std::string_view_literals::operator""sv;
  if (in.starts_with("\xFF\xFE\0\0"sv) || in.starts_with("\0\0\xFE\xFF"sv)) {
    return {0, "", true};
  }
  if (in.starts_with("\xFF\xFE"sv)) {
    return model_utf16(in, 0);
  }
  return in.starts_with("\xFE\xFF"sv) ? model_utf16(in, 1) : model_bytes(in);
}

}  // namespace flip_model

#endif  // TESTS_SUPPORT_FLIP_MODEL_H
