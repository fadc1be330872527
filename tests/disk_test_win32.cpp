// The free-space query through KERNEL32, on the drives that Windows (or Wine)
// has, and a close that fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "common.h"
#include "platform.h"
#include "temp_dir.h"
#include "win32.h"

namespace {

using platform::free_space_by_clusters;
using platform::free_space_root;

constexpr double kSlack = 64.0 * 1024 * 1024;  // others may write meanwhile

// A drive letter that names no drive here.
char unused_drive() {
  const DWORD drives = GetLogicalDrives();
  for (char letter = 'D'; letter <= 'Y'; ++letter) {
    if ((drives >> (letter - 'A') & 1) == 0) {
      return letter;
    }
  }
  return '\0';
}

// The first figure of the extended query: bytes free for this caller.
double available_bytes(const char *root) {
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER total_free{};
  EXPECT_TRUE(GetDiskFreeSpaceExA(root, &available, &total, &total_free)) << root;
  return static_cast<double>(available.QuadPart);
}

TEST(FreeSpaceRoot, DriveLetterShareOrTheCurrentDrive) {
  struct Case {
    const char *path;
    const char *root;
  };
  const Case cases[] = {
      {"c:data.txt", "c:\\"},
      {"D:\\dir\\out.txt", "D:\\"},
      {"q:", "q:\\"},
      {"data.txt", "\\"},
      {"x", "\\"},
      {"", "\\"},
      {"/tmp/out.txt", "\\"},
      // No such server answers, so the system finds no volume for these
      // names: the share's root stands for it.
      {"\\\\nosuchserver\\share\\dir\\out.txt", "\\\\nosuchserver\\share\\"},
      {"//nosuchserver/share/out.txt", "\\\\nosuchserver\\share\\"},
      {"\\\\?\\UNC\\nosuchserver\\share\\out.txt", "\\\\?\\UNC\\nosuchserver\\share\\"},
      {"\\\\nosuchserver\\share", "\\\\nosuchserver\\share\\"},
      {"\\\\nosuchserver", ""},
      {"\\\\nosuchserver\\", ""},
      {"\\\\\\share\\out.txt", ""},
      {"\\\\.\\UNC\\nosuchserver\\share\\out.txt", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(free_space_root(c.path), c.root) << c.path;
  }
}

TEST(HasFreeSpaceFigure, OnlyWhereTheNameTellsTheVolume) {
  const testsupport::TempDir dir;
  std::FILE *fp = std::fopen(dir.file("out.txt").c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  EXPECT_TRUE(platform::has_free_space_figure(fp, "out.txt"));
  EXPECT_TRUE(platform::has_free_space_figure(fp, "\\\\nosuchserver\\share\\out.txt"));
  EXPECT_FALSE(platform::has_free_space_figure(fp, "\\\\.\\UNC\\nosuchserver\\share\\out.txt"));
  std::fclose(fp);
  int ends[2] = {-1, -1};
  ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
  std::FILE *pipe = _fdopen(ends[1], "wb");
  ASSERT_NE(pipe, nullptr);
  EXPECT_FALSE(platform::has_free_space_figure(pipe, "out.txt")) << "a pipe";
  std::fclose(pipe);
  _close(ends[0]);
}

TEST(GetFreeSpace, DriveLetterNameAsksThatDrive) {
  const testsupport::TempDir dir;
  const std::string drive = dir.path().substr(0, 2);
  ASSERT_EQ(drive[1], ':') << dir.path();
  EXPECT_GT(common::getFreeSpace((drive + "out.txt").c_str()), 0);
  EXPECT_NEAR(common::FreeDiskSpace, available_bytes((drive + "\\").c_str()), kSlack);

  // Were the root not taken from the name, the current drive would answer.
  const std::string missing = std::string(1, unused_drive()) + ":out.txt";
  EXPECT_EQ(common::getFreeSpace(missing.c_str()), -1) << missing;
  EXPECT_EQ(common::FreeDiskSpace, -1.0);
}

TEST(GetFreeSpace, LongFormNameAsksItsOwnVolume) {
  const testsupport::TempDir dir;
  const std::string drive = dir.path().substr(0, 2);
  ASSERT_EQ(drive[1], ':') << dir.path();
  const std::string name = "\\\\?\\" + drive + "\\no\\such\\out.txt";
  EXPECT_GT(common::getFreeSpace(name.c_str()), 0) << name;
  EXPECT_NEAR(common::FreeDiskSpace, available_bytes((drive + "\\").c_str()), kSlack);

  // Were the volume not taken from the name, the current drive would answer.
  const std::string missing = "\\\\?\\" + std::string(1, unused_drive()) + ":\\out.txt";
  EXPECT_EQ(common::getFreeSpace(missing.c_str()), -1) << missing;
}

TEST(GetFreeSpace, NameWithoutDriveAsksTheCurrentDrive) {
  EXPECT_GT(common::getFreeSpace("no\\such\\directory\\file"), 0);
  EXPECT_NEAR(common::FreeDiskSpace, available_bytes("\\"), kSlack);
}

TEST(FreeSpaceByClusters, LargeFiguresDoNotWrapAround) {
  const testsupport::TempDir dir;
  const std::string root = free_space_root(dir.path().c_str());
  const double expected = available_bytes(root.c_str());
  if (expected < 4294967296.0) {
    GTEST_SKIP() << "a 32-bit product wraps only with 4 GiB or more free";
  }
  EXPECT_NEAR(free_space_by_clusters(root.c_str()), expected, kSlack);
  const std::string missing = std::string(1, unused_drive()) + ":\\";
  EXPECT_EQ(free_space_by_clusters(missing.c_str()), -1.0) << missing;
}

TEST(Fclose, MissingDriveIsReportedWithItsLetterAsTyped) {
  const testsupport::TempDir dir;
  const char letter = unused_drive();
  for (const char typed : {letter, static_cast<char>(letter - 'A' + 'a')}) {
    std::FILE *fp = std::fopen(dir.file("out.txt").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    const std::string name = std::string(1, typed) + ":out.txt";
    testing::internal::CaptureStderr();
    EXPECT_EQ(common::Fclose(fp, name.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(1, typed) + " drive: no free disk space\n");
  }
}

TEST(Fclose, FailedCloseReturnsItsResultSilently) {
  // A pipe whose reading end is gone refuses the write that the close makes.
  int ends[2] = {-1, -1};
  ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
  _close(ends[0]);
  std::FILE *fp = _fdopen(ends[1], "wb");
  ASSERT_NE(fp, nullptr);
  std::setvbuf(fp, nullptr, _IOFBF, 4096);
  std::fputs("buffered until the close", fp);
  common::errmsg_output_flg = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(common::Fclose(fp, "pipe"), EOF);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(common::errmsg_output_flg, 0);
}

}  // namespace
