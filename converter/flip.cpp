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

// Bit i set where block[i] is the byte wanted.
std::uint64_t byte_mask(const char *block, char wanted) {
#if defined(__SSE2__)
  const __m128i pattern = _mm_set1_epi8(wanted);
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
    mask |=
        std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, pattern)))}
        << i;
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    mask |= std::uint64_t{block[i] == wanted} << i;
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

// The position of the lowest set bit, 63 for none: with a bit always set the
// processor needs no branch for the empty case.
std::size_t lowest_bit(std::uint64_t bits) {
  return static_cast<std::size_t>(std::countr_zero(bits | (std::uint64_t{1} << 63)));
}

// Lists the positions of the wanted byte in data[from, to) into positions
// (room for to - from + 4) and returns their number.
std::size_t gather(const char *data, std::size_t from, std::size_t to, char wanted,
                   std::uint32_t *positions) {
  std::size_t count = 0;
  for (std::size_t block = from; block < to; block += kBlock) {
    std::uint64_t hits = byte_mask(data + block, wanted);
    if (to - block < kBlock) {
      hits &= (std::uint64_t{1} << (to - block)) - 1;
    }
    if (hits == 0) {
      continue;
    }
    const std::size_t found = bit_count(hits);
    std::uint32_t *put = positions + count;
    // Four at once, whether there are that many or not: more are rare in text.
    for (std::size_t i = 0; i < 4; ++i) {
      put[i] = static_cast<std::uint32_t>(block + lowest_bit(hits));
      hits &= hits - 1;
    }
    for (std::size_t i = 4; i < found; ++i) {
      put[i] = static_cast<std::uint32_t>(block + lowest_bit(hits));
      hits &= hits - 1;
    }
    count += found;
  }
  return count;
}

// Runs up to this long, nearly every line of text, are copied in one piece
// of this size whatever their length, reading and writing past their end,
// so that the length costs no branch that could be mispredicted.
constexpr std::size_t kShortRun = kSlack;

void copy_run(char *out, const char *from, std::size_t size) {
  if (size > kShortRun) {
    std::memcpy(out, from, size);
    return;
  }
#if defined(__SSE2__)
  for (std::size_t i = 0; i < kShortRun; i += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i)));
  }
#else
  std::memcpy(out, from, kShortRun);
#endif
}

// The CRs of a chunk in order, gathered a stretch at a time when first asked
// for, so that each byte is looked at once over a run of questions with
// rising starts.
class CrFinder {
 public:
  // positions has room for kStretch + 4 entries.
  CrFinder(const char *data, std::size_t size, std::uint32_t *positions)
      : data_(data), size_(size), positions_(positions) {}

  // The position of the first CR at or after from, or the chunk's size.
  std::size_t at_or_after(std::size_t from) {
    for (;;) {
      while (next_ < count_ && positions_[next_] < from) {
        ++next_;
      }
      if (next_ < count_) {
        return positions_[next_];
      }
      const std::size_t start = std::max(from, gathered_to_);
      if (start >= size_) {
        return size_;
      }
      gathered_to_ = std::min(size_, start + kStretch);
      count_ = gather(data_, start, gathered_to_, '\r', positions_);
      next_ = 0;
    }
  }

 private:
  const char *data_;
  std::size_t size_;
  std::uint32_t *positions_;  // filled a stretch at a time before it is read
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t gathered_to_ = 0;
};

// The end of the line at start that has no LF within its window, found by
// the rule for CRs: its first CR within the window, together with an LF
// right behind it at the window's edge; without a CR, the chunk's last byte
// where the window runs to it (the last line), and kNone where the window is
// full (a too long line).
std::size_t end_by_cr(const char *data, std::size_t size, std::size_t start, CrFinder &crs) {
  const std::size_t window = std::min(kWindow, size - start);
  const std::size_t cr = crs.at_or_after(start);
  if (cr >= start + window) {
    return window == kWindow ? kNone : size - 1;
  }
  return cr + 1 < size && data[cr + 1] == '\n' ? cr + 1 : cr;
}

}  // namespace

Flipper::Flipper()
    : lf_positions_(new std::uint32_t[kPositions]), cr_positions_(new std::uint32_t[kPositions]) {}

std::size_t swap_eol(const char *line, std::size_t length, char *out) {
  copy_run(out, line, length);
  if (length == 0 || !is_line_end(line[length - 1])) {
    return length;
  }
  // Judged from the line itself, without a branch: CR LF and LF ends mix
  // unpredictably, and reading back what was just copied would wait for the
  // copy to land.  A line of one byte looks at that byte, which is no CR LF.
  const std::size_t before = length - (length >= 2 ? 2 : 1);
  const std::size_t pair =
      static_cast<std::size_t>(length >= 2) & static_cast<std::size_t>(line[before] == '\r');
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
  std::uint64_t line_count = lines_;
  const auto end_line_at = [&](std::size_t end) {
    put += swap_eol(data + start, end + 1 - start, put);
    start = end + 1;
    ++line_count;
  };
  const auto step = [&](bool too_long) {
    lines_ = line_count;
    return Step{start, static_cast<std::size_t>(put - out), too_long};
  };

  // Mostly an LF ends a line within its window, and every CR before it is an
  // ordinary byte or the first half of a CR LF; only lines longer than the
  // window need the rule for CRs.
  std::uint32_t *const positions = lf_positions_.get();
  CrFinder crs(data, size, cr_positions_.get());
  for (std::size_t stretch = 0; stretch < limit; stretch += kStretch) {
    const std::size_t found =
        gather(data, stretch, std::min(limit, stretch + kStretch), '\n', positions);
    for (std::size_t i = 0; i < found; ++i) {
      const std::size_t lf = positions[i];
      // A line longer than the window ends by the rule for CRs, maybe at
      // this very LF (behind a CR at the window's edge).
      while (lf >= start && lf - start >= kWindow) {
        const std::size_t end = end_by_cr(data, size, start, crs);
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
  // Every LF before the limit has ended a line, so the lines left before it
  // look for theirs only in the lookahead; those whose window holds none end
  // by the rule for CRs (the last line, which may have no end, included).
  const void *lookahead_lf = std::memchr(data + limit, '\n', size - limit);
  const std::size_t next_lf =
      lookahead_lf == nullptr
          ? size
          : static_cast<std::size_t>(static_cast<const char *>(lookahead_lf) - data);
  while (start < limit && next_lf - start >= std::min(kWindow, size - start)) {
    const std::size_t end = end_by_cr(data, size, start, crs);
    if (end == kNone) {
      return step(true);
    }
    end_line_at(end);
  }
  return step(false);
}

}  // namespace nlflip
