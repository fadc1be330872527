// Runs the streaming converter over a text in memory, as the tests and the
// fuzzer drive it: reads of varying sizes and chunks small enough that lines
// cross from one chunk into the next.
#ifndef TESTS_SUPPORT_FLIP_STREAM_H
#define TESTS_SUPPORT_FLIP_STREAM_H

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "flip_model.h"
#include "stream.h"

namespace flip_stream_support {

// Gives the text in reads of the listed sizes, taken in turn; memory never
// holds a read up, so the next chunk is read ahead.  A sized source tells
// how much is left, as a file does, so that the converter may choose one
// worker and buffers of the text's size.
class MemorySource : public nlflip::Source {
 public:
  MemorySource(const std::string &text, std::vector<std::size_t> reads, bool sized = false)
      : text_(text), reads_(std::move(reads)), sized_(sized) {}

  std::int64_t read(char *buffer, std::size_t size) override {
    const std::size_t wanted = reads_.empty() ? size : reads_[turn_++ % reads_.size()];
    const std::size_t n = std::min({size, wanted, text_.size() - position_});
    std::memcpy(buffer, text_.data() + position_, n);
    position_ += n;
    return static_cast<std::int64_t>(n);
  }

  bool reads_ahead() const override { return true; }
  std::uint64_t left() const override { return sized_ ? text_.size() - position_ : kUnknown; }

 private:
  const std::string &text_;
  std::vector<std::size_t> reads_;
  bool sized_;
  std::size_t turn_ = 0;
  std::size_t position_ = 0;
};

class StringSink : public nlflip::Sink {
 public:
  bool write(const char *data, std::size_t size) override {
    text.append(data, size);
    return true;
  }
  std::string text;
};

// The converter's outcome in the model's terms.
inline flip_model::Outcome converted(const std::string &text, std::size_t chunk,
                                     std::vector<std::size_t> reads = {},
                                     nlflip::Kernel kernel = nlflip::fastest_kernel(),
                                     bool sized = false) {
  MemorySource source(text, std::move(reads), sized);
  StringSink sink;
  const nlflip::Converted result = nlflip::flip_stream(source, &sink, chunk, kernel);
  if (result.outcome == nlflip::Converted::Outcome::too_long) {
    return {result.line, ""};
  }
  if (result.outcome == nlflip::Converted::Outcome::unsupported) {
    return {0, "", true};
  }
  return {0, sink.text};
}

}  // namespace flip_stream_support

#endif  // TESTS_SUPPORT_FLIP_STREAM_H
