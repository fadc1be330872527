#include "stream.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
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

// Writes blocks on a thread of its own, so that converting a chunk overlaps
// writing the last one, and where the source allows reads the next chunk
// there too: the converting thread then only converts, while the other does
// what a plain copy does.  One read and one write are in flight at a time.
// Without a sink, or where no thread can be started, reads and writes
// happen when they are asked for.
class Io {
 public:
  Io(Source &source, Sink *sink) : source_(source), sink_(sink) {
    if (sink_ == nullptr) {
      return;
    }
    try {
      thread_ = std::thread([this] { run(); });
      reading_ahead_ = source_.reads_ahead();
    } catch (const std::system_error &) {
      // Written on this thread instead.
    }
  }
  // What is in flight is finished first: a block handed over is written.
  ~Io() {
    if (thread_.joinable()) {
      {
        const std::lock_guard<platform::Monitor> lock(monitor_);
        stopping_ = true;
      }
      monitor_.notify_all();
      thread_.join();
    }
  }
  Io(const Io &) = delete;
  Io &operator=(const Io &) = delete;

  // Asks for up to size bytes to be read into buffer, as fill() reads them.
  void start_read(char *buffer, std::size_t size) {
    if (!reading_ahead_) {
      read_buffer_ = buffer;
      read_size_ = size;
      return;
    }
    {
      const std::lock_guard<platform::Monitor> lock(monitor_);
      read_buffer_ = buffer;
      read_size_ = size;
      read_pending_ = true;
    }
    monitor_.notify_all();
  }

  // What the read asked for last gave: as fill().
  std::int64_t finish_read() {
    if (!reading_ahead_) {
      return fill(source_, read_buffer_, read_size_);
    }
    std::unique_lock<platform::Monitor> lock(monitor_);
    wait(lock, [this] { return !read_pending_; });
    return read_result_;
  }

  // Hands a block over once the one before is written; false when a block
  // could not be written.  The block must stay untouched until the next
  // call of put() or finish().
  bool put(const char *data, std::size_t size) {
    if (!thread_.joinable()) {
      return sink_->write(data, size);
    }
    {
      std::unique_lock<platform::Monitor> lock(monitor_);
      wait(lock, [this] { return write_data_ == nullptr; });
      if (failed_) {
        return false;
      }
      write_data_ = data;
      write_size_ = size;
    }
    monitor_.notify_all();
    return true;
  }

  // Waits for the last block; false when any block could not be written.
  bool finish() {
    if (!thread_.joinable()) {
      return true;
    }
    std::unique_lock<platform::Monitor> lock(monitor_);
    wait(lock, [this] { return write_data_ == nullptr; });
    return !failed_;
  }

 private:
  template <class Ready>
  void wait(std::unique_lock<platform::Monitor> &lock, Ready ready) {
    while (!ready()) {
      lock.mutex()->wait();
    }
  }

  void run() {
    std::unique_lock<platform::Monitor> lock(monitor_);
    for (;;) {
      wait(lock, [this] { return write_data_ != nullptr || read_pending_ || stopping_; });
      if (write_data_ != nullptr) {
        lock.unlock();
        const bool written = sink_->write(write_data_, write_size_);
        lock.lock();
        failed_ = failed_ || !written;
        write_data_ = nullptr;
      } else if (read_pending_) {
        lock.unlock();
        const std::int64_t got = fill(source_, read_buffer_, read_size_);
        lock.lock();
        read_result_ = got;
        read_pending_ = false;
      } else {
        return;
      }
      lock.unlock();
      monitor_.notify_all();
      lock.lock();
    }
  }

  Source &source_;
  Sink *sink_;
  platform::Monitor monitor_;
  bool reading_ahead_ = false;
  char *read_buffer_ = nullptr;
  std::size_t read_size_ = 0;
  bool read_pending_ = false;
  std::int64_t read_result_ = 0;
  const char *write_data_ = nullptr;
  std::size_t write_size_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

Converted flip_stream(Source &source, Sink *sink, std::size_t chunk, Kernel kernel) {
  // The unfinished line and the lookahead behind it, less than a window
  // each, are carried over in front of the next chunk, which is read to a
  // page boundary: the system copies to and from aligned buffers fastest.
  // Two input areas, one being read while the other is converted.
  const std::size_t front = page_multiple(2 * kLookahead);
  const std::size_t in_size = page_multiple(front + chunk + kSlack);
  const PageAligned in(2 * in_size);
  char *const fresh[2] = {in.get() + front, in.get() + in_size + front};
  // Two output areas: one being written while the next is filled.
  const std::size_t out_size = page_multiple(2 * (front + chunk) + kSlack);
  const PageAligned out(2 * out_size);
  Io io(source, sink);
  Flipper flipper(kernel);
  std::size_t have = 0;    // carried over, right before the fresh bytes
  std::size_t handed = 0;  // blocks handed to the writer: the next area is the other one
  std::size_t area = 0;    // the input area read last
  io.start_read(fresh[area], chunk);
  for (bool last = false; !last; area ^= 1) {
    const std::int64_t got = io.finish_read();
    if (got < 0) {
      return {Converted::Outcome::read_error, 0};
    }
    last = static_cast<std::size_t>(got) < chunk;
    if (!last) {
      io.start_read(fresh[area ^ 1], chunk);
    }
    const char *data = fresh[area] - have;
    const std::size_t size = have + static_cast<std::size_t>(got);
    // A chunk that ends no line writes nothing, so the area last handed
    // over may still be in the writer's hands: only the other one is free.
    char *converted = out.get() + (handed % 2) * out_size;
    const Flipper::Step step = flipper.flip(data, size, last, converted);
    if (step.too_long) {
      return {Converted::Outcome::too_long, flipper.lines() + 1};
    }
    if (sink != nullptr && step.written > 0) {
      if (!io.put(converted, step.written)) {
        return {Converted::Outcome::write_error, 0};
      }
      ++handed;
    }
    have = size - step.consumed;
    std::memcpy(fresh[area ^ 1] - have, data + step.consumed, have);
  }
  if (sink != nullptr && !io.finish()) {
    return {Converted::Outcome::write_error, 0};
  }
  return {};
}

}  // namespace nlflip
