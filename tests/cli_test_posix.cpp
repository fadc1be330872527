// The nlflip program's cases that need POSIX: file modes, symbolic links,
// /dev files and small file systems of their own.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "cli_fixture.h"
#include "support/tmpfs.h"

namespace clitest {

const char *const kStreamLineEnd = "\n";
const char *const kDirectoryInputFailure = "reading error";

}  // namespace clitest

namespace {

using clitest::Cli;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::write_file;

TEST_F(Cli, SameFileKeepsItsModeAndIsReachedThroughLinks) {
  write_file(path("both.txt"), "a\r\nb\n");
  chmod(path("both.txt").c_str(), 0640);
  ASSERT_EQ(symlink("both.txt", path("link.txt").c_str()), 0);

  const RunResult r = nlflip({"both.txt", "link.txt"}, "y\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.txt")));
  EXPECT_EQ(read_file(path("both.txt")), "a\nb\r\n");
  struct stat info {};
  ASSERT_EQ(stat(path("both.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640U);
  EXPECT_EQ(entries(), 2) << "no temporary file is left behind";
}

TEST_F(Cli, PipeAsInput) {
  std::string text;
  std::string expected;
  for (int i = 0; i < 200000; ++i) {
    const std::string line = "line " + std::to_string(i);
    text += line + "\n";
    expected += line + "\r\n";
  }
  const RunResult r = nlflip({"/dev/stdin", "out.txt"}, text);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(path("out.txt")), expected);
}

TEST_F(Cli, DeviceThatIsAlwaysFullFailsTheWrite) {
  write_file(path("in.txt"), "a\n");
  const RunResult r = nlflip({"in.txt", "/dev/full"}, "y\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "/dev/full: overwrite OK? (y/n) /dev/full: writing error\n");
}

class FullDisk : public Cli {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) {
      GTEST_SKIP() << disk_.failure();
    }
  }
  testsupport::SmallTmpfs disk_{std::size_t{64} * 1024};
};

TEST_F(FullDisk, DifferentOutputReportsTheWriteAndTheFullDisk) {
  std::string lines;
  while (lines.size() < 200000) {
    lines += "0123456789\n";
  }
  write_file(path("in.txt"), lines);
  const RunResult r = nlflip({"in.txt", disk_.file("out.txt")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, disk_.file("out.txt") + ": writing error\nno free disk space\n");
}

TEST_F(FullDisk, SameFileKeepsTheOriginal) {
  // Room for the file but not for its rewritten copy beside it.
  std::string original;
  while (original.size() < 40000) {
    original += "0123456789\n";
  }
  const std::string name = disk_.file("both.txt");
  write_file(name, original);
  ASSERT_EQ(read_file(name), original);
  const RunResult r = nlflip({name, name}, "y\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            name + ": overwrite OK? (y/n) " + name + ": writing error\nno free disk space\n");
  EXPECT_EQ(read_file(name), original);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disk_.path()), {}), 1)
      << "the temporary file is removed";
}

}  // namespace
