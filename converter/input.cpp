#include "input.h"

#include <algorithm>
#include <cstring>

#include "flip.h"

namespace nlflip {

namespace {

// A stream's first bytes are kept in memory, the rest in a spool file.
constexpr std::size_t kHeadSize = std::size_t{4} << 20;
// Bytes read at a time when searching back from a window's end.
constexpr std::size_t kTailSize = 256;

// Sizes and positions stay 64-bit in the 32-bit program too, so that files
// past 4 GiB convert there.
static_assert(sizeof(platform::FileStatus::size) == 8, "file sizes are 64-bit");

// A regular file from its start to its size at opening.  A file that ends
// before that has shrunk under the run: a reading failure.  Bytes appended
// meanwhile are not read.
class FileRange : public Source {
 public:
  FileRange(std::FILE *file, std::uint64_t size) : file_(file), size_(size) {}

  std::int64_t read(char *buffer, std::size_t size) override {
    if (position_ == size_) {
      return 0;
    }
    const std::size_t asked =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - position_));
    const std::int64_t got = platform::read_at(file_, buffer, asked, position_);
    if (got <= 0) {
      return -1;
    }
    position_ += static_cast<std::uint64_t>(got);
    return got;
  }

  bool reads_ahead() const override { return true; }
  std::uint64_t left() const override { return size_ - position_; }

  // Reads exactly size bytes at offset; false when they cannot be had.
  bool read_exactly(char *buffer, std::size_t size, std::uint64_t offset) {
    position_ = offset;
    return fill(*this, buffer, size) == static_cast<std::int64_t>(size);
  }

 private:
  std::FILE *file_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
};

class StreamSource : public Source {
 public:
  explicit StreamSource(std::FILE *stream) : stream_(stream) {}

  std::int64_t read(char *buffer, std::size_t size) override {
    return platform::read(stream_, buffer, size);
  }

 private:
  std::FILE *stream_;
};

// Reads a stream once and keeps what it gives, to be given again after a
// rewind: the first bytes in memory, the rest in an unnamed temporary file.
class Spool : public Source {
 public:
  explicit Spool(std::FILE *stream) : stream_(stream) {}
  ~Spool() override {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  Spool(const Spool &) = delete;
  Spool &operator=(const Spool &) = delete;

  std::int64_t read(char *buffer, std::size_t size) override {
    return replaying_ ? replay(buffer, size) : take(buffer, size);
  }

  bool reads_ahead() const override { return replaying_; }

  void rewind() {
    replaying_ = true;
    position_ = 0;
    rest_ = FileRange(file_, spooled_);
  }

  bool failed() const { return failed_; }

 private:
  std::int64_t take(char *buffer, std::size_t size) {
    const std::int64_t got = platform::read(stream_, buffer, size);
    if (got > 0 && !keep(buffer, static_cast<std::size_t>(got))) {
      failed_ = true;
      return -1;
    }
    return got;
  }

  bool keep(const char *data, std::size_t size) {
    const std::size_t in_memory = std::min(size, kHeadSize - head_.size());
    head_.append(data, in_memory);
    if (in_memory == size) {
      return true;
    }
    if (file_ == nullptr && (file_ = platform::open_spool()) == nullptr) {
      return false;
    }
    spooled_ += size - in_memory;
    return platform::write_all(file_, data + in_memory, size - in_memory);
  }

  std::int64_t replay(char *buffer, std::size_t size) {
    if (position_ < head_.size()) {
      const std::size_t from_memory = std::min(size, head_.size() - position_);
      std::memcpy(buffer, head_.data() + position_, from_memory);
      position_ += from_memory;
      return static_cast<std::int64_t>(from_memory);
    }
    return rest_.read(buffer, size);
  }

  std::FILE *stream_;
  std::string head_;
  std::FILE *file_ = nullptr;
  std::uint64_t spooled_ = 0;
  FileRange rest_{nullptr, 0};  // the spool file, once rewound
  std::size_t position_ = 0;    // in the part kept in memory
  bool replaying_ = false;
  bool failed_ = false;
};

// The lines of a file: from where the first starts to where the last ends,
// in units of the encoding.
struct Lines {
  Encoding encoding = Encoding::bytes;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// Where a file's lines lie, after its byte-order mark and before an odd byte
// short of a unit.
bool lines_of(FileRange &file, std::uint64_t size, Lines &lines) {
  char head[4];
  const auto known = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, size));
  if (!file.read_exactly(head, known, 0)) {
    return false;
  }
  lines.encoding = encoding_of(head, known);
  lines.begin = lines.encoding == Encoding::bytes ? 0 : kMarkSize;
  lines.end = size - (size - lines.begin) % unit_size(lines.encoding);
  return true;
}

// Every line starts at the first unit or right after a CR or LF, and each
// CR or LF that a run of kWindow bytes without CR or LF follows ends a line;
// so a too long line exists exactly when such a run does.  Looking back from
// the end of each window for its last CR or LF skips most bytes.
LineSearch find_line_free_run(FileRange &file, const Lines &lines) {
  const std::size_t unit = unit_size(lines.encoding);
  char tail[kTailSize];
  std::uint64_t start = lines.begin;     // of the window under test
  std::uint64_t clear_to = lines.begin;  // [start, clear_to) is known to hold no CR or LF
  while (lines.end - start >= kWindow) {
    const std::uint64_t window_end = start + kWindow;
    std::uint64_t p = window_end;
    bool hit = false;
    while (!hit && p > clear_to) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kTailSize, p - clear_to));
      if (!file.read_exactly(tail, n, p - n)) {
        return LineSearch::read_error;
      }
      std::size_t i = n;
      while (i > 0 && !ends_line(tail + i - unit, lines.encoding)) {
        i -= unit;
      }
      hit = i > 0;
      p -= n - i;
    }
    if (!hit) {
      return LineSearch::too_long;
    }
    start = p;
    clear_to = window_end;
  }
  return LineSearch::fits;
}

}  // namespace

LineSearch search_too_long_line(std::FILE *file, std::uint64_t size) {
  FileRange range(file, size);
  Lines lines;
  if (!lines_of(range, size, lines)) {
    return LineSearch::read_error;
  }
  if (lines.encoding == Encoding::utf32) {
    return LineSearch::unsupported;
  }
  return find_line_free_run(range, lines);
}

Input::~Input() {
  close();
}

void Input::close() {
  source_.reset();
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
}

bool Input::open(const char *name) {
  stream_ = platform::open_file(name, "rb");
  if (stream_ == nullptr) {
    return false;
  }
  opened_ = Snapshot(platform::status_of(stream_));
  return true;
}

Ending Input::check() {
  return sized() ? check_regular() : check_stream();
}

Ending Input::check_regular() {
  const auto size = static_cast<std::uint64_t>(status().size);
  switch (search_too_long_line(stream_, size)) {
    case LineSearch::fits:
      return {};
    case LineSearch::unsupported:
      return {Ending::Outcome::utf32, 0};
    case LineSearch::read_error:
      return {Ending::Outcome::reading_error, 0};
    case LineSearch::too_long:
      break;
  }
  // Only a walk over the lines tells which one is too long.
  FileRange file(stream_, size);
  return ending_of(flip_stream(file, nullptr));
}

Ending Input::check_stream() {
  auto spool = std::make_unique<Spool>(stream_);
  const Converted converted = flip_stream(*spool, nullptr);
  if (spool->failed()) {
    return {Ending::Outcome::spooling_error, 0};
  }
  // All of it is kept now; a FIFO that is also the output must not be held
  // open by its reader.
  std::fclose(stream_);
  stream_ = nullptr;
  spool->rewind();
  source_ = std::move(spool);
  return ending_of(converted);
}

bool Input::shrank() const {
  return sized() && opened_.shrank(stream_);
}

Source &Input::source() {
  if (sized()) {
    source_ = std::make_unique<FileRange>(stream_, static_cast<std::uint64_t>(status().size));
  } else if (source_ == nullptr) {
    source_ = std::make_unique<StreamSource>(stream_);
  }
  return *source_;
}

}  // namespace nlflip
