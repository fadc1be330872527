#include "memory_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common.h"

namespace {

void write_mark() {
  std::fputs(kEndfunMark, stderr);
}

}  // namespace

void (*common::endfun)() = write_mark;

void expect_fatal(std::initializer_list<FatalCase> cases) {
  for (const FatalCase &c : cases) {
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): inside GoogleTest's death test
    EXPECT_EXIT(c.provoke(), testing::ExitedWithCode(1), testing::Eq(c.output)) << c.name;
  }
}
