// The streaming converter against the literal model of the windowed line-end
// rule, with every kernel that the processor runs: any difference in the too
// long line or the output aborts.
#include <cstddef>
#include <cstdint>

#include "flip.h"
#include "flip_case.h"
#include "fuzz_input.h"
#include "flip_model.h"
#include "flip_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::FlipCase c = fuzz::flip_case(data, size);
  const flip_model::Outcome expected = flip_model::model(c.text);
  for (const nlflip::Kernel kernel : nlflip::available_kernels()) {
    fuzz::require(flip_stream_support::converted(c.text, c.chunk, c.reads, kernel) == expected,
                  "too long line and output as in the model, with every kernel");
  }
  return 0;
}
