// The nlflip program's cases that need POSIX: pipes, /dev files, a second
// user, symbolic links and small file systems of their own.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "cli_posix.h"
#include "runner.h"
#include "system_posix.h"
#include "tmpfs.h"

namespace clitest {

const char *const kStreamLineEnd = "\n";
const char *const kDirectoryInputFailure = "reading error";

}  // namespace clitest

namespace {

using clitest::Cli;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::write_file;

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

}  // namespace

namespace {

using testsupport::Stdin;

using clitest::holds_converted_lines;
using clitest::shell;
using clitest::write_lines;

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
  if (NLFLIP_SANITIZED) {
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
  }
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
      {"same file on a 128 KiB stack", "ulimit -s 128 && exec \"$0\" both.txt both.txt <yes.txt",
       "both.txt"},
  };
  for (const auto &c : cases) {
    std::filesystem::copy_file(path("big.txt"), path("both.txt"),
                               std::filesystem::copy_options::overwrite_existing);
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_TRUE(holds_converted_lines(path(c.result), kLines)) << c.name;
  }
}

}  // namespace

namespace {

using testsupport::is_root;

TEST_F(Cli, PromptIsNeverAnsweredByAFileAndAlwaysNamesIt) {
  write_file(path("in.txt"), "a\n");
  // Deep enough that the name no longer fits the formatter's buffer.
  std::string deep = "d";
  for (int i = 0; i < 12; ++i) {
    deep += "/" + std::string(100, 'd');
  }
  std::filesystem::create_directories(path(deep));
  const std::string long_name = deep + "/out.txt";
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string output;
    Stdin mode;
  };
  const Case cases[] = {
      {"closed input, first line y", {"in.txt", "out.txt"}, "out.txt", Stdin::closed},
      {"closed input, same file", {"out.txt", "out.txt"}, "out.txt", Stdin::closed},
      {"long name", {"in.txt", long_name}, long_name, Stdin::pipe},
  };
  for (const auto &c : cases) {
    write_file(path(c.output), "yes, keep me\n");
    const RunResult r = nlflip(c.args, "n\n", c.mode);
    EXPECT_EQ(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err, c.output + ": overwrite OK? (y/n) ") << c.name;
    EXPECT_EQ(read_file(path(c.output)), "yes, keep me\n") << c.name;
  }
}

TEST_F(Cli, OutputThatCannotBeReadIsStillAskedAbout) {
  if (!is_root()) {
    GTEST_SKIP() << "needs root to run as a second user";
  }
  write_file(path("in.txt"), "a\n");
  write_file(path("out.txt"), "keep\n");
  chmod(path("out.txt").c_str(), 0200);
  ASSERT_EQ(chown(path("out.txt").c_str(), 65534, 65534), 0);
  chmod(dir_.path().c_str(), 0777);
  const RunResult r = testsupport::run(
      "/usr/bin/setpriv",
      {"--reuid=65534", "--regid=65534", "--clear-groups", NLFLIP_EXE, "in.txt", "out.txt"},
      dir_.path(), "n\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "out.txt: overwrite OK? (y/n) ");
  chmod(path("out.txt").c_str(), 0600);
  EXPECT_EQ(read_file(path("out.txt")), "keep\n");
}

bool is_character_device(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

TEST_F(Cli, OutputsThatAreNoRegularFileAreWrittenDirectly) {
  write_file(path("in.txt"), "a\n");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  struct Case {
    const char *name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"standard output into a pipe", "echo y | \"$0\" in.txt /dev/stdout | od -c",
       "0000000   a  \\r  \\n\n0000003\n"},
      {"FIFO with a reader", "cat fifo & echo y | \"$0\" in.txt fifo; wait", "a\r\n"},
      {"a device named as both", "echo y | \"$0\" /dev/null /dev/null", ""},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find("no free disk space"), std::string::npos) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
  EXPECT_TRUE(is_character_device("/dev/null"));
}

// A file system that reports no size: a tmpfs without a limit.
class WithoutASize : public Cli {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) {
      GTEST_SKIP() << disk_.failure();
    }
  }
  testsupport::SmallTmpfs disk_{0};
};

TEST_F(WithoutASize, FilesAreWrittenWithoutAFreeSpaceCheck) {
  const std::string f = disk_.file("u.txt");
  for (const std::string &output : {f, disk_.file("new.txt")}) {
    write_file(f, "a\n");
    const RunResult r = nlflip({f, output}, "y\n");
    EXPECT_EQ(r.exit_code, 0) << output << ": " << r.err;
    EXPECT_EQ(r.err.find("no free disk space"), std::string::npos) << output;
    EXPECT_EQ(read_file(output), "a\r\n") << output;
  }
}

// A run under way: its input, a pipe, read past what the pipe holds.
std::string more_than_a_pipe_holds() {
  return std::string(std::size_t{1} << 20, '\n');
}

TEST_F(Cli, VanishedOutputDirectoryIsAWritingError) {
  std::filesystem::create_directory(path("d"));
  testsupport::Running run(NLFLIP_EXE, {"/dev/fd/3", "d/out.txt"}, dir_.path());
  ASSERT_TRUE(run.feed(more_than_a_pipe_holds()));
  std::filesystem::remove_all(path("d"));
  const RunResult r = run.finish();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "d/out.txt: writing error\n");
}

TEST_F(Cli, FilesThatChangeHandsAreNeverOverwritten) {
  {
    testsupport::Running run(NLFLIP_EXE, {"/dev/fd/3", "out.txt"}, dir_.path());
    ASSERT_TRUE(run.feed(more_than_a_pipe_holds()));
    write_file(path("out.txt"), "precious\n");
    const RunResult r = run.finish();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "out.txt: writing error\n");
    EXPECT_EQ(read_file(path("out.txt")), "precious\n");
  }
  write_file(path("in.txt"), "a\n");
  struct Case {
    const char *name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"a pipe whose reader has gone",
       "seq 200000 >big; echo y | \"$0\" big /dev/stdout 2>err | head -c 1 >/dev/null;"
       " echo ${PIPESTATUS[1]}; cat err",
       "1\n/dev/stdout: overwrite OK? (y/n) /dev/stdout: writing error\n"},
      {"a loop of symbolic links", "ln -s l2 l1; ln -s l1 l2; \"$0\" in.txt l1 2>&1; echo $?",
       "l1: cannot create\n1\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.out, c.out) << c.name << ": " << r.err;
  }
  EXPECT_FALSE(clitest::temporary_file_left(dir_.path()));
}

}  // namespace
