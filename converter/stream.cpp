#include "stream.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "flip.h"
#include "platform.h"

namespace nlflip {

std::int64_t fill(Source &source, char *buffer, std::size_t size) {
  std::size_t have = 0;
  while (have < size) {
    const std::int64_t got = source.read(buffer + have, size - have);
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(have);
}

namespace {

constexpr std::size_t kPage = 4096;

std::size_t page_multiple(std::size_t size) {
  return (size + kPage - 1) / kPage * kPage;
}

// A block of memory that starts at a page boundary, its pages made at once.
// It is not cleared: bytes past the data are read but never used.
class PageAligned {
 public:
  explicit PageAligned(std::size_t size)
      : size_(size), block_(static_cast<char *>(platform::make_pages(size))) {
    if (block_ == nullptr) {
      throw std::bad_alloc();
    }
  }
  ~PageAligned() { platform::free_pages(block_, size_); }
  PageAligned(const PageAligned &) = delete;
  PageAligned &operator=(const PageAligned &) = delete;

  char *get() const { return block_; }

 private:
  const std::size_t size_;
  char *const block_;
};

// The order that the chunks keep: each of the three steps, reading,
// converting and writing, happens for one chunk after the other, and none
// happens for a chunk from the first one on that the run ends before (the
// chunk after the last, or the earliest that failed).
class Turns {
 public:
  enum Step { kRead, kConvert, kWrite, kSteps };

  explicit Turns(bool read_ahead) : read_ahead_(read_ahead) {}

  // Waits until the chunk may take the step: the chunk before is done with
  // it, and for reading from a source that cannot read ahead also with
  // converting, so that no read waits on a pipe after the run has ended.
  // False when the run ends before the chunk.
  bool wait(Step step, std::uint64_t chunk) {
    // A turn mostly comes within a fraction of a millisecond: waiting for it
    // awake spares the processor a sleep and the other thread a wake-up,
    // which in a virtual machine with an idle processor take as long.
    for (int spin = 0; spin < kSpins && chunk < end_ && !ready(step, chunk); ++spin) {
      std::this_thread::yield();
    }
    std::unique_lock<platform::Monitor> lock(monitor_);
    while (chunk < end_ && !ready(step, chunk)) {
      monitor_.wait();
    }
    return chunk < end_;
  }

  void done(Step step, std::uint64_t chunk) {
    {
      const std::lock_guard<platform::Monitor> lock(monitor_);
      next_[step] = chunk + 1;
    }
    monitor_.notify_all();
  }

  // The run ends before the chunk, with the outcome given, unless it ends
  // before an earlier one already.
  void end_before(std::uint64_t chunk, Converted outcome) {
    {
      const std::lock_guard<platform::Monitor> lock(monitor_);
      if (chunk < end_) {
        end_ = chunk;
        outcome_ = outcome;
      }
    }
    monitor_.notify_all();
  }

  Converted outcome() {
    const std::lock_guard<platform::Monitor> lock(monitor_);
    return outcome_;
  }

 private:
  bool ready(Step step, std::uint64_t chunk) const {
    return next_[step] == chunk && (step != kRead || read_ahead_ || next_[kConvert] == chunk);
  }

  // Yields before a wait sleeps: a few hundred microseconds.
  static constexpr int kSpins = 1000;

  const bool read_ahead_;
  platform::Monitor monitor_;
  // Changed with the monitor held, read also without it.
  std::atomic<std::uint64_t> next_[kSteps] = {};  // the chunk whose turn it is at each step
  std::atomic<std::uint64_t> end_{static_cast<std::uint64_t>(-1)};
  Converted outcome_;
};

// Whether a second worker pays: only where there is a sink and the source is
// not known to be small.
bool second_worker_pays(const Source &source, const Sink *sink) {
  return sink != nullptr && platform::worth_a_second_worker(source.left());
}

// The chunk size for a source: the one asked for, or the workers' own; at
// most what the source is known to hold (a page multiple); at least a
// window's lookahead.
std::size_t chunk_for(const Source &source, std::size_t asked, bool two_workers) {
  if (asked == kChosenChunk) {
    asked = two_workers ? kTwoWorkerChunk : kChunk;
  }
  const std::uint64_t left = source.left();
  const std::size_t known = left < asked ? page_multiple(static_cast<std::size_t>(left)) : asked;
  return std::max(known, kLookahead);
}

// Converts a stream with one worker, or with two that take the chunks in
// turns: each reads, converts and writes its chunk itself, so that the
// chunk's bytes stay in its processor's cache and only the unfinished line
// crosses to the other.  While one converts, the other can read or write.
// Where no second thread can be started, one worker takes every chunk.
class Workers {
 public:
  Workers(Source &source, Sink *sink, std::size_t chunk, Kernel kernel)
      : source_(source),
        sink_(sink),
        areas_(second_worker_pays(source, sink) ? 2 : 1),
        chunk_(chunk_for(source, chunk, areas_ == 2)),
        front_(page_multiple(2 * kLookahead)),
        in_size_(page_multiple(front_ + chunk_ + kSlack)),
        out_size_(page_multiple(kPage + 2 * (front_ + chunk_) + kSlack)),
        in_(areas_ * in_size_),
        out_(areas_ * out_size_),
        flipper_(kernel),
        turns_(source.reads_ahead()) {}

  Converted run() {
    std::thread other;
    if (areas_ == 2) {
      try {
        other = std::thread([this] { work(1, 2); });
      } catch (const std::system_error &) {
        // One worker takes every chunk instead.
      }
    }
    work(0, other.joinable() ? 2 : 1);
    if (other.joinable()) {
      other.join();
    }
    return turns_.outcome();
  }

 private:
  // The fresh bytes of a chunk are read to a page boundary, the system
  // copies to and from aligned buffers fastest; the carried line goes in
  // front of them.  Two workers take two areas in turns; one reuses one.
  char *read_area(std::uint64_t chunk) const {
    return in_.get() + chunk % areas_ * in_size_ + front_;
  }
  char *write_area(std::uint64_t chunk) const { return out_.get() + chunk % areas_ * out_size_; }

  void work(std::uint64_t first, std::uint64_t stride) {
    for (std::uint64_t chunk = first;; chunk += stride) {
      if (!turns_.wait(Turns::kRead, chunk)) {
        return;
      }
      const std::int64_t got = fill(source_, read_area(chunk), chunk_);
      if (got < 0) {
        turns_.end_before(chunk, {Converted::Outcome::read_error, 0});
        return;
      }
      const bool last = static_cast<std::size_t>(got) < chunk_;
      if (last) {
        turns_.end_before(chunk + 1, {});
      }
      turns_.done(Turns::kRead, chunk);
      Block block;
      if (!convert(chunk, static_cast<std::size_t>(got), last, block) || !write(chunk, block)) {
        return;
      }
    }
  }

  // A chunk's converted bytes.
  struct Block {
    const char *data = nullptr;
    std::size_t size = 0;
  };

  bool convert(std::uint64_t chunk, std::size_t got, bool last, Block &block) {
    if (!turns_.wait(Turns::kConvert, chunk)) {
      return false;
    }
    const char *data = read_area(chunk) - carried_;
    std::size_t size = carried_ + got;
    // The bytes go where they share their offset within a page with their
    // place in the output, so that the system copies them between equally
    // aligned addresses: otherwise its copies take twice as long.
    char *const out = write_area(chunk) + output_size_ % kPage;
    std::size_t mark = 0;
    if (chunk == 0 && !take_mark(data, size, out, mark)) {
      turns_.end_before(chunk, {Converted::Outcome::unsupported, 0});
      return false;
    }
    data += mark;
    size -= mark;
    // Units are split whole: a byte short of one waits for the next chunk,
    // and at the end follows the last line as it is.
    const std::size_t partial_unit = size % flipper_.unit();
    const Flipper::Step step = flipper_.flip(data, size - partial_unit, last, out + mark);
    if (step.too_long) {
      turns_.end_before(chunk, {Converted::Outcome::too_long, flipper_.lines() + 1});
      return false;
    }
    std::size_t written = mark + step.written;
    if (last && partial_unit != 0) {
      out[written++] = data[size - 1];
    }
    carried_ = size - step.consumed;
    // In one area the carried line moves to the front of its own chunk.
    std::memmove(read_area(chunk + 1) - carried_, data + step.consumed, carried_);
    block = {out, written};
    output_size_ += written;
    turns_.done(Turns::kConvert, chunk);
    return true;
  }

  // Reads a byte-order mark at the stream's start: a UTF-16 one is copied
  // to out and its size given in mark, and the rest read in UTF-16; false
  // for a UTF-32 one.
  bool take_mark(const char *data, std::size_t size, char *out, std::size_t &mark) {
    const Encoding encoding = encoding_of(data, size);
    if (encoding == Encoding::utf32) {
      return false;
    }
    if (encoding != Encoding::bytes) {
      mark = kMarkSize;
      std::memcpy(out, data, mark);
      flipper_.read_as(encoding);
    }
    return true;
  }

  bool write(std::uint64_t chunk, const Block &block) {
    if (!turns_.wait(Turns::kWrite, chunk)) {
      return false;
    }
    if (sink_ != nullptr && block.size > 0 && !sink_->write(block.data, block.size)) {
      turns_.end_before(chunk, {Converted::Outcome::write_error, 0});
      return false;
    }
    turns_.done(Turns::kWrite, chunk);
    return true;
  }

  Source &source_;
  Sink *sink_;
  const std::size_t areas_;  // of the input and of the output, one per worker
  const std::size_t chunk_;
  // The unfinished line and the lookahead behind it, less than a window
  // each, are carried in front of the next chunk.
  const std::size_t front_;
  const std::size_t in_size_;
  const std::size_t out_size_;  // room for every byte of a chunk doubled, a page on
  const PageAligned in_;
  const PageAligned out_;
  Flipper flipper_;  // used in converting turns only
  std::size_t carried_ = 0;
  std::uint64_t output_size_ = 0;  // converted so far
  Turns turns_;
};

}  // namespace

Converted flip_stream(Source &source, Sink *sink, std::size_t chunk, Kernel kernel) {
  return Workers(source, sink, chunk, kernel).run();
}

}  // namespace nlflip
