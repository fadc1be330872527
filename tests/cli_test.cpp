// The nlflip program itself: exit codes, both standard streams and the bytes
// of the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"

namespace {

using testsupport::read_file;
using testsupport::RunResult;
using testsupport::Stdin;
using testsupport::TempDir;
using testsupport::write_file;

const std::string kUsageLine = "Usage: nlflip <file> <outputfile>\n";

class Cli : public ::testing::Test {
 protected:
  RunResult nlflip(const std::vector<std::string> &args, const std::string &input = "",
                   Stdin mode = Stdin::pipe) {
    return testsupport::run(NLFLIP_EXE, args, dir_.path(), input, mode);
  }
  std::string path(const std::string &name) const { return dir_.file(name); }
  bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }

  TempDir dir_;
};

TEST_F(Cli, UsageTextIsShiftJisOnStandardOutput) {
  const RunResult r = nlflip({"-usage"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "\x89\xFC\x8D\x73\x83\x52\x81\x5B\x83\x68\x82\xCC\x95\xCF\x8A\xB7\x82\xF0\x8D\x73\x82"
            "\xA2\x82\xDC\x82\xB7\x81\x42(LF/CR --> CR+LF, CR+LF --> LF)\n"
            " \n"
            "Usage: nlflip <file> <outputfile>\n"
            " \n"
            "Parameter:\n"
            "   <file>       \x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\n"
            "   <outputfile> \x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\n"
            " \n"
            "Version: 1.30\n");
}

TEST_F(Cli, FailuresReportOneLineAndTouchNothing) {
  write_file(path("in.txt"), "a\nb\n");
  write_file(path("long.txt"), "short\nline\n" + std::string(10000, 'x'));
  std::filesystem::create_directory(path("dir"));
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, kUsageLine},
      {{"in.txt"}, kUsageLine},
      {{"-Usage"}, kUsageLine},
      {{"in.txt", "out.txt", "extra"}, kUsageLine},
      {{"-usage", "out.txt"}, "-usage: not found\n"},
      {{"missing.txt", "out.txt"}, "missing.txt: not found\n"},
      {{"dir", "out.txt"}, "dir: reading error\n"},
      {{"long.txt", "out.txt"}, "long.txt: 3 line: too long line\n"},
      {{"in.txt", "no/such/dir/out.txt"}, "no/such/dir/out.txt: cannot create\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = nlflip(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "") << c.err;
    EXPECT_FALSE(exists("out.txt")) << c.err;
  }
}

TEST_F(Cli, ReadingFailuresLeaveAnExistingOutputAsItWas) {
  write_file(path("long.txt"), std::string(10000, 'x'));
  write_file(path("out.txt"), "keep\n");
  for (const char *input : {"long.txt", "missing.txt", "."}) {
    const RunResult r = nlflip({input, "out.txt"}, "y\n");
    EXPECT_EQ(r.exit_code, 1) << input;
    EXPECT_EQ(r.err.find("overwrite"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(path("out.txt")), "keep\n") << input;
  }
}

TEST_F(Cli, TogglesEveryLineEnd) {
  const std::string line_9999(9999, 'a');
  struct Case {
    const char *name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"CR LF then LF", "a\r\nb\n", "a\nb\r\n"},
      {"LF then CR LF", "a\nb\r\n", "a\r\nb\n"},
      {"CR only, last line open", "a\rb\rc", "a\r\nb\r\nc"},
      {"LF wins over an earlier CR", "x\ry\n", "x\ry\r\n"},
      {"empty file", "", ""},
      {"NUL bytes are ordinary", std::string("a\0b\nc\0\r\nd\0", 11),
       std::string("a\0b\r\nc\0\nd\0", 11)},
      {"line of exactly 10000 bytes", line_9999 + "\n", line_9999 + "\r\n"},
      {"CR LF at the window's edge", line_9999 + "\r\nz\n", line_9999 + "\nz\r\n"},
  };
  for (const auto &c : cases) {
    write_file(path("in.txt"), c.in);
    std::filesystem::remove(path("out.txt"));
    const RunResult r = nlflip({"in.txt", "out.txt"});
    EXPECT_EQ(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(read_file(path("out.txt")), c.out) << c.name;
  }
}

TEST_F(Cli, OverwriteNeedsAnAnswerBeginningWithY) {
  write_file(path("in.txt"), "a\n");
  struct Case {
    const char *answer;
    Stdin mode;
    bool overwritten;
  };
  const Case cases[] = {
      {"y\n", Stdin::pipe, true},  {"Yes please\n", Stdin::pipe, true}, {"y", Stdin::pipe, true},
      {"n\n", Stdin::pipe, false}, {" y\n", Stdin::pipe, false},        {"\n", Stdin::pipe, false},
      {"", Stdin::pipe, false},    {"", Stdin::closed, false},
  };
  std::string long_answer(50002, 'z');
  long_answer.front() = 'y';
  long_answer.back() = '\n';
  for (const auto &c : cases) {
    write_file(path("out.txt"), "old\n");
    const RunResult r = nlflip({"in.txt", "out.txt"}, c.answer, c.mode);
    EXPECT_EQ(r.exit_code, 0) << c.answer;
    EXPECT_EQ(r.err, "out.txt: overwrite OK? (y/n) ") << c.answer;
    EXPECT_EQ(read_file(path("out.txt")), c.overwritten ? "a\r\n" : "old\n") << c.answer;
  }
  write_file(path("out.txt"), "old\n");
  EXPECT_EQ(nlflip({"in.txt", "out.txt"}, long_answer).exit_code, 0);
  EXPECT_EQ(read_file(path("out.txt")), "a\r\n");
}

TEST_F(Cli, SameFileIsRewrittenWithItsModeAndThroughLinks) {
  write_file(path("both.txt"), "a\r\nb\n");
  chmod(path("both.txt").c_str(), 0640);
  ASSERT_EQ(symlink("both.txt", path("link.txt").c_str()), 0);

  RunResult r = nlflip({"both.txt", "both.txt"}, "y\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) ");
  EXPECT_EQ(read_file(path("both.txt")), "a\nb\r\n");

  r = nlflip({"both.txt", "link.txt"}, "y\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.txt")));
  EXPECT_EQ(read_file(path("both.txt")), "a\r\nb\n");
  struct stat info {};
  ASSERT_EQ(stat(path("both.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2)
      << "no temporary file is left behind";

  r = nlflip({"both.txt", "both.txt"}, "n\n");
  EXPECT_EQ(read_file(path("both.txt")), "a\r\nb\n");
}

TEST_F(Cli, PipeAsInput) {
  std::string text;
  for (int i = 0; i < 200000; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  std::string expected = text;
  for (std::size_t at = 0; (at = expected.find('\n', at)) != std::string::npos; at += 2) {
    expected.insert(at, 1, '\r');
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
  testsupport::SmallTmpfs disk_{64 * 1024};
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
