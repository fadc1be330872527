// The nlflip program's cases that need POSIX: file modes, symbolic links,
// /dev files and small file systems of their own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
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

namespace {

using testsupport::Stdin;

// Runs nlflip through the shell, for limits, redirections and pipes;
// "$0" is the program.
RunResult shell(const Cli &, const std::string &dir, const std::string &script,
                const std::string &input = "") {
  return testsupport::run("/bin/sh", {"-c", script, NLFLIP_EXE}, dir, input);
}

// count lines of 39 bytes and an LF, written to path.
void write_lines(const std::string &path, std::size_t count) {
  const std::string line = std::string(39, 'x') + "\n";
  std::string block;
  for (int i = 0; i < 4096; ++i) {
    block += line;
  }
  std::ofstream out(path, std::ios::binary);
  for (std::size_t done = 0; done < count; done += 4096) {
    out.write(block.data(), static_cast<std::streamsize>(line.size() * std::min<std::size_t>(4096, count - done)));
  }
}

// Whether path holds count lines of 39 bytes and a CR LF.
bool holds_converted_lines(const std::string &path, std::size_t count) {
  const std::string line = std::string(39, 'x') + "\r\n";
  std::ifstream in(path, std::ios::binary);
  std::string got(line.size(), '\0');
  for (std::size_t i = 0; i < count; ++i) {
    if (!in.read(got.data(), static_cast<std::streamsize>(got.size())) || got != line) {
      return false;
    }
  }
  return in.peek() == std::ifstream::traits_type::eof();
}

TEST_F(Cli, EndlessInputStopsAtItsFirstWindow) {
  for (const bool output_exists : {false, true}) {
    if (output_exists) {
      write_file(path("out.txt"), "keep\n");
    }
    const RunResult r = nlflip({"/dev/zero", "out.txt"}, "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "/dev/zero: 1 line: too long line\n");
    EXPECT_EQ(entries(), output_exists ? 1 : 0) << "no output, no temporary file";
    if (output_exists) {
      EXPECT_EQ(read_file(path("out.txt")), "keep\n");
    }
  }
}

TEST_F(Cli, MemoryStaysBoundedWhateverTheInputsSize) {
  // Five times the address space the program may use.
  constexpr std::size_t kLines = std::size_t{4} << 20;
  const std::string limit = "ulimit -v 32768 && ";
  write_lines(path("big.txt"), kLines);
  write_file(path("yes.txt"), "y\n");
  struct Case {
    const char *name;
    std::string script;
    const char *result;
  };
  const Case cases[] = {
      {"file to a new output", limit + "exec \"$0\" big.txt out.txt", "out.txt"},
      {"pipe to an existing output, kept aside until the answer",
       "cat big.txt | (" + limit + "exec \"$0\" /dev/fd/3 out.txt 3<&0 <yes.txt)", "out.txt"},
      {"same file", limit + "exec \"$0\" both.txt both.txt <yes.txt", "both.txt"},
  };
  for (const auto &c : cases) {
    std::filesystem::copy_file(path("big.txt"), path("both.txt"),
                               std::filesystem::copy_options::overwrite_existing);
    const RunResult r = shell(*this, dir_.path(), c.script);
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_TRUE(holds_converted_lines(path(c.result), kLines)) << c.name;
  }
}

TEST_F(Cli, InputChangedUnderTheRunIsAReadingError) {
  const std::string original = std::string(5000, 'a') + "\n" + std::string(50000, '\n');
  struct Case {
    const char *name;
    std::function<void()> change;
    int exit_code;
  };
  const Case cases[] = {
      {"truncated", [&] { std::filesystem::resize_file(path("in.txt"), 20000); }, 1},
      {"a too long line written in",
       [&] { write_file(path("in.txt"), std::string(original.size(), 'z')); }, 1},
      {"appended to",
       [&] { std::ofstream(path("in.txt"), std::ios::app | std::ios::binary) << "more\n"; }, 0},
  };
  for (const auto &c : cases) {
    write_file(path("in.txt"), original);
    write_file(path("out.txt"), "old\n");
    const RunResult r = testsupport::run_at_prompt(NLFLIP_EXE, {"in.txt", "out.txt"}, dir_.path(),
                                                   "y\n", Stdin::pipe, c.change);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    if (c.exit_code == 0) {
      std::string converted = std::string(5000, 'a');
      for (int i = 0; i < 50001; ++i) {
        converted += "\r\n";
      }
      EXPECT_TRUE(read_file(path("out.txt")) == converted) << c.name;
    } else {
      EXPECT_EQ(r.err, "out.txt: overwrite OK? (y/n) in.txt: reading error\n") << c.name;
    }
  }
}

TEST_F(FullDisk, PipeThatCannotBeKeptLeavesTheOutputAlone) {
  write_lines(path("big.txt"), 200000);
  write_file(path("out.txt"), "keep\n");
  const RunResult r = shell(*this, dir_.path(),
                            "cat big.txt | TMPDIR=" + disk_.path() +
                                " \"$0\" /dev/fd/3 out.txt 3<&0 </dev/null");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "/dev/fd/3: spooling error\n");
  EXPECT_EQ(read_file(path("out.txt")), "keep\n");
}

}  // namespace
