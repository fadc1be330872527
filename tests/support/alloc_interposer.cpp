#include "alloc_interposer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
}

namespace {

// Fixed storage: the interposer must not allocate while it is armed.
constexpr std::size_t kCapacity = 8;

bool armed = false;
std::array<std::size_t, kCapacity> failing{};
std::size_t failing_count = 0;
std::array<std::size_t, kCapacity> logged{};
std::size_t logged_count = 0;

// Logs the request and tells whether it is to fail.
bool refuse(std::size_t size) {
  if (!armed) {
    return false;
  }
  if (logged_count < kCapacity) {
    logged[logged_count++] = size;
  }
  const std::span<const std::size_t> refused(failing.data(), failing_count);
  if (std::ranges::find(refused, size) == refused.end()) {
    return false;
  }
  errno = ENOMEM;
  return true;
}

}  // namespace

namespace alloc_interposer {

void arm(std::initializer_list<std::size_t> failing_sizes) {
  failing_count = std::min(failing_sizes.size(), kCapacity);
  std::copy_n(failing_sizes.begin(), failing_count, failing.begin());
  logged_count = 0;
  armed = true;
}

std::vector<std::size_t> disarm() {
  armed = false;
  return {logged.begin(), logged.begin() + static_cast<std::ptrdiff_t>(logged_count)};
}

}  // namespace alloc_interposer

extern "C" {

void *__wrap_malloc(std::size_t size) {
  if (refuse(size)) {
    return nullptr;
  }
  void *block = __real_malloc(size);
  if (armed && block != nullptr) {
    std::memset(block, alloc_interposer::kPoison, size);
  }
  return block;
}

void *__wrap_calloc(std::size_t count, std::size_t size) {
  return refuse(count * size) ? nullptr : __real_calloc(count, size);
}

void *__wrap_realloc(void *block, std::size_t size) {
  return refuse(size) ? nullptr : __real_realloc(block, size);
}

}  // extern "C"
