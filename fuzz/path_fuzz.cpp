// findExt and sepname on any path, with head and tail buffers of exactly the
// path's size: findExt finds the last '.' behind the last backslash, sepname
// cuts at the first backslash from the first wildcard on, and backslashes are
// found by the double-byte walk.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "fuzz_input.h"
#include "sjis.h"

namespace {

// Offsets of the backslashes that a double-byte walk from start meets.
std::vector<std::size_t> backslashes(const std::string &path, std::size_t start) {
  std::vector<std::size_t> found;
  for (std::size_t i = start; i < path.size();
       i += static_cast<std::size_t>(common::sjis::char_length(path.c_str() + i))) {
    if (path[i] == '\\') {
      found.push_back(i);
    }
  }
  return found;
}

void check_find_ext(const std::string &original) {
  const auto path = fuzz::exact_copy(original);
  const std::vector<std::size_t> separators = backslashes(original, 0);
  const std::size_t last_component = separators.empty() ? 0 : separators.back() + 1;
  const std::size_t dot = original.rfind('.');
  const char *expected =
      dot != std::string::npos && dot >= last_component ? path.get() + dot : nullptr;
  fuzz::require(common::findExt(path.get()) == expected,
                "findExt: the last dot of the last component");
}

void check_sepname(const std::string &original) {
  const auto path = fuzz::exact_copy(original);
  const auto head = std::make_unique<char[]>(original.size() + 1);
  const auto tail = std::make_unique<char[]>(original.size() + 1);
  fuzz::require(common::sepname(path.get(), head.get(), tail.get()) == 0, "sepname returns 0");

  std::string expected_head = original;
  std::string expected_tail;
  if (const std::size_t wildcard = original.find_first_of("*?"); wildcard != std::string::npos) {
    if (const std::vector<std::size_t> cuts = backslashes(original, wildcard); !cuts.empty()) {
      expected_head = original.substr(0, cuts.front());
      expected_tail = original.substr(cuts.front() + 1);
    }
  }
  fuzz::require(head.get() == expected_head, "sepname: the head");
  fuzz::require(tail.get() == expected_tail, "sepname: the tail");
  fuzz::require(path.get() == expected_head, "sepname: the path ends with the head");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::string path = in.text(size);
  check_find_ext(path);
  check_sepname(path);
  return 0;
}
