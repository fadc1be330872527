// Line splitting and line-end toggling of a stream, chunk by chunk.
#ifndef NLFLIP_FLIP_H
#define NLFLIP_FLIP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nlflip {

// A line may end in a CR only when no LF follows within this many bytes of
// the line's start; a line with neither CR nor LF in them is too long.
constexpr std::size_t kWindow = 10000;
// Bytes that must follow a line's first byte before its end can be decided:
// its window and the byte after it, which may be the LF of a CR LF pair cut
// by the window's edge.
constexpr std::size_t kLookahead = kWindow + 1;
// Every chunk given to a Flipper must be readable, and every output area
// writable, this many bytes past its end: short runs are copied in one piece
// of this size.
constexpr std::size_t kSlack = 128;
// Bytes whose line-end positions are gathered before they are handled:
// listing them costs no branch per line end, and the loop over them runs
// long.
constexpr std::size_t kStretch = 16384;

// How a stream spells its line ends: in bytes, which suits Shift-JIS, UTF-8
// and every other byte encoding, or in the 16-bit code units of UTF-16
// after its byte-order mark.  A UTF-32 byte-order mark is recognised only to
// be refused: no rule reads it right.
enum class Encoding { bytes, utf16le, utf16be, utf32 };

// The bytes of the byte-order mark that announces UTF-16, copied as they are.
constexpr std::size_t kMarkSize = 2;

// What a stream's first bytes announce (size of them are given, the first
// four decide).
Encoding encoding_of(const char *start, std::size_t size);

// The bytes of one unit in which the encoding spells line ends.
constexpr std::size_t unit_size(Encoding encoding) {
  return encoding == Encoding::utf16le || encoding == Encoding::utf16be ? 2 : 1;
}

// Whether the unit that starts at unit is an LF or a CR.
bool ends_line(const char *unit, Encoding encoding);

// Copies a line of the given length to out with its end toggled (LF or CR
// becomes CR LF, CR LF becomes LF; a line without an end is copied as it
// is) and returns the new length.  The line must
// be readable, and out writable, kSlack bytes past the line's length.
std::size_t swap_eol(const char *line, std::size_t length, char *out);

// The ways of splitting a chunk into lines: the same lines from each, found
// with the widest vector instructions that each may use.
enum class Kernel { scalar, sse2, avx2 };

// The kernels that this processor and system can run, scalar first and the
// fastest last.
std::vector<Kernel> available_kernels();
Kernel fastest_kernel();

// Splits a stream into lines and writes each with its end toggled: the first
// LF within the window from the line's start ends the line, else the first
// CR in it (together with an LF right behind it at the window's edge), else
// the end of the stream when it lies within the window.  NUL is an ordinary
// byte.  In UTF-16 the LF and CR are code units, and lines and the window
// (the same number of bytes) start and end at unit boundaries.
class Flipper {
 public:
  struct Step {
    std::size_t consumed;  // bytes done with; the rest starts an unfinished line
    std::size_t written;   // bytes put into the output area
    bool too_long;         // line number lines() + 1 is too long
  };

  explicit Flipper(Kernel kernel = fastest_kernel(), Encoding encoding = Encoding::bytes);

  // Reads what follows in the encoding given (bytes or UTF-16).
  void read_as(Encoding encoding);
  // The size of the units that flip() takes whole.
  std::size_t unit() const { return unit_; }

  // Converts the lines of data[0, size) whose ends can be decided, the whole
  // rest when last says that no byte follows.  The size is a multiple of
  // unit().  Bytes past the consumed ones must be given again at the start
  // of the next chunk.  The output area needs room for twice the size (every
  // byte an LF) plus kSlack.
  Step flip(const char *data, std::size_t size, bool last, char *out);

  // Lines converted so far.
  std::uint64_t lines() const { return state_.lines; }

  // What the kernels carry from chunk to chunk and work in.
  struct State {
    std::uint64_t lines = 0;
    // Line-end positions of a stretch of bytes (four slots may be filled
    // past the last): on the heap, since a small stack could not hold them.
    std::unique_ptr<std::uint32_t[]> lf_positions;
    std::unique_ptr<std::uint32_t[]> cr_positions;
  };
  static constexpr std::size_t kPositions = kStretch + 4;

 private:
  using Split = Step (*)(State &state, const char *data, std::size_t size, bool last, char *out);

  Kernel kernel_;
  State state_;
  Split split_;
  std::size_t unit_ = 1;
};

}  // namespace nlflip

#endif  // NLFLIP_FLIP_H
