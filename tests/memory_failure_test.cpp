// Real allocation failures under a lowered address-space limit, and the
// retries, which only an allocation interposer can provoke.  Linux only.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "alloc_interposer.h"
#include "common.h"
#include "memory_support.h"

namespace {

constexpr std::size_t kHeadroom = std::size_t{16} << 20;
// Far beyond the headroom, so that the heap itself must refuse it.
constexpr int kTooBig = 100000000;

// Lowers the address-space limit to what is in use plus kHeadroom: room for
// a message and the exit, none for kTooBig.  Restores the limit when destroyed.
class AddressSpaceLimit {
 public:
  AddressSpaceLimit() {
    getrlimit(RLIMIT_AS, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = in_use() + kHeadroom;
    if (setrlimit(RLIMIT_AS, &lowered) != 0) {
      ADD_FAILURE() << "cannot lower the address-space limit";
    }
  }
  ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved_); }
  AddressSpaceLimit(const AddressSpaceLimit &) = delete;
  AddressSpaceLimit &operator=(const AddressSpaceLimit &) = delete;

 private:
  static rlim_t in_use() {
    unsigned long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%lu", &pages) != 1) {
        pages = 0;
      }
      std::fclose(statm);
    }
    return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  }

  rlimit saved_{};
};

// Takes every small block the limited heap still has, so that even a small
// request fails.  The volatile store keeps the calls from being optimised out.
void exhaust_heap() {
  void *volatile taken = nullptr;
  do {
    taken = std::malloc(1000);
  } while (taken != nullptr);  // NOLINT(clang-analyzer-unix.Malloc): kept taken on purpose
}

std::FILE *const kToStdout = reinterpret_cast<std::FILE *>(static_cast<std::uintptr_t>(-1));

class MemoryFailure : public testing::Test {
 protected:
  void SetUp() override { common::errmsg_output_flg = 0; }
  void TearDown() override {
    common::terminate_size = INT_MAX;
    common::errfp = nullptr;
  }
};

using Sizes = std::vector<std::size_t>;

TEST(MemoryFailureDeathTest, RealFailuresEndTheProgram) {
  const std::string mark = kEndfunMark;
  const std::string too_big = "cannot get the memory of 100000 K bytes\n";
  expect_fatal({
      {"getmem",
       [] {
         AddressSpaceLimit limit;
         common::getmem(kTooBig);
       },
       "\n" + too_big + mark},
      {"getmem of 1000 bytes",
       [] {
         AddressSpaceLimit limit;
         exhaust_heap();
         common::getmem(1000);
       },
       "\ncannot get the memory of 1000 bytes\n" + mark},
      {"getmem just below a lowered terminate_size",
       [] {
         common::terminate_size = kTooBig + 1;
         AddressSpaceLimit limit;
         common::getmem(kTooBig);
       },
       "\n" + too_big + mark},
      {"moremem",
       [] {
         void *block = common::getmem(16);
         AddressSpaceLimit limit;
         common::moremem(block, kTooBig);
       },
       too_big + mark},
      {"getmemLock",
       [] {
         AddressSpaceLimit limit;
         common::getmemLock(kTooBig);
       },
       "Faital error:\ncannot get the memory of 100000 K bytes"},
      {"getmemLock of 1000 bytes",
       [] {
         AddressSpaceLimit limit;
         exhaust_heap();
         common::getmemLock(1000);
       },
       "Faital error:\ncannot get memory of 1000 bytes"},
      {"setstr",
       [] {
         const std::string text(2 * kHeadroom, 'x');
         AddressSpaceLimit limit;
         common::setstr(text.c_str());
       },
       "cannot get memory\n" + mark},
      {"addstr",
       [] {
         char *block = common::setstr("abc");
         const std::string text(2 * kHeadroom, 'x');
         AddressSpaceLimit limit;
         common::addstr(block, text.c_str());
       },
       "can't get memory\n" + mark},
  });
}

TEST_F(MemoryFailure, WithoutTheLimitTheLargeRequestSucceeds) {
  void *block = common::getmem(kTooBig);
  EXPECT_NE(block, nullptr);
  common::freemem(block);
}

TEST_F(MemoryFailure, GetmemAtTerminateSizeReportsAndReturnsNull) {
  common::terminate_size = kTooBig;
  void *block = &block;
  testing::internal::CaptureStderr();
  {
    AddressSpaceLimit limit;
    block = common::getmem(kTooBig);
  }
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\ncannot get the memory of 100000 K bytes\n");
  EXPECT_EQ(common::errmsg_output_flg, 1);

  common::errfp = kToStdout;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    AddressSpaceLimit limit;
    block = common::getmem(kTooBig + 1000);
  }
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\ncannot get the memory of 100001 K bytes\n");
}

TEST_F(MemoryFailure, GetmemRetriesWith4000MoreAndClearsTheRequestedBytes) {
  constexpr int kSize = 3001;
  testing::internal::CaptureStderr();
  alloc_interposer::arm({kSize});
  auto *block = static_cast<unsigned char *>(common::getmem(kSize));
  const Sizes requested = alloc_interposer::disarm();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(common::errmsg_output_flg, 0);
  EXPECT_EQ(requested, (Sizes{kSize, kSize + 4000}));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::count(block, block + kSize, 0), kSize);
  common::freemem(block);
}

TEST_F(MemoryFailure, MorememRetriesWith1000MoreAndKeepsTheContents) {
  constexpr int kSize = 3001;
  char *block = common::setstr("kept");
  testing::internal::CaptureStderr();
  alloc_interposer::arm({kSize});
  block = static_cast<char *>(common::moremem(block, kSize));
  const Sizes requested = alloc_interposer::disarm();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(common::errmsg_output_flg, 0);
  EXPECT_EQ(requested, (Sizes{kSize, kSize + 1000}));
  EXPECT_STREQ(block, "kept");
  common::freemem(block);
}

TEST_F(MemoryFailure, GetmemMessagesStateTheRequestedSize) {
  struct Case {
    int size;
    int terminate_size;
    const char *message;
  };
  const Case cases[] = {
      {1000, 0, "\ncannot get the memory of 1000 bytes\n"},
      {1001, 0, "\ncannot get the memory of 1 K bytes\n"},
      {1999, 0, "\ncannot get the memory of 1 K bytes\n"},
      // The initial terminate_size spares INT_MAX alone; its retry size must not overflow.
      {INT_MAX, INT_MAX, "\ncannot get the memory of 2147483 K bytes\n"},
  };
  for (const Case &c : cases) {
    common::terminate_size = c.terminate_size;
    const auto size = static_cast<std::size_t>(c.size);
    testing::internal::CaptureStderr();
    alloc_interposer::arm({size, size + 4000});
    void *block = common::getmem(c.size);
    const Sizes requested = alloc_interposer::disarm();
    EXPECT_EQ(block, nullptr) << c.size;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(requested, (Sizes{size, size + 4000})) << c.size;
  }
}

TEST(MemoryFailureDeathTest, MorememMessagesStateTheRequestedSize) {
  const std::string mark = kEndfunMark;
  expect_fatal({
      {"1000 bytes",
       [] {
         alloc_interposer::arm({1000, 2000});
         common::moremem(nullptr, 1000);
       },
       "cannot get the memory of 1000 bytes\n" + mark},
      {"1500 bytes",
       [] {
         alloc_interposer::arm({1500, 2500});
         common::moremem(nullptr, 1500);
       },
       "cannot get the memory of 1 K bytes\n" + mark},
  });
}

TEST_F(MemoryFailure, StringBlocksHaveTheSizesAskedFor) {
  struct Case {
    const char *name;
    void *(*allocate)();
    Sizes requested;
  };
  const Case cases[] = {
      {"setstr of the empty string", []() -> void * { return common::setstr(""); }, {1}},
      {"addstr of 'de' to 'abc'",
       []() -> void * { return common::addstr(common::setstr("abc"), "de"); },
       {4, 6}},
      {"addstr of the empty string",
       []() -> void * { return common::addstr(common::setstr("abc"), ""); },
       {4, 4}},
  };
  for (const Case &c : cases) {
    alloc_interposer::arm({});
    void *block = c.allocate();
    EXPECT_EQ(alloc_interposer::disarm(), c.requested) << c.name;
    common::freemem(block);
  }
}

}  // namespace
