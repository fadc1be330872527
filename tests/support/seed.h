// The seed of a random test: NLFLIP_TEST_SEED where it is set, else a fresh
// one.  It is printed, so that a failure can be run again with the same
// numbers.
#ifndef TESTS_SUPPORT_SEED_H
#define TESTS_SUPPORT_SEED_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace testsupport {

inline std::uint32_t test_seed() {
  const char *given = std::getenv("NLFLIP_TEST_SEED");
  const auto seed = given != nullptr && *given != '\0'
                        ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10))
                        : std::random_device{}();
  std::cout << "random seed " << seed << " (NLFLIP_TEST_SEED=" << seed << " repeats this run)\n";
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SEED_H
