// Replacing a file the user already has, on the real Windows program: files
// that other programs hold open, a replacement that loses the original, the
// owner's changes while the prompt waits, and the in-place route on a full
// disk.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

using clitest::Cli;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::write_file;

TEST(CaseNames, NewTextIsKeptWhereTheReplacementLosesTheOriginal) {
  // Folders that the host made, each with F.TXT ("a\r\nb\n") beside f.txt
  // ("other\n") and in.txt ("a\r\nb\n").  The replacement moves F.TXT
  // away, and then the new text cannot take the name: the system finds it
  // taken by f.txt.
  const char *folders = std::getenv("NLFLIP_CASE_NAMES");
  if (folders == nullptr) {
    GTEST_SKIP() << "no folder with F.TXT beside f.txt made by the host (NLFLIP_CASE_NAMES)";
  }
  struct Case {
    const char *folder;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"0", {"F.TXT", "F.TXT"}},   // rewritten onto itself
      {"1", {"in.txt", "F.TXT"}},  // replaced by another file's text
  };
  for (const Case &c : cases) {
    const std::string work = std::string(folders) + "/" + c.folder;
    // F.TXT read as itself; where it is gone, the name finds f.txt.
    if (read_file(work + "/F.TXT") != "a\r\nb\n" || read_file(work + "/f.txt") != "other\n") {
      GTEST_SKIP() << work << ": no F.TXT beside another file f.txt; the host makes them anew "
                   << "before each run of the tests (or its file system does not tell case)";
    }
    const std::string &out = c.args[1];
    const RunResult r = testsupport::run(NLFLIP_EXE, c.args, work, "y\n");
    EXPECT_EQ(r.exit_code, 1) << c.args[0];
    const std::string head =
        out + ": overwrite OK? (y/n) " + out + ": writing error; new text kept in ";
    ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
    ASSERT_GE(r.err.size(), head.size() + 2) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 2), "\r\n") << "one line";
    const std::string kept = r.err.substr(head.size(), r.err.size() - head.size() - 2);
    EXPECT_EQ(kept.find('\n'), std::string::npos) << "one line";
    EXPECT_EQ(read_file(kept), "a\nb\r\n") << kept << ": the new text is lost";
    std::string folder = work;
    std::replace(folder.begin(), folder.end(), '/', '\\');
    EXPECT_EQ(kept.substr(0, kept.find_last_of('\\')), folder) << kept << ": not beside the output";
    EXPECT_EQ(read_file(work + "/f.txt"), "other\n") << "the other file is changed";
    EXPECT_EQ(read_file(work + "/in.txt"), "a\r\nb\n");
  }
}

TEST_F(Cli, InputsThatOtherProgramsHoldWithDeleteAccessAreRead) {
  struct Case {
    const char *name;
    DWORD access;  // of the other program, which shares everything
    const char *output;
  };
  const Case cases[] = {
      {"held for deletion", DELETE, "out.txt"},
      {"held for reading and deletion", GENERIC_READ | DELETE, "out.txt"},
      {"held for writing and deletion", GENERIC_READ | GENERIC_WRITE | DELETE, "out.txt"},
      {"held for deletion, rewritten onto itself", GENERIC_READ | DELETE, "in.txt"},
  };
  for (const Case &c : cases) {
    write_file(path("in.txt"), "a\r\nb\n");
    DeleteFileA(path("out.txt").c_str());
    const HANDLE held = CreateFileA(path("in.txt").c_str(), c.access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.name;
    const RunResult r = nlflip({"in.txt", c.output}, "y\n");
    CloseHandle(held);
    const bool same = std::string(c.output) == "in.txt";
    EXPECT_EQ(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err, same ? "in.txt: overwrite OK? (y/n) " : "") << c.name;
    EXPECT_EQ(read_file(path(c.output)), "a\nb\r\n") << c.name;
    EXPECT_EQ(entries(), same ? 1 : 2) << c.name << ": something was left beside it";
  }
}

TEST_F(Cli, AttributesChangedWhileThePromptWaitsAreKept) {
  // Taken from the file when its replacement is made, after the answer.
  struct Case {
    const char *name;
    DWORD before;
    DWORD during;  // set while the prompt waits
  };
  const Case cases[] = {
      {"made hidden", FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_HIDDEN},
      {"made a system file", FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"no longer hidden", FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_NORMAL},
  };
  constexpr DWORD kShown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string file = path("both.txt");
  for (const Case &c : cases) {
    write_file(file, "a\r\nb\n");
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), c.before)) << c.name;
    const RunResult r = testsupport::run_at_prompt(
        NLFLIP_EXE, {"both.txt", "both.txt"}, dir_.path(), "y\n", testsupport::Stdin::pipe,
        [&] { SetFileAttributesA(file.c_str(), c.during); });
    EXPECT_EQ(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) ") << c.name;
    EXPECT_EQ(read_file(file), "a\nb\r\n") << c.name;
    EXPECT_EQ(GetFileAttributesA(file.c_str()) & kShown, c.during & kShown) << c.name;
    EXPECT_EQ(entries(), 1) << c.name << ": something was left beside it";
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(Cli, FilesThatOtherProgramsHoldOpenAreStillRewritten) {
  struct Case {
    const char *name;
    DWORD sharing;
  };
  const Case cases[] = {
      {"held, letting others delete it", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
      {"held, letting others only read and write it", FILE_SHARE_READ | FILE_SHARE_WRITE},
  };
  for (const Case &c : cases) {
    write_file(path("both.txt"), "a\r\nb\n");
    const HANDLE held = CreateFileA(path("both.txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                                    c.sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.name;
    const RunResult r = nlflip({"both.txt", "both.txt"}, "y\n");
    CloseHandle(held);
    EXPECT_EQ(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) ") << c.name;
    EXPECT_EQ(read_file(path("both.txt")), "a\nb\r\n") << c.name;
    EXPECT_EQ(entries(), 1) << c.name << ": nothing is left beside it";
  }
}

TEST_F(Cli, InPlaceRewriteNeverLeavesAFileThatDoesNotFit) {
  // A 64 KiB tmpfs that the host mounts for the test, where it may.
  const char *disk = std::getenv("NLFLIP_SMALL_DISK");
  ULARGE_INTEGER size{};
  if (disk == nullptr || !GetDiskFreeSpaceExA(disk, nullptr, &size, nullptr) ||
      size.QuadPart > 65536) {
    GTEST_SKIP() << "no small disk: the host could not mount one (it needs root)";
  }
  struct Case {
    const char *name;
    std::size_t line_ends;  // the file is this many LFs
    int exit_code;
  };
  const Case cases[] = {{"fits", 12000, 0}, {"does not fit", 40000, 1}};
  const std::string name = std::string(disk) + "\\doc.txt";
  const std::string second = std::string(disk) + "\\second.txt";
  for (const Case &c : cases) {
    const std::string original(c.line_ends, '\n');
    write_file(name, original);
    // A file with a second name is rewritten in place, so that both keep it.
    ASSERT_TRUE(CreateHardLinkA(second.c_str(), name.c_str(), nullptr)) << c.name;
    const RunResult r = nlflip({name, name}, "y\n");
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    std::string crlf;
    for (std::size_t i = 0; i < c.line_ends; ++i) {
      crlf += "\r\n";
    }
    EXPECT_TRUE(read_file(second) == (c.exit_code == 0 ? crlf : original)) << c.name;
    DeleteFileA(second.c_str());
    DeleteFileA(name.c_str());
  }
}

}  // namespace
