#include "stream.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "flip.h"

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

// A block of memory that starts at a page boundary.  It is not cleared: its
// pages are touched only as they are used, and bytes past the data are read
// but never used.
class PageAligned {
 public:
  explicit PageAligned(std::size_t size) : raw_(new char[size + kPage]) {}

  char *get() const {
    const auto misalignment = reinterpret_cast<std::uintptr_t>(raw_.get()) % kPage;
    return raw_.get() + (kPage - misalignment) % kPage;
  }

 private:
  std::unique_ptr<char[]> raw_;
};

// Writes blocks on a thread of its own, so that converting the next chunk
// overlaps writing the last one; one block is in flight at a time.  Where no
// thread can be started, blocks are written as they come.
class BackgroundWriter {
 public:
  explicit BackgroundWriter(Sink &sink) : sink_(sink) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
      // Written on this thread instead.
    }
  }
  ~BackgroundWriter() {
    if (thread_.joinable()) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
  }
  BackgroundWriter(const BackgroundWriter &) = delete;
  BackgroundWriter &operator=(const BackgroundWriter &) = delete;

  // Hands a block over once the one before is written; false when a block
  // could not be written.  The block must stay untouched until the next
  // call of put() or finish().
  bool put(const char *data, std::size_t size) {
    if (!thread_.joinable()) {
      return sink_.write(data, size);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    if (failed_) {
      return false;
    }
    data_ = data;
    size_ = size;
    changed_.notify_all();
    return true;
  }

  // Waits for the last block; false when any block could not be written.
  bool finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    return !failed_;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return data_ != nullptr || stopping_; });
      if (data_ == nullptr) {
        return;
      }
      lock.unlock();
      const bool written = sink_.write(data_, size_);
      lock.lock();
      failed_ = failed_ || !written;
      data_ = nullptr;
      changed_.notify_all();
    }
  }

  Sink &sink_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char *data_ = nullptr;
  std::size_t size_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

Converted flip_stream(Source &source, Sink *sink, std::size_t chunk, Kernel kernel) {
  // The unfinished line and the lookahead behind it, less than a window
  // each, are carried over in front of the next chunk, which is read to a
  // page boundary: the system copies to and from aligned buffers fastest.
  const std::size_t front = page_multiple(2 * kLookahead);
  const PageAligned in(front + chunk + kSlack);
  char *const fresh = in.get() + front;
  // Two output areas: one being written while the next is filled.
  const std::size_t out_size = page_multiple(2 * (front + chunk) + kSlack);
  const PageAligned out(2 * out_size);
  std::unique_ptr<BackgroundWriter> writer;
  if (sink != nullptr) {
    writer = std::make_unique<BackgroundWriter>(*sink);
  }
  Flipper flipper(kernel);
  std::size_t have = 0;    // carried over, right before fresh
  std::size_t handed = 0;  // blocks handed to the writer: the next area is the other one
  for (bool last = false; !last;) {
    const std::int64_t got = fill(source, fresh, chunk);
    if (got < 0) {
      return {Converted::Outcome::read_error, 0};
    }
    last = static_cast<std::size_t>(got) < chunk;
    const char *data = fresh - have;
    const std::size_t size = have + static_cast<std::size_t>(got);
    // A chunk that ends no line writes nothing, so the area last handed
    // over may still be in the writer's hands: only the other one is free.
    char *area = out.get() + (handed % 2) * out_size;
    const Flipper::Step step = flipper.flip(data, size, last, area);
    if (step.too_long) {
      return {Converted::Outcome::too_long, flipper.lines() + 1};
    }
    if (writer && step.written > 0) {
      if (!writer->put(area, step.written)) {
        return {Converted::Outcome::write_error, 0};
      }
      ++handed;
    }
    have = size - step.consumed;
    std::memmove(fresh - have, data + step.consumed, have);
  }
  if (writer && !writer->finish()) {
    return {Converted::Outcome::write_error, 0};
  }
  return {};
}

}  // namespace nlflip
