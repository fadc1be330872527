// The nlflip program's cases that need POSIX: file modes, symbolic links,
// /dev files and small file systems of their own.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "cli_posix.h"
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
  const RunResult r = shell(dir_.path(), "cat big.txt | TMPDIR=" + disk_.path() +
                                             " \"$0\" /dev/fd/3 out.txt 3<&0 </dev/null");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "/dev/fd/3: spooling error\n");
  EXPECT_EQ(read_file(path("out.txt")), "keep\n");
}

}  // namespace

namespace {

using clitest::is_root;

std::string mode_of(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return "missing";
  }
  return S_ISCHR(info.st_mode) ? "char device" : S_ISREG(info.st_mode) ? "regular" : "other";
}

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

TEST_F(Cli, SameFileKeepsOwnerAndStaysWhatItIs) {
  if (!is_root()) {
    GTEST_SKIP() << "needs root to give files away and to make device nodes";
  }
  write_file(path("theirs.txt"), "a\r\n");
  ASSERT_EQ(chown(path("theirs.txt").c_str(), 65534, 65534), 0);
  chmod(path("theirs.txt").c_str(), 0640);
  ASSERT_EQ(mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  struct Case {
    const char *name;
    std::string kind;
    std::string text;
  };
  const Case cases[] = {{"theirs.txt", "regular", "a\n"}, {"null", "char device", ""}};
  for (const auto &c : cases) {
    const RunResult r = nlflip({c.name, c.name}, "y\n");
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_EQ(mode_of(path(c.name)), c.kind) << c.name;
    EXPECT_EQ(read_file(path(c.name)), c.text) << c.name;
  }
  struct stat info {};
  ASSERT_EQ(stat(path("theirs.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534U);
  EXPECT_EQ(info.st_gid, 65534U);
  EXPECT_EQ(info.st_mode & 07777, 0640U);

  // A user who may write another's file but not give one away rewrites it
  // in place, so that it keeps its owner.
  chmod(dir_.path().c_str(), 0777);
  write_file(path("shared.txt"), "a\r\n");
  chmod(path("shared.txt").c_str(), 0646);
  const RunResult r = testsupport::run(
      "/usr/bin/setpriv",
      {"--reuid=65534", "--regid=65534", "--clear-groups", NLFLIP_EXE, "shared.txt", "shared.txt"},
      dir_.path(), "y\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(path("shared.txt")), "a\n");
  ASSERT_EQ(stat(path("shared.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0U);
}

TEST_F(Cli, OutputsThatAreNoRegularFileOrCannotFill) {
  write_file(path("in.txt"), "a\n");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  const testsupport::SmallTmpfs unlimited(0);
  const std::string on_unlimited = unlimited.mounted() ? unlimited.file("u.txt") : path("u.txt");
  write_file(on_unlimited, "a\n");
  struct Case {
    const char *name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"standard output into a pipe", "echo y | \"$0\" in.txt /dev/stdout | od -c",
       "0000000   a  \\r  \\n\n0000003\n"},
      {"FIFO with a reader", "cat fifo & echo y | \"$0\" in.txt fifo; wait", "a\r\n"},
      {"same file on a file system without a size",
       "echo y | \"$0\" " + on_unlimited + " " + on_unlimited, ""},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.find("no free disk space"), std::string::npos) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
  EXPECT_EQ(read_file(on_unlimited), "a\r\n");
}

TEST_F(Cli, InterruptionsLeaveNoTemporaryFile) {
  // The input is a FIFO held open, so the run is surely under way, its
  // temporary file made, when the signal comes.  A job in the background
  // ignores SIGINT unless told otherwise.
  const std::string wait_for_temp =
      "mkfifo f; (trap - INT QUIT; exec \"$0\" f out.txt 2>err) & exec 3>f; echo abc >&3;"
      " while [ -z \"$(ls -A | grep nlflip-)\" ]; do sleep 0.01; done; ";
  struct Case {
    const char *name;
    std::string script;
    std::string status;
  };
  const Case cases[] = {
      {"SIGINT", wait_for_temp + "kill -INT $!; wait $!; echo $?", "130\n"},
      {"SIGTERM", wait_for_temp + "kill -TERM $!; wait $!; echo $?", "143\n"},
      {"SIGHUP", wait_for_temp + "kill -HUP $!; wait $!; echo $?", "129\n"},
      {"SIGQUIT", wait_for_temp + "kill -QUIT $!; wait $!; echo $?", "131\n"},
      {"SIGUSR1", wait_for_temp + "kill -USR1 $!; wait $!; echo $?", "138\n"},
      {"SIGALRM", wait_for_temp + "kill -ALRM $!; wait $!; echo $?", "142\n"},
      {"SIGSEGV", wait_for_temp + "kill -SEGV $!; wait $!; echo $?", "139\n"},
      {"file-size limit", "seq 100000 >in.txt; (ulimit -f 8; \"$0\" in.txt out.txt 2>err; echo $?)",
       "1\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.out, c.status) << c.name;
    EXPECT_FALSE(exists("out.txt")) << c.name;
    EXPECT_FALSE(clitest::temporary_file_left(dir_.path())) << c.name;
    std::filesystem::remove(path("f"));
  }
  EXPECT_EQ(read_file(path("err")), "out.txt: writing error\n");
}

}  // namespace

namespace {

TEST_F(Cli, VanishedOutputDirectoryIsAWritingError) {
  const RunResult r = shell(dir_.path(),
                            "mkfifo f; mkdir d; \"$0\" f d/out.txt 2>err & exec 3>f; echo abc >&3;"
                            " while [ -z \"$(ls -A d)\" ]; do sleep 0.01; done;"
                            " rm -rf d; exec 3>&-; wait $!; echo $?; cat err");
  EXPECT_EQ(r.out, "1\nd/out.txt: writing error\n");
}

}  // namespace

namespace {

TEST_F(Cli, FilesThatChangeHandsAreNeverOverwritten) {
  write_file(path("in.txt"), "a\n");
  struct Case {
    const char *name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"a file saved under the output's name during the run",
       "mkfifo f; \"$0\" f out.txt 2>err & exec 3>f; echo abc >&3;"
       " while [ -z \"$(ls -A | grep nlflip-)\" ]; do sleep 0.01; done;"
       " echo precious >out.txt; exec 3>&-; wait $!; echo $?; cat out.txt err",
       "1\nprecious\nout.txt: writing error\n"},
      {"a newer version saved while the user is asked",
       "echo old >g; (sleep 0.3; echo saved >g.new; mv g.new g; echo y) | \"$0\" g g 2>err;"
       " echo $?; cat g",
       "1\nsaved\n"},
      {"a pipe whose reader has gone",
       "seq 200000 >big; echo y | \"$0\" big /dev/stdout 2>err | head -c 1 >/dev/null;"
       " echo ${PIPESTATUS[1]}; cat err",
       "1\n/dev/stdout: overwrite OK? (y/n) /dev/stdout: writing error\n"},
      {"a loop of symbolic links", "ln -s l2 l1; ln -s l1 l2; \"$0\" in.txt l1; echo $?", "1\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.out, c.out) << c.name << ": " << r.err;
  }
  EXPECT_EQ(read_file(path("err")).find("no free disk space"), std::string::npos);
}

}  // namespace
