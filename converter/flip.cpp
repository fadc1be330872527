#include "flip.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <string_view>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define NLFLIP_X86 1
#else
#define NLFLIP_X86 0
#endif

namespace nlflip {

namespace {

// Bit i of a mask stands for byte i of a block: a block is as many bytes as
// a machine word has bits, so that masks stay in single registers.
using Mask = std::uintptr_t;
constexpr std::size_t kBlock = sizeof(Mask) * CHAR_BIT;
// Positions taken from each block whether it has that many line ends or
// not: about one text line in 16 bytes, so rarely more.
constexpr std::size_t kListedAlways = kBlock / 16;
static_assert(kListedAlways <= Flipper::kPositions - kStretch, "room for the unconditional slots");
// Blocks whose masks are tested together for any line end at all.
constexpr std::size_t kGroup = 256 / kBlock;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Runs up to this long, nearly every line of text, are copied in one piece
// of this size whatever their length, reading and writing past their end,
// so that the length costs no branch that could be mispredicted.
constexpr std::size_t kShortRun = kSlack;

// The three instruction sets that the splitting is written for: each gives
// the same three operations, which the rest is built on.
struct Scalar {
  // Bit i set where block[i] is the byte wanted.
  static Mask byte_mask(const char *block, char wanted) {
    Mask mask = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      mask |= static_cast<Mask>(block[i] == wanted) << i;
    }
    return mask;
  }

  // The number of set bits, without a library call where the processor has
  // no instruction for it.
  static std::size_t bit_count(Mask bits) {
    constexpr auto kFives = static_cast<Mask>(0x5555555555555555U);
    constexpr auto kThrees = static_cast<Mask>(0x3333333333333333U);
    constexpr auto kNibbles = static_cast<Mask>(0x0F0F0F0F0F0F0F0FU);
    constexpr auto kOnes = static_cast<Mask>(0x0101010101010101U);
    bits -= (bits >> 1) & kFives;
    bits = (bits & kThrees) + ((bits >> 2) & kThrees);
    bits = (bits + (bits >> 4)) & kNibbles;
    return static_cast<std::size_t>((bits * kOnes) >> (kBlock - CHAR_BIT));
  }

  static void copy_short(char *out, const char *from) { std::memcpy(out, from, kShortRun); }
};

#if NLFLIP_X86
struct Sse2 {
  [[gnu::target("sse2")]] static Mask byte_mask(const char *block, char wanted) {
    const __m128i pattern = _mm_set1_epi8(wanted);
    Mask mask = 0;
    for (std::size_t i = 0; i < kBlock; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
      mask |= Mask{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, pattern)))}
              << i;
    }
    return mask;
  }

  static std::size_t bit_count(Mask bits) { return Scalar::bit_count(bits); }

  [[gnu::target("sse2")]] static void copy_short(char *out, const char *from) {
    for (std::size_t i = 0; i < kShortRun; i += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i)));
    }
  }
};

// Every processor with AVX2 also counts bits and finds the lowest one in
// single instructions.
struct Avx2 {
  [[gnu::target("avx2")]] static Mask byte_mask(const char *block, char wanted) {
    const __m256i pattern = _mm256_set1_epi8(wanted);
    Mask mask = 0;
    for (std::size_t i = 0; i < kBlock; i += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(block + i));
      mask |=
          Mask{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, pattern)))}
          << i;
    }
    return mask;
  }

  [[gnu::target("popcnt")]] static std::size_t bit_count(Mask bits) {
    return static_cast<std::size_t>(std::popcount(bits));
  }

  [[gnu::target("avx2")]] static void copy_short(char *out, const char *from) {
    for (std::size_t i = 0; i < kShortRun; i += 32) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + i)));
    }
  }
};
#endif

// How line ends are spelt, for the splitting to be written once: the unit
// (a byte, or a UTF-16 code unit), finding units in a block, testing and
// writing one.
struct Bytes {
  static constexpr std::size_t kUnit = 1;
  static constexpr std::size_t kLookahead = nlflip::kLookahead;

  // Bit i set where the unit at block[i] is the one wanted.
  template <class Isa>
  static Mask find(const char *block, char wanted) {
    return Isa::byte_mask(block, wanted);
  }
  static bool is(const char *unit, char wanted) { return *unit == wanted; }
  static void put(char *unit, char value) { *unit = value; }
  // The first unit wanted in data[from, to), or to.
  static std::size_t next(const char *data, std::size_t from, std::size_t to, char wanted) {
    const void *found = std::memchr(data + from, wanted, to - from);
    return found == nullptr ? to
                            : static_cast<std::size_t>(static_cast<const char *>(found) - data);
  }
};

// UTF-16 with its low byte at kLow: 0 little-endian, 1 big-endian.  Units
// start at even positions of the data; a line end is a unit whose low byte
// is the LF or CR and whose high byte is zero.
template <std::size_t kLow>
struct Utf16 {
  static constexpr std::size_t kUnit = 2;
  // The window and the LF unit that may follow it.
  static constexpr std::size_t kLookahead = kWindow + kUnit;

  template <class Isa>
  static Mask find(const char *block, char wanted) {
    constexpr auto kUnitStarts = static_cast<Mask>(0x5555555555555555U);
    return Isa::byte_mask(block + kLow, wanted) & Isa::byte_mask(block + 1 - kLow, '\0') &
           kUnitStarts;
  }
  static bool is(const char *unit, char wanted) {
    return unit[kLow] == wanted && unit[1 - kLow] == '\0';
  }
  static void put(char *unit, char value) {
    unit[kLow] = value;
    unit[1 - kLow] = '\0';
  }
  static std::size_t next(const char *data, std::size_t from, std::size_t to, char wanted) {
    for (std::size_t unit = from; unit < to; unit += kUnit) {
      if (is(data + unit, wanted)) {
        return unit;
      }
    }
    return to;
  }
};

// The position of the lowest set bit, the top one for none: with a bit
// always set the processor needs no branch for the empty case.
std::size_t lowest_bit(Mask bits) {
  return static_cast<std::size_t>(std::countr_zero(bits | (Mask{1} << (kBlock - 1))));
}

// Lists the positions that a block's mask has set, kListedAlways of them
// whether there are that many or not, after those listed already.
void list_positions(Mask hits, std::size_t block, std::size_t found, std::uint32_t *positions) {
  for (std::size_t i = 0; i < kListedAlways; ++i) {
    positions[i] = static_cast<std::uint32_t>(block + lowest_bit(hits));
    hits &= hits - 1;
  }
  for (std::size_t i = kListedAlways; i < found; ++i) {
    positions[i] = static_cast<std::uint32_t>(block + lowest_bit(hits));
    hits &= hits - 1;
  }
}

// Lists the positions of the wanted unit in data[from, to) into positions
// (room for to - from + 4) and returns their number.
template <class Isa, class Unit>
std::size_t gather(const char *data, std::size_t from, std::size_t to, char wanted,
                   std::uint32_t *positions) {
  constexpr std::size_t kGroupSize = kGroup * kBlock;
  std::size_t count = 0;
  std::size_t group = from;
  for (; to - group >= kGroupSize; group += kGroupSize) {
    Mask any = 0;
    for (std::size_t b = 0; b < kGroup; ++b) {
      any |= Unit::template find<Isa>(data + group + b * kBlock, wanted);
    }
    // A group is tested, not each block: in text with lines of a few dozen
    // bytes a block's outcome is random, and mispredicted it would cost more
    // than its slots; a group of them holds a line end nearly always.
    if (any == 0) {
      continue;
    }
    for (std::size_t b = 0; b < kGroup; ++b) {
      const Mask hits = Unit::template find<Isa>(data + group + b * kBlock, wanted);
      const std::size_t found = Isa::bit_count(hits);
      list_positions(hits, group + b * kBlock, found, positions + count);
      count += found;
    }
  }
  for (std::size_t block = group; block < to; block += kBlock) {
    Mask hits = Unit::template find<Isa>(data + block, wanted);
    if (to - block < kBlock) {
      hits &= (Mask{1} << (to - block)) - 1;
    }
    const std::size_t found = Isa::bit_count(hits);
    list_positions(hits, block, found, positions + count);
    count += found;
  }
  return count;
}

template <class Isa>
void copy_run(char *out, const char *from, std::size_t size) {
  if (size > kShortRun) {
    std::memcpy(out, from, size);
    return;
  }
  Isa::copy_short(out, from);
}

// Writes the toggled end of a line of the given length copied to out, which
// ends in a CR LF pair (pair 1), or in a lone LF or CR (pair 0): CR LF
// becomes LF, a lone LF or CR becomes CR LF.  Returns the new length.
template <class Unit>
std::size_t toggle_end(std::size_t length, std::size_t pair, char *out) {
  constexpr std::size_t kUnit = Unit::kUnit;
  Unit::put(out + length - kUnit - kUnit * pair, static_cast<char>('\r' - 3 * pair));
  Unit::put(out + length - kUnit * pair, '\n');
  return length + kUnit - 2 * kUnit * pair;
}

// swap_eol for a line that ends in its LF: judged from the line itself,
// without a branch, since CR LF and LF ends mix unpredictably and reading
// back what was just copied would wait for the copy to land.  A line of one
// unit looks at that unit, its LF, which makes no pair.
template <class Isa, class Unit>
std::size_t toggle_lf_line(const char *line, std::size_t length, char *out) {
  constexpr std::size_t kUnit = Unit::kUnit;
  copy_run<Isa>(out, line, length);
  const std::size_t pair = static_cast<std::size_t>(
      Unit::is(line + length - kUnit - (length >= 2 * kUnit ? kUnit : 0), '\r'));
  return toggle_end<Unit>(length, pair, out);
}

// swap_eol, for any line.
template <class Isa, class Unit>
std::size_t toggle_line(const char *line, std::size_t length, char *out) {
  constexpr std::size_t kUnit = Unit::kUnit;
  copy_run<Isa>(out, line, length);
  if (length == 0) {
    return 0;
  }
  const char *last = line + length - kUnit;
  if (!Unit::is(last, '\n') && !Unit::is(last, '\r')) {
    return length;
  }
  const bool pair = length >= 2 * kUnit && Unit::is(last - kUnit, '\r');
  return toggle_end<Unit>(length, static_cast<std::size_t>(pair), out);
}

// Ends lines at the listed LFs, from the first on, as long as each lies
// within the window of the line that it ends; returns their number.  Kept
// apart from the rest so that the few values of this loop stay in
// registers.
template <class Isa, class Unit>
std::size_t end_lines_at_lfs(const std::uint32_t *lfs, std::size_t count, const char *data,
                             std::size_t &start, char *&put) {
  std::size_t line_start = start;
  char *line_put = put;
  std::size_t i = 0;
  for (; i < count; ++i) {
    const std::size_t lf = lfs[i];
    if (lf - line_start >= kWindow) {
      break;
    }
    line_put +=
        toggle_lf_line<Isa, Unit>(data + line_start, lf + Unit::kUnit - line_start, line_put);
    line_start = lf + Unit::kUnit;
  }
  start = line_start;
  put = line_put;
  return i;
}

// The CRs of a chunk in order, gathered a stretch at a time when first asked
// for, so that each byte is looked at once over a run of questions with
// rising starts.
template <class Isa, class Unit>
class CrFinder {
 public:
  // positions has room for Flipper::kPositions entries.
  CrFinder(const char *data, std::size_t size, std::uint32_t *positions)
      : data_(data), size_(size), positions_(positions) {}

  // The position of the first CR at or after from, or the chunk's size.
  std::size_t at_or_after(std::size_t from) {
    for (;;) {
      skip_before(from);
      if (next_ < count_) {
        return positions_[next_];
      }
      const std::size_t start = std::max(from, gathered_to_);
      if (start >= size_) {
        return size_;
      }
      gathered_to_ = std::min(size_, start + kStretch);
      count_ = gather<Isa, Unit>(data_, start, gathered_to_, '\r', positions_);
      next_ = 0;
    }
  }

  // Ends lines at the CRs gathered so far, from start on, as long as each
  // starts before decidable_end and is plainly the end of its line: within
  // its window, with no LF in that window (the next LF lies at next_lf) and
  // none right behind it.  Returns their number.  Text with CR line ends
  // runs through here.
  std::size_t end_lines(std::size_t decidable_end, std::size_t next_lf, std::size_t &start,
                        char *&put) {
    skip_before(start);
    std::size_t line_start = start;
    char *line_put = put;
    const std::size_t first = next_;
    for (; next_ < count_; ++next_) {
      const std::size_t cr = positions_[next_];
      // The next LF may lie before the line, as the LF of a CR LF that
      // ended the line before.
      if (line_start >= decidable_end || next_lf < line_start || next_lf - line_start < kWindow ||
          cr - line_start >= kWindow || Unit::is(data_ + cr + Unit::kUnit, '\n')) {
        break;
      }
      const std::size_t length = cr + Unit::kUnit - line_start;
      copy_run<Isa>(line_put, data_ + line_start, length);
      Unit::put(line_put + length, '\n');
      line_put += length + Unit::kUnit;
      line_start = cr + Unit::kUnit;
    }
    start = line_start;
    put = line_put;
    return next_ - first;
  }

 private:
  void skip_before(std::size_t from) {
    while (next_ < count_ && positions_[next_] < from) {
      ++next_;
    }
  }

  const char *data_;
  std::size_t size_;
  std::uint32_t *positions_;  // filled a stretch at a time before it is read
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t gathered_to_ = 0;
};

// The last unit of the line at start that has no LF within its window,
// found by the rule for CRs: its first CR within the window, together with
// an LF right behind it at the window's edge; without a CR, the chunk's last
// unit where the window runs to it (the last line), and kNone where the
// window is full (a too long line).
template <class Isa, class Unit>
std::size_t end_by_cr(const char *data, std::size_t size, std::size_t start,
                      CrFinder<Isa, Unit> &crs) {
  constexpr std::size_t kUnit = Unit::kUnit;
  const std::size_t window = std::min(kWindow, size - start);
  const std::size_t cr = crs.at_or_after(start);
  if (cr >= start + window) {
    return window == kWindow ? kNone : size - kUnit;
  }
  return cr + kUnit < size && Unit::is(data + cr + kUnit, '\n') ? cr + kUnit : cr;
}

// Splits a chunk into lines and writes each, its end toggled, to out.
template <class Isa, class Unit>
class ChunkSplitter {
 public:
  ChunkSplitter(Flipper::State &state, const char *data, std::size_t size, bool last, char *out)
      : state_(state),
        data_(data),
        size_(size),
        decidable_end_(last                      ? size
                       : size > Unit::kLookahead ? size - Unit::kLookahead
                                                 : 0),
        out_(out),
        put_(out),
        lines_(state.lines),
        crs_(data, size, state.cr_positions.get()) {}

  Flipper::Step split() {
    // Mostly an LF ends a line within its window, and every CR before it is
    // an ordinary byte or the first half of a CR LF; only lines longer than
    // the window need the rule for CRs.
    std::uint32_t *const positions = state_.lf_positions.get();
    for (std::size_t stretch = 0; stretch < decidable_end_; stretch += kStretch) {
      const std::size_t found = gather<Isa, Unit>(
          data_, stretch, std::min(decidable_end_, stretch + kStretch), '\n', positions);
      for (std::size_t i = 0; i < found;) {
        const std::size_t ended =
            end_lines_at_lfs<Isa, Unit>(positions + i, found - i, data_, start_, put_);
        lines_ += ended;
        i += ended;
        if (i == found) {
          break;
        }
        // An LF beyond the window of the line at start, or before start as
        // the LF of a CR LF that ended a line by the rule for CRs.
        const std::size_t lf = positions[i];
        if (!end_lines_by_cr(lf)) {
          return step(true);
        }
        i += lf < start_ ? 1 : 0;
      }
    }
    // Every LF before the decidable end has ended a line, so the lines left
    // before it look for theirs only in the lookahead; those whose window
    // holds none end by the rule for CRs (the last line, which may have no
    // end, included).
    return step(!end_lines_by_cr(Unit::next(data_, decidable_end_, size_, '\n')));
  }

 private:
  // Ends the lines from start by the rule for CRs while the next LF lies
  // beyond their windows; false at a too long line.
  bool end_lines_by_cr(std::size_t next_lf) {
    constexpr std::size_t kUnit = Unit::kUnit;
    while (start_ < decidable_end_ && next_lf >= start_ &&
           next_lf - start_ >= std::min(kWindow, size_ - start_)) {
      const std::size_t end = end_by_cr(data_, size_, start_, crs_);
      if (end == kNone) {
        return false;
      }
      put_ += toggle_line<Isa, Unit>(data_ + start_, end + kUnit - start_, put_);
      start_ = end + kUnit;
      lines_ += 1 + crs_.end_lines(decidable_end_, next_lf, start_, put_);
    }
    return true;
  }

  Flipper::Step step(bool too_long) {
    state_.lines = lines_;
    return {start_, static_cast<std::size_t>(put_ - out_), too_long};
  }

  Flipper::State &state_;
  const char *data_;
  std::size_t size_;
  // Only the lines that start before it can be decided from this chunk:
  // their windows and the unit behind are in it.
  std::size_t decidable_end_;
  char *out_;
  std::size_t start_ = 0;  // of the current line
  char *put_;              // where its toggled copy goes
  std::uint64_t lines_;
  CrFinder<Isa, Unit> crs_;
};

// Splits a chunk: out is written through the splitter, which clang-tidy's
// readability-non-const-parameter does not follow into a template.
template <class Isa, class Unit>
Flipper::Step split(Flipper::State &state, const char *data, std::size_t size, bool last,
                    char *out) {  // NOLINT(readability-non-const-parameter)
  return ChunkSplitter<Isa, Unit>(state, data, size, last, out).split();
}

// One entry per instruction set and spelling, compiled for the set with
// everything inlined.
template <class Unit>
Flipper::Step split_scalar(Flipper::State &state, const char *data, std::size_t size, bool last,
                           char *out) {
  return split<Scalar, Unit>(state, data, size, last, out);
}

#if NLFLIP_X86
template <class Unit>
[[gnu::target("sse2"), gnu::flatten]] Flipper::Step split_sse2(Flipper::State &state,
                                                               const char *data, std::size_t size,
                                                               bool last, char *out) {
  return split<Sse2, Unit>(state, data, size, last, out);
}

template <class Unit>
[[gnu::target("avx2,bmi,popcnt"), gnu::flatten]] Flipper::Step split_avx2(Flipper::State &state,
                                                                          const char *data,
                                                                          std::size_t size,
                                                                          bool last, char *out) {
  return split<Avx2, Unit>(state, data, size, last, out);
}

// What the processor offers and the system saves across task switches.
struct Features {
  bool sse2 = false;
  bool avx2 = false;
};

Features features() {
  Features found;
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return found;
  }
  found.sse2 = (edx & bit_SSE2) != 0;
  const bool popcnt = (ecx & bit_POPCNT) != 0;
  // The system must save the wide registers: XCR0's SSE and AVX state bits.
  bool wide_registers_saved = false;
  if ((ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0) {
    unsigned xcr0 = 0;
    unsigned xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    wide_registers_saved = (xcr0 & 6U) == 6U;
  }
  if (wide_registers_saved && popcnt && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    found.avx2 = (ebx & bit_AVX2) != 0 && (ebx & bit_BMI) != 0;
  }
  return found;
}
#endif

using Split = Flipper::Step (*)(Flipper::State &state, const char *data, std::size_t size,
                                bool last, char *out);

template <class Unit>
Split split_for(Kernel kernel) {
  switch (kernel) {
    case Kernel::scalar:
      break;
#if NLFLIP_X86
    case Kernel::sse2:
      return split_sse2<Unit>;
    case Kernel::avx2:
      return split_avx2<Unit>;
#else
    case Kernel::sse2:
    case Kernel::avx2:
      break;
#endif
  }
  return split_scalar<Unit>;
}

Split split_for(Kernel kernel, Encoding encoding) {
  switch (encoding) {
    case Encoding::utf16le:
      return split_for<Utf16<0>>(kernel);
    case Encoding::utf16be:
      return split_for<Utf16<1>>(kernel);
    case Encoding::bytes:
    case Encoding::utf32:
      break;
  }
  return split_for<Bytes>(kernel);
}

}  // namespace

std::vector<Kernel> available_kernels() {
  std::vector<Kernel> kernels{Kernel::scalar};
#if NLFLIP_X86
  static const Features found = features();
  if (found.sse2) {
    kernels.push_back(Kernel::sse2);
  }
  if (found.avx2) {
    kernels.push_back(Kernel::avx2);
  }
#endif
  return kernels;
}

Kernel fastest_kernel() {
  static const Kernel fastest = available_kernels().back();
  return fastest;
}

Encoding encoding_of(const char *start, std::size_t size) {
  const auto begins = [&](std::string_view mark) {
    return size >= mark.size() && std::memcmp(start, mark.data(), mark.size()) == 0;
  };
  using std::string_view_literals::operator""sv;
  if (begins("\xFF\xFE\0\0"sv) || begins("\0\0\xFE\xFF"sv)) {
    return Encoding::utf32;
  }
  if (begins("\xFF\xFE"sv)) {
    return Encoding::utf16le;
  }
  return begins("\xFE\xFF"sv) ? Encoding::utf16be : Encoding::bytes;
}

bool ends_line(const char *unit, Encoding encoding) {
  switch (encoding) {
    case Encoding::utf16le:
      return Utf16<0>::is(unit, '\n') || Utf16<0>::is(unit, '\r');
    case Encoding::utf16be:
      return Utf16<1>::is(unit, '\n') || Utf16<1>::is(unit, '\r');
    case Encoding::bytes:
    case Encoding::utf32:
      break;
  }
  return Bytes::is(unit, '\n') || Bytes::is(unit, '\r');
}

Flipper::Flipper(Kernel kernel, Encoding encoding) : kernel_(kernel) {
  state_.lf_positions.reset(new std::uint32_t[kPositions]);
  state_.cr_positions.reset(new std::uint32_t[kPositions]);
  read_as(encoding);
}

void Flipper::read_as(Encoding encoding) {
  split_ = split_for(kernel_, encoding);
  unit_ = unit_size(encoding);
}

std::size_t swap_eol(const char *line, std::size_t length, char *out) {
  return toggle_line<Scalar, Bytes>(line, length, out);
}

Flipper::Step Flipper::flip(const char *data, std::size_t size, bool last, char *out) {
  return split_(state_, data, size, last, out);
}

}  // namespace nlflip
