// The nlflip program's cases of Windows: CR LF from the standard streams,
// arguments as typed, drive-letter names, and one file under two names.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace clitest {

const char *const kStreamLineEnd = "\r\n";
const char *const kDirectoryInputFailure = "not found";

}  // namespace clitest

namespace {

using clitest::Cli;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::Stdin;
using testsupport::write_file;

struct Case {
  std::vector<std::string> args;
  int exit_code;
  std::string err;
};

TEST_F(Cli, WildcardsReachTheProgramAsTyped) {
  write_file(path("a.txt"), "a\n");
  write_file(path("b.txt"), "b\n");
  // Expanded, each of these would be a different command line.
  const Case cases[] = {
      {{"*.txt", "out.dat"}, 1, "*.txt: not found\r\n"},
      {{"a.tx?", "out.dat"}, 1, "a.tx?: not found\r\n"},
      {{"a.txt", "*.txt"}, 1, "*.txt: cannot create\r\n"},
  };
  for (const Case &c : cases) {
    const RunResult r = nlflip(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(exists("out.dat")) << c.err;
  }
}

TEST_F(Cli, DriveLetterNamesTheCurrentDirectoryOfThatDrive) {
  const std::string drive = dir_.path().substr(0, 2);
  ASSERT_EQ(drive[1], ':') << dir_.path();
  write_file(path("in.txt"), "a\n");
  const RunResult r = nlflip({"in.txt", drive + "out.txt"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(path("out.txt")), "a\r\n");
}

TEST_F(Cli, SameFileUnderOtherNamesKeepsItsAttributes) {
  write_file(path("both.txt"), "a\r\nb\n");
  ASSERT_TRUE(
      SetFileAttributesA(path("both.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  std::string expected = "a\r\nb\n";
  for (const std::string &other : {std::string(".\\BOTH.TXT"), path("both.txt")}) {
    const RunResult r = nlflip({"both.txt", other}, "y\n");
    EXPECT_EQ(r.exit_code, 0) << other;
    EXPECT_EQ(r.err, other + ": overwrite OK? (y/n) ");
    expected = expected == "a\r\nb\n" ? "a\nb\r\n" : "a\r\nb\n";
    EXPECT_EQ(read_file(path("both.txt")), expected) << other;
    EXPECT_NE(GetFileAttributesA(path("both.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u) << other;
    EXPECT_EQ(entries(), 1) << "no temporary file is left behind";
  }
}

TEST_F(Cli, ReadOnlyFileIsNotRewritten) {
  write_file(path("both.txt"), "a\r\nb\n");
  ASSERT_TRUE(SetFileAttributesA(path("both.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const RunResult r = nlflip({"both.txt", "both.txt"}, "y\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) both.txt: writing error\r\n");
  EXPECT_EQ(read_file(path("both.txt")), "a\r\nb\n");
  EXPECT_EQ(entries(), 1) << "the temporary file is removed";
  SetFileAttributesA(path("both.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Cli, ExistingOutputsOfEveryKindAreAskedAbout) {
  write_file(path("in.txt"), "a\n");
  write_file(path("held.txt"), "keep\n");
  write_file(path("both.txt"), "keep\n");
  // Another program holds the file so that it cannot be opened for reading.
  const HANDLE held = CreateFileA(path("held.txt").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  struct Asked {
    std::vector<std::string> args;
    const char *answer;
    Stdin mode;
  };
  const Asked cases[] = {
      {{"in.txt", "held.txt"}, "n\n", Stdin::pipe},
      {{"both.txt", "both.txt"}, "", Stdin::closed},
      {{"in.txt", "NUL"}, "y\n", Stdin::pipe},
  };
  for (const Asked &c : cases) {
    const RunResult r = nlflip(c.args, c.answer, c.mode);
    EXPECT_EQ(r.exit_code, 0) << c.args[1];
    EXPECT_EQ(r.err, c.args[1] + ": overwrite OK? (y/n) ");
  }
  CloseHandle(held);
  EXPECT_EQ(read_file(path("held.txt")), "keep\n");
  EXPECT_EQ(read_file(path("both.txt")), "keep\n");
}

}  // namespace
