// What every fuzz target shares, and the tests that replay their seeds: typed
// values taken from the fuzz data, texts in allocations that end right behind
// their NUL, and a check that aborts.
#ifndef TESTS_SUPPORT_FUZZ_INPUT_H
#define TESTS_SUPPORT_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace fuzz {

// An exhausted input goes on giving zeros, so every input decodes somehow.
class Input {
 public:
  Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ == size_; }

  std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

  template <typename T>
  T value() {
    unsigned char bytes[sizeof(T)] = {};
    for (unsigned char &b : bytes) {
      b = byte();
    }
    T result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
  }

  // Bytes up to the next NUL (taken, not kept) or the input's end, at most max.
  std::string text(std::size_t max) {
    std::string result;
    while (!empty() && result.size() < max) {
      const std::uint8_t b = byte();
      if (b == 0) {
        break;
      }
      result += static_cast<char>(b);
    }
    return result;
  }

  std::string rest() {
    std::string result;
    while (!empty()) {
      result += static_cast<char>(byte());
    }
    return result;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A NUL-terminated copy whose allocation ends with the NUL, so that
// AddressSanitizer reports any read past the terminator.
inline std::unique_ptr<char[]> exact_copy(std::string_view text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  text.copy(copy.get(), text.size());
  return copy;
}

// libFuzzer keeps the input that makes a target abort.
inline void require(bool holds, const char *what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace fuzz

#endif  // TESTS_SUPPORT_FUZZ_INPUT_H
