// Replacing a file the user already has, on the real Windows program: files
// that other programs hold open, and the in-place route on a full disk.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "cli_fixture.h"

namespace {

using clitest::Cli;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::write_file;

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
