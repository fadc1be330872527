// The nlflip program's cases of Windows: CR LF from the standard streams,
// arguments as typed, drive-letter names, and one file under two names.
#include <windows.h>

#include <cstdlib>
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

TEST_F(Cli, ReadOnlyFilesAreNotRewritten) {
  // A file with one name would be replaced, one with two rewritten in place.
  for (const bool second_name : {false, true}) {
    const std::string which = second_name ? "two names" : "one name";
    write_file(path("both.txt"), "a\r\nb\n");
    if (second_name) {
      ASSERT_TRUE(CreateHardLinkA(path("other.txt").c_str(), path("both.txt").c_str(), nullptr));
    }
    ASSERT_TRUE(SetFileAttributesA(path("both.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    const RunResult r = nlflip({"both.txt", "both.txt"}, "y\n");
    EXPECT_EQ(r.exit_code, 1) << which;
    EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) both.txt: writing error\r\n") << which;
    EXPECT_EQ(read_file(path("both.txt")), "a\r\nb\n") << which;
    EXPECT_NE(GetFileAttributesA(path("both.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << which;
    EXPECT_EQ(entries(), second_name ? 2 : 1) << which << ": the temporary file is removed";
    SetFileAttributesA(path("both.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path("other.txt").c_str());
  }
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

// A share to write to: Wine serves \\<server>\<share> from its prefix's
// dosdevices\unc\<server>\<share>, where the system finds no volume for
// such names.
class Share : public Cli {
 protected:
  void SetUp() override {
    const char *prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr) {
      GTEST_SKIP() << "not under Wine (no WINEPREFIX): no share to write to";
    }
    share_ = std::filesystem::path(dir_.path()).filename().string();
    directory_ = std::string("Z:") + prefix + "/dosdevices/unc/" + kServer + "/" + share_;
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  // The name of a file on the share, with the given separator.
  std::string unc(const std::string &start, char separator, const std::string &name) const {
    return start + kServer + separator + share_ + separator + name;
  }

  static constexpr const char *kServer = "nlflip-test";
  std::string share_;
  std::string directory_;  // where the share's files are
};

TEST_F(Share, UncOutputsAreWrittenAndAskTheirShareForFreeSpace) {
  write_file(path("in.txt"), "a\n");
  write_file(directory_ + "/old.txt", "old\n");
  struct Output {
    std::string name;
    std::string file;  // on the share
    const char *answer;
    std::string err;
  };
  const Output outputs[] = {
      {unc("\\\\", '\\', "new.txt"), "new.txt", "", ""},
      {unc("//", '/', "slash.txt"), "slash.txt", "", ""},
      {unc("\\\\?\\UNC\\", '\\', "long.txt"), "long.txt", "", ""},
      {unc("\\\\", '\\', "old.txt"), "old.txt", "y\n",
       unc("\\\\", '\\', "old.txt") + ": overwrite OK? (y/n) "},
      // No volume can be told for this form: that is no full disk.
      {unc("\\\\.\\UNC\\", '\\', "device.txt"), "device.txt", "", ""},
  };
  for (const Output &o : outputs) {
    const RunResult r = nlflip({"in.txt", o.name}, o.answer);
    EXPECT_EQ(r.exit_code, 0) << o.name;
    EXPECT_EQ(r.err, o.err);
    EXPECT_EQ(read_file(directory_ + "/" + o.file), "a\r\n") << o.name;
  }
}

}  // namespace
