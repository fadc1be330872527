// The whole input file, read into one buffer.
#ifndef NLFLIP_INPUT_H
#define NLFLIP_INPUT_H

#include <cstddef>
#include <cstdio>

namespace nlflip {

class Input {
 public:
  enum class Result { ok, not_found, read_error, no_memory };

  Input() = default;
  ~Input();
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;

  // Reads the named file (a regular file, a pipe or a device) to its end.
  Result read(const char *name);

  const char *data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  Result read_stream(std::FILE *stream);
  bool reserve(std::size_t capacity);
  bool grow();

  char *data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace nlflip

#endif  // NLFLIP_INPUT_H
