#include "flip.h"

#include <cstring>

namespace nlflip {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;

bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

// Every line starts at the buffer's start or right after a CR or LF, and each
// CR or LF that a run of kWindow bytes without CR or LF follows ends a line;
// so a too long line exists exactly when such a run does.  Looking for the
// last CR or LF of each window lets the test skip most bytes.
bool has_line_free_run(const char *data, std::size_t size) {
  std::size_t start = 0;     // start of the window under test
  std::size_t clear_to = 0;  // [start, clear_to) is known to hold no CR or LF
  while (size - start >= kWindow) {
    const std::size_t window_end = start + kWindow;
    std::size_t p = window_end;
    while (p > clear_to && !is_line_end(data[p - 1])) {
      --p;
    }
    if (p == clear_to) {
      return true;
    }
    start = p;
    clear_to = window_end;
  }
  return false;
}

}  // namespace

std::size_t LineSplitter::find(NextByte &next) {
  if (!next.known || next.at < pos_) {
    const void *found = std::memchr(data_ + pos_, next.byte, size_ - pos_);
    next.at = found == nullptr ? size_
                               : static_cast<std::size_t>(static_cast<const char *>(found) - data_);
    next.known = true;
  }
  return next.at;
}

LineSplitter::Step LineSplitter::take(std::size_t end, Line &line) {
  line = Line{pos_, end};
  pos_ = end;
  return Step::line;
}

LineSplitter::Step LineSplitter::next(Line &line) {
  if (pos_ == size_) {
    return Step::end;
  }
  ++lines_;
  const std::size_t window_end = pos_ + (size_ - pos_ < kWindow ? size_ - pos_ : kWindow);
  const std::size_t lf = find(lf_);
  if (lf < window_end) {
    return take(lf + 1, line);
  }
  const std::size_t cr = find(cr_);
  if (cr < window_end) {
    // A CR LF pair cut by the window's edge still ends the line as a pair.
    const bool pair_at_edge =
        cr + 1 == window_end && window_end < size_ && data_[window_end] == '\n';
    return take(pair_at_edge ? cr + 2 : cr + 1, line);
  }
  if (window_end - pos_ == kWindow) {
    return Step::too_long;
  }
  return take(size_, line);
}

std::uint64_t find_too_long_line(const char *data, std::size_t size) {
  if (!has_line_free_run(data, size)) {
    return 0;
  }
  LineSplitter lines(data, size);
  Line line{};
  LineSplitter::Step step;
  while ((step = lines.next(line)) == LineSplitter::Step::line) {
  }
  return step == LineSplitter::Step::too_long ? lines.line_number() : 0;
}

std::size_t swap_eol(char *line, std::size_t length) {
  if (length >= 2 && line[length - 2] == '\r') {
    line[length - 2] = '\n';
    return length - 1;
  }
  if (length >= 1 && is_line_end(line[length - 1])) {
    line[length - 1] = '\r';
    line[length] = '\n';
    return length + 1;
  }
  return length;
}

bool write_flipped(const char *data, std::size_t size, const BlockWriter &write) {
  static char block[kBlockSize];
  std::size_t used = 0;
  LineSplitter lines(data, size);
  Line line{};
  while (lines.next(line) == LineSplitter::Step::line) {
    const std::size_t length = line.end - line.begin;
    if (kBlockSize - used <= length) {
      if (!write(block, used)) {
        return false;
      }
      used = 0;
    }
    std::memcpy(block + used, data + line.begin, length);
    used += swap_eol(block + used, length);
  }
  return used == 0 || write(block, used);
}

}  // namespace nlflip
