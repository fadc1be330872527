// exp_tab on lines short enough never to reach its fatal 2048 columns: a tab
// that starts before column 1024 becomes spaces up to the next stop (1024 at
// most), a later tab vanishes, and every other byte is kept in its column.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.h"
#include "fuzz_input.h"

namespace {

constexpr std::size_t kTabLimit = 1024;
// Tabs add at most kTabLimit columns, so such a line stays below 2048.
constexpr std::size_t kMaxLine = 1023;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  const int width = in.byte() % 40 - 2;
  const auto line = fuzz::exact_copy(in.text(kMaxLine));
  const std::string out = common::exp_tab(width, line.get());

  // A width below 1 has tab stops at every column.
  const auto stop = static_cast<std::size_t>(std::max(width, 1));
  std::size_t column = 0;
  for (const char *p = line.get(); *p != '\0'; ++p) {
    if (*p == '\t') {
      const std::size_t next =
          column < kTabLimit ? std::min((column / stop + 1) * stop, kTabLimit) : column;
      fuzz::require(out.compare(column, next - column, std::string(next - column, ' ')) == 0,
                    "a tab becomes spaces up to its stop");
      column = next;
    } else {
      fuzz::require(column < out.size() && out[column] == *p, "other bytes keep their order");
      ++column;
    }
  }
  fuzz::require(out.size() == column, "nothing else is added");
  return 0;
}
