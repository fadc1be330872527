// The allocation wrappers on their successful paths, and requests outside
// their contract, which must end the program cleanly instead of corrupting it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common.h"
#include "memory_support.h"

namespace {

// Leaves a freed block of size bytes, full of 0xFF, where the heap is likely
// to hand it out again.
void dirty_heap(int size) {
  const std::string filler(static_cast<std::size_t>(size) - 1, '\xFF');
  common::freemem(common::setstr(filler.c_str()));
}

TEST(Memory, BlocksAreZeroFilledWhereTheHeapIsDirty) {
  constexpr int kSize = 200;
  dirty_heap(kSize);
  auto *block = static_cast<char *>(common::getmem(kSize));
  EXPECT_EQ(std::count(block, block + kSize, '\0'), kSize);
  common::freemem(block);

  dirty_heap(kSize);
  common::HLOCAL handle = common::getmemLock(kSize);
  ASSERT_NE(handle, nullptr);
  auto *local = static_cast<char *>(common::getmemAdr(handle));
  EXPECT_EQ(std::count(local, local + kSize, '\0'), kSize);
  common::freeLocal(handle);
}

TEST(Memory, LocalBlockStaysUsableAfterGetmemAdr) {
  common::HLOCAL handle = common::getmemLock(16);
  std::strcpy(static_cast<char *>(common::getmemAdr(handle)), "kept");
  EXPECT_STREQ(static_cast<char *>(common::getmemAdr(handle)), "kept");
  common::freeLocal(handle);
}

TEST(Memory, EmptyAndNullRequests) {
  void *empty = common::getmem(0);
  EXPECT_NE(empty, nullptr);
  common::freemem(empty);
  common::freemem(nullptr);
  common::freeLocal(nullptr);

  char *copy = common::setstr("");
  EXPECT_STREQ(copy, "");
  common::freemem(copy);
}

TEST(Memory, MorememKeepsTheContents) {
  auto *block = static_cast<char *>(common::moremem(nullptr, 4));
  std::strcpy(block, "abc");
  block = static_cast<char *>(common::moremem(block, 100000));
  EXPECT_STREQ(block, "abc");
  // A new size of 0 must not free the block behind the caller's back.
  block = static_cast<char *>(common::moremem(block, 0));
  ASSERT_NE(block, nullptr);
  block = static_cast<char *>(common::moremem(block, 8));
  common::freemem(block);
}

TEST(Memory, AddstrJoinsTheStrings) {
  struct Case {
    const char *head;
    const char *tail;
    const char *joined;
  };
  for (const Case &c : {Case{"abc", "de", "abcde"}, Case{"abc", "", "abc"}, Case{"", "xy", "xy"}}) {
    char *block = common::addstr(common::setstr(c.head), c.tail);
    EXPECT_STREQ(block, c.joined);
    common::freemem(block);
  }
}

TEST(Memory, AddstrAppendsTheBlockToItself) {
  const std::string text(100, 'a');
  char *block = common::setstr(text.c_str());
  // Taken right behind the block, the guard makes the resize move it.
  void *guard = common::getmem(16);
  block = common::addstr(block, block);
  EXPECT_EQ(std::string(block), text + text);
  common::freemem(block);
  common::freemem(guard);
}

TEST(MemoryDeathTest, NegativeSizesAndAnUnlockableHandleEndTheProgram) {
  const std::string mark = kEndfunMark;
  expect_fatal({
      {"getmem", [] { common::getmem(-1); }, "\ncannot get the memory of -1 bytes\n" + mark},
      {"moremem", [] { common::moremem(nullptr, -1); },
       "cannot get the memory of -1 bytes\n" + mark},
      {"getmemLock", [] { common::getmemLock(-1); },
       "Faital error:\ncannot get memory of -1 bytes"},
      {"getmemAdr", [] { common::getmemAdr(nullptr); }, "Faital error:\nnot enough memory"},
  });
}

}  // namespace
