#include "flip.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nlflip {

namespace {

constexpr std::size_t kBlock = 64;

bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

// Bit i set where block[i] is a CR or an LF.
std::uint64_t line_end_mask(const char *block) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr));
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << i;
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    mask |= std::uint64_t{is_line_end(block[i])} << i;
  }
  return mask;
#endif
}

// Copies a run.  A short run, the common case, is copied as a whole block of
// kBlock bytes, reading and writing past its end, so that its length costs
// no branch.
char *copy_run(char *out, const char *from, std::size_t size) {
  if (size > kBlock) {
    std::memcpy(out, from, size);
  } else {
#if defined(__SSE2__)
    for (std::size_t i = 0; i < kBlock; i += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i)));
    }
#else
    std::memcpy(out, from, kBlock);
#endif
  }
  return out + size;
}

// Finds the LFs of a chunk in order, searching each byte at most once over a
// run of questions with rising starts.
class NextLf {
 public:
  NextLf(const char *data, std::size_t size) : data_(data), size_(size) {}

  // The position of the first LF at or after from (at least 1), or the
  // chunk's size when there is none.
  std::size_t at_or_after(std::size_t from) {
    if (next_ < from) {
      const void *hit = std::memchr(data_ + from, '\n', size_ - from);
      next_ = hit == nullptr ? size_ : static_cast<std::size_t>(static_cast<const char *>(hit) - data_);
    }
    return next_;
  }

 private:
  const char *data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

// The number of set bits, without a library call where the processor has no
// instruction for it.
std::size_t bit_count(std::uint64_t bits) {
  bits -= (bits >> 1) & 0x5555555555555555U;
  bits = (bits & 0x3333333333333333U) + ((bits >> 2) & 0x3333333333333333U);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0FU;
  return static_cast<std::size_t>((bits * 0x0101010101010101U) >> 56);
}

// Bytes whose CR and LF positions are gathered before they are handled: the
// positions are listed without a branch per line end, and the loop over
// them runs long.
constexpr std::size_t kStretch = 16384;

// Lists the positions of the CRs and LFs of data[from, to) into positions
// (room for to - from + 8) and returns their number.
std::size_t gather_line_ends(const char *data, std::size_t from, std::size_t to,
                             std::uint32_t *positions) {
  std::size_t count = 0;
  for (std::size_t block = from; block < to; block += kBlock) {
    std::uint64_t ends = line_end_mask(data + block);
    if (to - block < kBlock) {
      ends &= (std::uint64_t{1} << (to - block)) - 1;
    }
    const std::size_t found = bit_count(ends);
    std::uint32_t *put = positions + count;
    // Eight at once, whether there are that many or not.
    for (std::size_t i = 0; i < 8; ++i) {
      put[i] = static_cast<std::uint32_t>(block + static_cast<std::size_t>(std::countr_zero(ends)));
      ends &= ends - 1;
    }
    for (std::size_t i = 8; i < found; ++i) {
      put[i] = static_cast<std::uint32_t>(block + static_cast<std::size_t>(std::countr_zero(ends)));
      ends &= ends - 1;
    }
    count += found;
  }
  return count;
}

}  // namespace

std::size_t swap_eol(const char *line, std::size_t length, char *out) {
  copy_run(out, line, length);
  // The line end is judged from the line itself: reading back what was just
  // copied would wait for the copy to land.
  if (length >= 2 && line[length - 2] == '\r') {
    out[length - 2] = '\n';
    return length - 1;
  }
  if (length >= 1 && is_line_end(line[length - 1])) {
    out[length - 1] = '\r';
    out[length] = '\n';
    return length + 1;
  }
  return length;
}

Flipper::Step Flipper::flip(const char *data, std::size_t size, bool last, char *out) {
  // Only line ends before the limit can be decided from this chunk.
  const std::size_t limit = last ? size : size > kLookahead ? size - kLookahead : 0;
  std::size_t start = 0;  // of the current line
  char *put = out;
  NextLf lf(data, size);
  std::uint64_t lines = lines_;
  const auto end_line_at = [&](std::size_t end) {
    put += swap_eol(data + start, end + 1 - start, put);
    start = end + 1;
    ++lines;
  };
  const auto step = [&](bool too_long) {
    lines_ = lines;
    return Step{start, static_cast<std::size_t>(put - out), too_long};
  };

  std::uint32_t positions[kStretch + 8];
  for (std::size_t stretch = 0; stretch < limit; stretch += kStretch) {
    const std::size_t stretch_end = limit - stretch < kStretch ? limit : stretch + kStretch;
    const std::size_t found = gather_line_ends(data, stretch, stretch_end, positions);
    for (std::size_t i = 0; i < found; ++i) {
      const std::size_t at = positions[i];
      if (at - start >= kWindow) {
        // Past the window only the LF of a pair cut by its edge ends the line.
        if (at - start > kWindow || data[at] != '\n' || data[at - 1] != '\r') {
          return step(true);
        }
      }
      if (data[at] == '\n') {
        end_line_at(at);
      } else if (at + 1 < size && data[at + 1] == '\n') {
        // The CR of a CR LF pair: the LF ends the line.
      } else if (lf.at_or_after(at + 1) >= std::min(start + kWindow, size)) {
        end_line_at(at);
      }
    }
  }
  if (last ? size - start >= kWindow : limit > start && limit - start > kWindow) {
    return step(true);
  }
  if (last && start < size) {
    // The last line, which has no end, is copied as it is.
    put = copy_run(put, data + start, size - start);
    start = size;
  }
  return step(false);
}

}  // namespace nlflip
