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
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

// Bit i set where block[i] is an LF.
std::uint64_t lf_mask(const char *block) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)))}
            << i;
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    mask |= std::uint64_t{block[i] == '\n'} << i;
  }
  return mask;
#endif
}

// The number of set bits, without a library call where the processor has no
// instruction for it.
std::size_t bit_count(std::uint64_t bits) {
  bits -= (bits >> 1) & 0x5555555555555555U;
  bits = (bits & 0x3333333333333333U) + ((bits >> 2) & 0x3333333333333333U);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0FU;
  return static_cast<std::size_t>((bits * 0x0101010101010101U) >> 56);
}

// Bytes whose LF positions are gathered before they are handled: listing
// them costs no branch per LF, and the loop over them runs long.
constexpr std::size_t kStretch = 16384;

// Lists the positions of the LFs of data[from, to) into positions (room for
// to - from + 8) and returns their number.
std::size_t gather_lfs(const char *data, std::size_t from, std::size_t to,
                       std::uint32_t *positions) {
  std::size_t count = 0;
  for (std::size_t block = from; block < to; block += kBlock) {
    std::uint64_t lfs = lf_mask(data + block);
    if (to - block < kBlock) {
      lfs &= (std::uint64_t{1} << (to - block)) - 1;
    }
    const std::size_t found = bit_count(lfs);
    std::uint32_t *put = positions + count;
    // Eight at once, whether there are that many or not.
    for (std::size_t i = 0; i < 8; ++i) {
      put[i] = static_cast<std::uint32_t>(block + static_cast<std::size_t>(std::countr_zero(lfs)));
      lfs &= lfs - 1;
    }
    for (std::size_t i = 8; i < found; ++i) {
      put[i] = static_cast<std::uint32_t>(block + static_cast<std::size_t>(std::countr_zero(lfs)));
      lfs &= lfs - 1;
    }
    count += found;
  }
  return count;
}

// Finds the LFs of a chunk in order, searching each byte at most once over a
// run of questions with rising starts.
class NextLf {
 public:
  NextLf(const char *data, std::size_t size) : data_(data), size_(size) {}

  // The position of the first LF at or after from, or the chunk's size when
  // there is none.
  std::size_t at_or_after(std::size_t from) {
    if (!known_ || next_ < from) {
      const void *hit = std::memchr(data_ + from, '\n', size_ - from);
      next_ = hit == nullptr ? size_ : static_cast<std::size_t>(static_cast<const char *>(hit) - data_);
      known_ = true;
    }
    return next_;
  }

 private:
  const char *data_;
  std::size_t size_;
  bool known_ = false;
  std::size_t next_ = 0;
};

// Copies a run.  A short run, the common case, is copied as a whole block of
// kBlock bytes, reading and writing past its end, so that its length costs
// no branch.
void copy_run(char *out, const char *from, std::size_t size) {
  if (size > kBlock) {
    std::memcpy(out, from, size);
    return;
  }
#if defined(__SSE2__)
  for (std::size_t i = 0; i < kBlock; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i)));
  }
#else
  std::memcpy(out, from, kBlock);
#endif
}

// The end of the line at start that has no LF within its window (at - 1
// holds no LF), found by the rule for CRs: its first CR within the window,
// together with an LF right behind it at the window's edge; kNone when it
// has none and the window is full (a too long line).
std::size_t end_by_cr(const char *data, std::size_t size, std::size_t start) {
  const std::size_t window = std::min(kWindow, size - start);
  const void *hit = std::memchr(data + start, '\r', window);
  if (hit == nullptr) {
    return window == kWindow ? kNone : size - 1;
  }
  const auto cr = static_cast<std::size_t>(static_cast<const char *>(hit) - data);
  return cr + 1 < size && data[cr + 1] == '\n' ? cr + 1 : cr;
}

}  // namespace

std::size_t swap_eol(const char *line, std::size_t length, char *out) {
  copy_run(out, line, length);
  if (length == 0 || !is_line_end(line[length - 1])) {
    return length;
  }
  // Judged from the line itself, without a branch: reading back what was
  // just copied would wait for the copy to land.
  const std::size_t pair = length >= 2 && line[length - 2] == '\r' ? 1 : 0;
  out[length - 1 - pair] = pair != 0 ? '\n' : '\r';
  out[length - pair] = '\n';
  return length + 1 - 2 * pair;
}

Flipper::Step Flipper::flip(const char *data, std::size_t size, bool last, char *out) {
  // Only the lines that start before the limit can be decided from this
  // chunk: their windows and the byte behind are in it.
  const std::size_t limit = last ? size : size > kLookahead ? size - kLookahead : 0;
  std::size_t start = 0;  // of the current line
  char *put = out;
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

  // Mostly an LF ends a line within its window, and every CR before it is an
  // ordinary byte or the first half of a CR LF; only lines longer than the
  // window need the rule for CRs.
  std::uint32_t positions[kStretch + 8];
  for (std::size_t stretch = 0; stretch < limit; stretch += kStretch) {
    const std::size_t found =
        gather_lfs(data, stretch, std::min(limit, stretch + kStretch), positions);
    for (std::size_t i = 0; i < found; ++i) {
      const std::size_t lf = positions[i];
      // A line longer than the window ends by the rule for CRs, maybe at
      // this very LF (behind a CR at the window's edge).
      while (lf >= start && lf - start >= kWindow) {
        const std::size_t end = end_by_cr(data, size, start);
        if (end == kNone) {
          return step(true);
        }
        end_line_at(end);
      }
      if (lf >= start) {
        end_line_at(lf);
      }
    }
  }
  // The lines left before the limit have no LF before it either; those
  // whose window holds none end by the rule for CRs.
  NextLf lf(data, size);
  while (start < limit && lf.at_or_after(start) - start >= std::min(kWindow, size - start)) {
    const std::size_t end = end_by_cr(data, size, start);
    if (end == kNone) {
      return step(true);
    }
    if (end + 1 == size && !is_line_end(data[end])) {
      // The last line, which has no end, is copied as it is.
      copy_run(put, data + start, size - start);
      put += size - start;
      start = size;
      break;
    }
    end_line_at(end);
  }
  return step(false);
}

}  // namespace nlflip
