// Line splitting and line-end toggling of a whole input held in memory.
#ifndef NLFLIP_FLIP_H
#define NLFLIP_FLIP_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace nlflip {

// A line may end in a CR only when no LF follows within this many bytes of
// the line's start; a line with neither CR nor LF in them is too long.
constexpr std::size_t kWindow = 10000;

// Byte range [begin, end) of one line, its line end included.
struct Line {
  std::size_t begin;
  std::size_t end;
};

// Splits a buffer into lines: the first LF within the window from the line's
// start ends the line, else the first CR in it (together with an LF right
// behind it at the window's edge), else the end of the data when it lies
// within the window.  NUL is an ordinary byte.  Each byte is searched once.
class LineSplitter {
 public:
  enum class Step { line, end, too_long };

  LineSplitter(const char *data, std::size_t size) : data_(data), size_(size) {}

  Step next(Line &line);
  // 1-based number of the line last returned or found too long.
  std::uint64_t line_number() const { return lines_; }

 private:
  // First occurrence of a byte at or after the current position, remembered
  // until the position moves past it.
  struct NextByte {
    char byte;
    bool known = false;
    std::size_t at = 0;
  };

  std::size_t find(NextByte &next);
  Step take(std::size_t end, Line &line);

  const char *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::uint64_t lines_ = 0;
  NextByte lf_{'\n'};
  NextByte cr_{'\r'};
};

// 0 when every line of the buffer fits the window, else the number of the
// first line that does not.
std::uint64_t find_too_long_line(const char *data, std::size_t size);

// Toggles the line end of a line of the given length in place (LF or CR
// becomes CR LF, CR LF becomes LF) and returns its new length.  The buffer
// must have room for one more byte.
std::size_t swap_eol(char *line, std::size_t length);

// Receives the output block by block; false stops the writing.
using BlockWriter = std::function<bool(const char *block, std::size_t size)>;

// Writes every line of a buffer without too long lines, its end toggled, in
// large blocks.  False when a block could not be written.
bool write_flipped(const char *data, std::size_t size, const BlockWriter &write);

}  // namespace nlflip

#endif  // NLFLIP_FLIP_H
