// The whole input file, held in memory.
#ifndef NLFLIP_INPUT_H
#define NLFLIP_INPUT_H

#include <cstddef>
#include <cstdio>

namespace nlflip {

class Input {
 public:
  enum class Result { ok, not_found, read_error, no_memory };
  enum class Access { map_or_read, read_only };

  Input() = default;
  ~Input();
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;

  // Takes in the named file: a regular file is mapped unless the access says
  // otherwise (a file about to be rewritten must be copied), anything else,
  // pipes and devices included, is read to its end.
  Result read(const char *name, Access access);

  const char *data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  Result read_stream(std::FILE *stream);
  bool reserve(std::size_t capacity);
  bool grow();

  const char *data_ = nullptr;
  std::size_t size_ = 0;
  char *buffer_ = nullptr;  // data_ when the input was read rather than mapped
  std::size_t capacity_ = 0;
};

}  // namespace nlflip

#endif  // NLFLIP_INPUT_H
