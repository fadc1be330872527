// The local-memory routines on real HLOCALs of the Windows local heap.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "common.h"

namespace {

TEST(LocalMemory, BlocksAreMoveableZeroFilledAndLeftUnlocked) {
  for (const int size : {0, 1, 200, 70000}) {
    const common::HLOCAL handle = common::getmemLock(size);
    ASSERT_NE(handle, nullptr) << size;
    auto *address = static_cast<char *>(common::getmemAdr(handle));
    EXPECT_NE(static_cast<void *>(address), handle) << "a moveable block is known by its handle";
    EXPECT_EQ(LocalFlags(handle) & (LMEM_LOCKCOUNT | LMEM_DISCARDED), 0u)
        << "getmemAdr leaves the block unlocked; size " << size;
    EXPECT_GE(LocalSize(handle), static_cast<SIZE_T>(size));
    EXPECT_EQ(std::count(address, address + size, '\0'), size);
    std::fill(address, address + size, 'x');
    const auto *again = static_cast<char *>(common::getmemAdr(handle));
    EXPECT_EQ(std::count(again, again + size, 'x'), size) << "the contents stay";
    common::freeLocal(handle);
  }
}

}  // namespace
