// StrCmp and comp_file on three names: results are -1, 0 or 1, both orders are
// reflexive, antisymmetric and transitive, comp_file orders by depth and then
// as StrCmp does, and the case of ASCII letters does not count.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common.h"
#include "fuzz_input.h"
#include "sjis.h"

namespace {

constexpr std::size_t kNames = 3;
using Names = std::array<const char *, kNames>;

// Backslashes counted by the double-byte rule.
int depth(const char *name) {
  int count = 0;
  for (const char *p = name; *p != '\0'; p += common::sjis::char_length(p)) {
    count += *p == '\\' ? 1 : 0;
  }
  return count;
}

int compare_files(const char *left, const char *right) {
  const char *const *left_element = &left;
  const char *const *right_element = &right;
  return common::comp_file(&left_element, &right_element);
}

template <typename Compare>
void check_order(const Compare &compare, const Names &names) {
  int result[kNames][kNames];
  for (std::size_t i = 0; i < kNames; ++i) {
    for (std::size_t j = 0; j < kNames; ++j) {
      result[i][j] = compare(names[i], names[j]);
      fuzz::require(result[i][j] >= -1 && result[i][j] <= 1, "exactly -1, 0 or 1");
    }
  }
  for (std::size_t i = 0; i < kNames; ++i) {
    fuzz::require(result[i][i] == 0, "reflexive");
    for (std::size_t j = 0; j < kNames; ++j) {
      fuzz::require(result[i][j] == -result[j][i], "antisymmetric");
      for (std::size_t k = 0; k < kNames; ++k) {
        if (result[i][j] <= 0 && result[j][k] <= 0) {
          const int expected = result[i][j] == 0 && result[j][k] == 0 ? 0 : -1;
          fuzz::require(result[i][k] == expected, "transitive");
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  std::array<std::unique_ptr<char[]>, kNames> copies;
  Names names{};
  for (std::size_t i = 0; i < kNames; ++i) {
    copies[i] = fuzz::exact_copy(in.text(size));
    names[i] = copies[i].get();
  }
  check_order(common::StrCmp, names);
  check_order(compare_files, names);

  for (const char *name : names) {
    for (const char *other : names) {
      const int expected = depth(name) == depth(other)  ? common::StrCmp(name, other)
                           : depth(name) < depth(other) ? -1
                                                        : 1;
      fuzz::require(compare_files(name, other) == expected,
                    "comp_file orders by depth, then as StrCmp");
    }
    std::string upper(name);
    std::string lower(name);
    common::to_upper(upper.data());
    common::to_lower(lower.data());
    for (const std::string &changed : {upper, lower}) {
      const auto copy = fuzz::exact_copy(changed);
      fuzz::require(common::StrCmp(name, copy.get()) == 0, "StrCmp ignores the case of letters");
      fuzz::require(compare_files(copy.get(), name) == 0, "comp_file ignores the case of letters");
    }
  }
  return 0;
}
