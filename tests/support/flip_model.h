// A literal model of the windowed line-end rule, for checking the fast line
// splitter and writer: every line is searched afresh in a window of up to
// 10000 bytes, first for an LF, then for a CR.  It is quadratic on purpose.
#ifndef TESTS_SUPPORT_FLIP_MODEL_H
#define TESTS_SUPPORT_FLIP_MODEL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace flip_model {

constexpr std::size_t kWindow = 10000;

struct Outcome {
  std::uint64_t too_long_line = 0;  // 0: every line fits
  std::string output;

  bool operator==(const Outcome &) const = default;
};

// End of the line that starts at pos, its line end included; npos when the
// line is too long.
inline std::size_t line_end(std::string_view in, std::size_t pos) {
  const std::size_t n = std::min(kWindow, in.size() - pos);
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (in[i] == '\n') {
      return i + 1;
    }
  }
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (in[i] == '\r') {
      const bool pair_at_edge = i + 1 == pos + kWindow && i + 1 < in.size() && in[i + 1] == '\n';
      return pair_at_edge ? i + 2 : i + 1;
    }
  }
  return n == kWindow ? std::string_view::npos : in.size();
}

inline Outcome model(std::string_view in) {
  Outcome result;
  std::uint64_t line_number = 0;
  for (std::size_t pos = 0; pos < in.size();) {
    ++line_number;
    const std::size_t end = line_end(in, pos);
    if (end == std::string_view::npos) {
      return {line_number, ""};
    }
    std::string line(in.substr(pos, end - pos));
    if (line.size() >= 2 && line[line.size() - 2] == '\r') {
      line.replace(line.size() - 2, 2, "\n");
    } else if (line.back() == '\n' || line.back() == '\r') {
      line.back() = '\r';
      line += '\n';
    }
    result.output += line;
    pos = end;
  }
  return result;
}

}  // namespace flip_model

#endif  // TESTS_SUPPORT_FLIP_MODEL_H
