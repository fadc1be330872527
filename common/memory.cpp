// Allocation wrappers: a request that cannot be met is reported in the
// wrapper's own words and ends the program, so callers never test a result.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "common.h"
#include "platform.h"

namespace common {

int terminate_size = 2147483647;

namespace {

constexpr int kKilo = 1000;
constexpr std::size_t kGetmemRetryExtra = 4000;
constexpr std::size_t kMorememRetryExtra = 1000;

// Sizes above 1000 bytes are stated in whole thousands.
void report_size(const char *bytes_format, const char *kilo_format, int size) {
  if (size > kKilo) {
    errmsg(kilo_format, size / kKilo);
  } else {
    errmsg(bytes_format, size);
  }
}

// The standard-heap wrappers let the program clean up first; std::exit runs
// the exit handlers and flushes the streams.
[[noreturn]] void end_program(bool run_endfun) {
  if (run_endfun && endfun != nullptr) {
    endfun();
  }
  std::exit(1);
}

}  // namespace

// getmem, moremem and getmemLock report a negative size like any failed
// request: as an unsigned count it would be huge, or tiny once a retry's extra
// bytes wrap it around.
void *getmem(int size) {
  if (size >= 0) {
    const auto bytes = static_cast<std::size_t>(size);
    if (void *block = std::calloc(1, bytes)) {
      return block;
    }
    // Counted in size_t, the retry size cannot overflow near the top of int.
    if (void *block = std::malloc(bytes + kGetmemRetryExtra)) {
      std::memset(block, 0, bytes);
      return block;
    }
  }
  report_size("\ncannot get the memory of %d bytes\n", "\ncannot get the memory of %d K bytes\n",
              size);
  if (size < terminate_size) {
    end_program(true);
  }
  return nullptr;
}

void *moremem(void *block, int size) {
  if (size >= 0) {
    const auto bytes = static_cast<std::size_t>(size);
    // Resizing to 0 bytes may free the block, which the retry would then
    // touch; one byte keeps it alive.
    if (void *resized = std::realloc(block, bytes == 0 ? 1 : bytes)) {
      return resized;
    }
    if (void *resized = std::realloc(block, bytes + kMorememRetryExtra)) {
      return resized;
    }
  }
  report_size("cannot get the memory of %d bytes\n", "cannot get the memory of %d K bytes\n", size);
  end_program(true);
}

void freemem(void *block) {
  std::free(block);
}

HLOCAL getmemLock(int size) {
  if (size >= 0) {
    if (HLOCAL handle = platform::local_alloc(size)) {
      return handle;
    }
  }
  report_size("Faital error:\ncannot get memory of %d bytes",
              "Faital error:\ncannot get the memory of %d K bytes", size);
  end_program(false);
}

void *getmemAdr(HLOCAL handle) {
  void *address = platform::local_lock(handle);
  if (address == nullptr) {
    errmsg("Faital error:\nnot enough memory");
    end_program(false);
  }
  // Only the address is wanted: the lock count is left as it was.
  platform::local_unlock(handle);
  return address;
}

void freeLocal(HLOCAL handle) {
  if (handle != nullptr) {
    platform::local_free(handle);
  }
}

char *setstr(const char *text) {
  const std::size_t size = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(std::malloc(size));
  if (copy == nullptr) {
    errmsg("cannot get memory\n");
    end_program(true);
  }
  std::memcpy(copy, text, size);
  return copy;
}

char *addstr(char *block, const char *text) {
  const std::size_t head = std::strlen(block);
  const std::size_t tail = std::strlen(text);
  // Text taken from the block itself would be lost if the resize moves the
  // block, so it is found again by its offset.
  const std::less_equal<const char *> not_after;
  const bool inside = not_after(block, text) && not_after(text, block + head);
  const std::ptrdiff_t offset = inside ? text - block : 0;
  auto *grown = static_cast<char *>(std::realloc(block, head + tail + 1));
  if (grown == nullptr) {
    errmsg("can't get memory\n");
    end_program(true);
  }
  std::memmove(grown + head, inside ? grown + offset : text, tail + 1);
  return grown;
}

}  // namespace common
