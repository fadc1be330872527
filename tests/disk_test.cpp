// The guarded close and the free-space query on real file systems.  The
// cases of one kind of system only are in disk_test_posix.cpp and
// disk_test_win32.cpp.
#include <gtest/gtest.h>

#include <string>

#include "common.h"
#include "temp_dir.h"

namespace {

using testsupport::TempDir;

TEST(GetFreeSpace, ClampsTheFigureItKeeps) {
  const TempDir dir;
  const int result = common::getFreeSpace(dir.path().c_str());
  EXPECT_GT(result, 0);
  if (common::FreeDiskSpace > 2147483647.0) {
    EXPECT_EQ(result, 2147483647);
  } else {
    EXPECT_EQ(result, static_cast<int>(common::FreeDiskSpace));
  }
}

TEST(Fclose, ClosesCleanlyWhereSpaceIsLeft) {
  const TempDir dir;
  const std::string name = dir.file("out.txt");
  std::FILE *fp = std::fopen(name.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  std::fputs("data", fp);
  testing::internal::CaptureStderr();
  EXPECT_EQ(common::Fclose(fp, name.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testsupport::read_file(name), "data");
}

}  // namespace
