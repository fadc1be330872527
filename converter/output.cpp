#include "output.h"

#include <memory>
#include <utility>

#include "common.h"

namespace nlflip {

Output::Way Output::way_for(const platform::FileStatus &input, const platform::FileStatus &output) {
  if (!output.exists) {
    return Way::new_file;
  }
  // Only a regular file can be replaced by a new one; anything else named
  // twice is written as it is.
  return input.same_file(output) && output.regular ? Way::same_file : Way::existing;
}

Output::~Output() {
  for (std::FILE *stream : {stream_, original_}) {
    if (stream != nullptr) {
      std::fclose(stream);
    }
  }
  if (!temp_name_.empty()) {
    platform::remove_file(temp_name_.c_str());
    platform::remove_on_interrupt(nullptr);
  }
}

std::FILE *Output::create_temp(platform::Replacing what) {
  std::FILE *stream = platform::create_temp_beside(name_, temp_name_, what);
  if (stream != nullptr) {
    platform::remove_on_interrupt(temp_name_.c_str());
  }
  return stream;
}

bool Output::open() {
  switch (way_) {
    case Way::new_file:
      stream_ = create_temp(platform::Replacing::new_file);
      break;
    case Way::existing:
      stream_ = platform::open_file(name_, "wb");
      break;
    case Way::same_file:
      stream_ = create_temp(platform::Replacing::existing_file);
      if (stream_ == nullptr && (original_ = platform::open_file(name_, "r+b")) != nullptr) {
        stream_ = platform::open_spool();
      }
      break;
  }
  return stream_ != nullptr;
}

bool Output::write(const char *data, std::size_t size) {
  written_ += size;
  return platform::write_all(stream_, data, size);
}

bool Output::close_checked(std::FILE *&stream, const char *written_name) {
  std::FILE *closing = std::exchange(stream, nullptr);
  // A file whose directory went away under the run was not written.
  if (!platform::status_of(written_name).exists) {
    std::fclose(closing);
    return false;
  }
  if (!platform::has_free_space_figure(closing, name_)) {
    return std::fclose(closing) == 0;
  }
  return common::Fclose(closing, name_) == 0;
}

Output::Finished Output::finish() {
  if (original_ != nullptr) {
    return rewrite_in_place();
  }
  if (!close_checked(stream_, temp_name_.empty() ? name_ : temp_name_.c_str())) {
    return Finished::write_failed;
  }
  if (!temp_name_.empty()) {
    const bool replacing = way_ == Way::same_file;
    // A newer file saved under the name meanwhile is not replaced.
    if (replacing && !platform::status_of(name_).same_file(status_)) {
      return Finished::write_failed;
    }
    if (!platform::replace_with(
            temp_name_.c_str(), name_,
            replacing ? platform::Replacing::existing_file : platform::Replacing::new_file)) {
      return Finished::write_failed;
    }
    temp_name_.clear();
    platform::remove_on_interrupt(nullptr);
  }
  return Finished::done;
}

Output::Finished Output::rewrite_in_place() {
  // Room for the whole text first: a full disk is found before any byte of
  // the original changes.
  switch (platform::reserve(original_, written_)) {
    case platform::Reserved::done:
      break;
    case platform::Reserved::unsupported:
      return Finished::cannot_rewrite_in_place;
    case platform::Reserved::no_space:
    case platform::Reserved::failed:
      return Finished::write_failed;
  }
  const std::unique_ptr<char[]> block(new char[kChunk]);
  platform::hold_interrupts();
  bool copied = true;
  for (std::uint64_t offset = 0; copied && offset < written_;) {
    const std::int64_t got = platform::read_at(stream_, block.get(), kChunk, offset);
    copied = got > 0 && platform::write_all(original_, block.get(), static_cast<std::size_t>(got));
    offset += got > 0 ? static_cast<std::uint64_t>(got) : 0;
  }
  copied = copied && platform::truncate(original_, written_);
  platform::release_interrupts();
  std::fclose(std::exchange(stream_, nullptr));
  return copied && close_checked(original_, name_) ? Finished::done : Finished::write_failed;
}

void Output::abandon() {
  std::FILE *&target = original_ != nullptr ? original_ : stream_;
  std::FILE *closing = std::exchange(target, nullptr);
  if (closing == nullptr) {
    return;  // closed already by a failed finish
  }
  if (platform::has_free_space_figure(closing, name_)) {
    common::Fclose(closing, name_);
  } else {
    std::fclose(closing);
  }
}

}  // namespace nlflip
