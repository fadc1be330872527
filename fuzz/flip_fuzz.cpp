// The streaming converter against the literal model of the windowed line-end
// rule: any difference in the too long line or the output aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flip.h"
#include "fuzz_input.h"
#include "support/flip_model.h"
#include "support/flip_stream.h"

namespace {

using nlflip::kWindow;

// The model searches up to a window for an LF on every line, so each CR can
// cost a window: inputs are cut to keep it at a few milliseconds.
constexpr std::size_t kMaxInput = 8 * kWindow;
constexpr std::size_t kMaxCarriageReturns = 200;

// The first byte says how the rest is read: as the text itself, or as pairs of
// a byte and a run length, so that lines around the window's size are within
// reach of small inputs.
std::string decode(fuzz::Input &in) {
  std::string text;
  if (in.byte() % 2 == 0) {
    text = in.rest();
  } else {
    while (!in.empty() && text.size() < kMaxInput) {
      const char c = static_cast<char>(in.byte());
      const std::uint8_t count = in.byte();
      // Counts from 0xF0 on give runs of kWindow - 8 to kWindow + 7 bytes.
      const std::size_t run = count < 0xF0 ? count + std::size_t{1} : kWindow - 8 + (count - 0xF0U);
      text.append(run, c);
    }
  }
  text.resize(std::min(text.size(), kMaxInput));
  std::size_t carriage_returns = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && ++carriage_returns > kMaxCarriageReturns) {
      text.resize(i);
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  // Small chunks and uneven reads make lines cross from chunk to chunk.
  const std::size_t chunk = nlflip::kLookahead + in.byte() * std::size_t{97};
  const std::vector<std::size_t> reads = {std::size_t{1} + in.byte() * std::size_t{211},
                                          std::size_t{1} + in.byte()};
  const std::string text = decode(in);
  fuzz::require(flip_stream_support::converted(text, chunk, reads) == flip_model::model(text),
                "too long line and output as in the model");
  return 0;
}
