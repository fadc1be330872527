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

inline bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

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
// byte.
class Flipper {
 public:
  struct Step {
    std::size_t consumed;  // bytes done with; the rest starts an unfinished line
    std::size_t written;   // bytes put into the output area
    bool too_long;         // line number lines() + 1 is too long
  };

  explicit Flipper(Kernel kernel = fastest_kernel());

  // Converts the lines of data[0, size) whose ends can be decided, the whole
  // rest when last says that no byte follows.  Bytes past the consumed ones
  // must be given again at the start of the next chunk.  The output area
  // needs room for twice the size (every byte an LF) plus kSlack.
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

  State state_;
  Split split_;
};

}  // namespace nlflip

#endif  // NLFLIP_FLIP_H
