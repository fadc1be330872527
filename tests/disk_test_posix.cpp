// The free-space query against statvfs, and full or failing devices.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <string>

#include "common.h"
#include "temp_dir.h"
#include "tmpfs.h"

namespace {

using testsupport::SmallTmpfs;
using testsupport::TempDir;

TEST(GetFreeSpace, ReportsTheFileSystemOfTheNameOrItsDirectory) {
  const TempDir dir;
  struct statvfs info {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &info), 0);
  const double expected = static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);

  for (const std::string &name : {dir.path(), dir.file("not-yet-there.txt")}) {
    EXPECT_GT(common::getFreeSpace(name.c_str()), 0) << name;
    // Other processes may write meanwhile; the figure is of this file system.
    EXPECT_NEAR(common::FreeDiskSpace, expected, 64.0 * 1024 * 1024) << name;
  }
}

TEST(GetFreeSpace, FailedQueryGivesMinusOne) {
  EXPECT_EQ(common::getFreeSpace("/no/such/directory/file"), -1);
  EXPECT_EQ(common::FreeDiskSpace, -1.0);
}

TEST(Fclose, FailedCloseReturnsItsResultSilently) {
  // Capturing flushes every stream, so it comes before the buffered write.
  testing::internal::CaptureStderr();
  std::FILE *fp = std::fopen("/dev/full", "wb");
  ASSERT_NE(fp, nullptr);
  std::fputs("buffered until the close", fp);
  common::errmsg_output_flg = 0;
  EXPECT_EQ(common::Fclose(fp, "/dev/full"), EOF);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(common::errmsg_output_flg, 0);
}

class FullDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) {
      GTEST_SKIP() << disk_.failure();
    }
    // Fill the file system completely.
    std::FILE *filler = std::fopen(disk_.file("filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
    }
    std::fclose(filler);
  }

  // Closes a freshly opened, empty file of the full disk under the given
  // name, relative to the disk's root.
  std::string close_reporting(const std::string &name) {
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(disk_.path());
    std::FILE *fp = std::fopen(name.c_str(), "wb");
    EXPECT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(common::Fclose(fp, name.c_str()), -1);
    std::filesystem::current_path(previous);
    return testing::internal::GetCapturedStderr();
  }

  SmallTmpfs disk_{std::size_t{64} * 1024};
};

TEST_F(FullDrive, ReportsNoFreeSpace) {
  EXPECT_EQ(close_reporting("out.txt"), "no free disk space\n");
  EXPECT_EQ(common::getFreeSpace(disk_.path().c_str()), 0);
  EXPECT_EQ(common::FreeDiskSpace, 0.0);
}

TEST_F(FullDrive, NamesTheDriveLetterAsTyped) {
  EXPECT_EQ(close_reporting("D:out"), "D drive: no free disk space\n");
  EXPECT_EQ(close_reporting("q:"), "q drive: no free disk space\n");
}

}  // namespace
