#include "input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform.h"

namespace nlflip {

namespace {

// Reads of this size keep the system calls few without holding up pipes.
constexpr std::size_t kReadChunk = std::size_t{16} << 20;
// First capacity for inputs whose size is not known in advance.
constexpr std::size_t kStreamStart = std::size_t{1} << 20;

}  // namespace

Input::~Input() {
  if (buffer_ != nullptr) {
    std::free(buffer_);
  } else if (data_ != nullptr) {
    platform::unmap_file(data_, size_);
  }
}

bool Input::reserve(std::size_t capacity) {
  void *larger = std::realloc(buffer_, capacity);
  if (larger == nullptr) {
    return false;
  }
  buffer_ = static_cast<char *>(larger);
  data_ = buffer_;
  capacity_ = capacity;
  return true;
}

bool Input::grow() {
  if (capacity_ == 0) {
    return reserve(kStreamStart);
  }
  if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) {
    return false;
  }
  return reserve(capacity_ * 2);
}

Input::Result Input::read_stream(std::FILE *stream) {
  // A regular file is read into a buffer of its size plus the one byte that
  // lets the last read see the end without growing the buffer.
  const std::int64_t known_size = platform::regular_file_size(stream);
  if (known_size >= 0) {
    const auto wanted = static_cast<std::uint64_t>(known_size) + 1;
    if (wanted > std::numeric_limits<std::size_t>::max() ||
        !reserve(static_cast<std::size_t>(wanted))) {
      return Result::no_memory;
    }
  }
  for (;;) {
    if (size_ == capacity_ && !grow()) {
      return Result::no_memory;
    }
    const std::size_t room = capacity_ - size_;
    const std::size_t asked = std::min(room, kReadChunk);
    const std::size_t got = std::fread(buffer_ + size_, 1, asked, stream);
    size_ += got;
    if (got < asked) {
      return std::ferror(stream) != 0 ? Result::read_error : Result::ok;
    }
  }
}

Input::Result Input::read(const char *name, Access access) {
  std::FILE *stream = std::fopen(name, "rb");
  if (stream == nullptr) {
    return Result::not_found;
  }
  if (access == Access::map_or_read) {
    data_ = platform::map_file(stream, size_);
  }
  const Result result = data_ != nullptr ? Result::ok : read_stream(stream);
  std::fclose(stream);
  return result;
}

}  // namespace nlflip
