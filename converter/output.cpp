#include "output.h"

#include <memory>

#include "common.h"

namespace nlflip {

Output::Way Output::way_for(const platform::FileStatus &input, const platform::FileStatus &output) {
  if (!output.exists) {
    return Way::new_file;
  }
  return input.same_file(output) ? Way::same_file : Way::existing;
}

Output::~Output() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
  }
  if (!temp_name_.empty()) {
    std::remove(temp_name_.c_str());
  }
}

bool Output::open() {
  switch (way_) {
    case Way::new_file:
      stream_ = platform::create_temp_beside(name_, temp_name_);
      break;
    case Way::existing:
      stream_ = std::fopen(name_, "wb");
      break;
    case Way::same_file:
      stream_ = platform::create_temp_beside(name_, temp_name_);
      if (stream_ == nullptr) {
        stream_ = platform::open_spool();
        spooled_ = stream_ != nullptr;
      }
      break;
  }
  return stream_ != nullptr;
}

bool Output::write(const char *data, std::size_t size) {
  return platform::write_all(stream_, data, size);
}

bool Output::finish() {
  if (spooled_) {
    return copy_spool_over_original();
  }
  std::FILE *stream = stream_;
  stream_ = nullptr;
  if (common::Fclose(stream, name_) != 0) {
    return false;
  }
  if (temp_name_.empty()) {
    return true;
  }
  if (!platform::replace_with(temp_name_.c_str(), name_, way_ == Way::same_file)) {
    return false;
  }
  temp_name_.clear();
  return true;
}

void Output::abandon() {
  std::FILE *stream = stream_;
  stream_ = nullptr;
  common::Fclose(stream, name_);
}

bool Output::copy_spool_over_original() {
  std::FILE *original = std::fopen(name_, "wb");
  if (original == nullptr) {
    return false;
  }
  const std::unique_ptr<char[]> block(new char[kChunk]);
  bool copied = true;
  for (std::uint64_t offset = 0;;) {
    const std::int64_t got = platform::read_at(stream_, block.get(), kChunk, offset);
    if (got <= 0) {
      copied = got == 0;
      break;
    }
    if (!platform::write_all(original, block.get(), static_cast<std::size_t>(got))) {
      copied = false;
      break;
    }
    offset += static_cast<std::uint64_t>(got);
  }
  return common::Fclose(original, name_) == 0 && copied;
}

}  // namespace nlflip
