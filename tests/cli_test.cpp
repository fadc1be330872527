// The nlflip program itself: exit codes, both standard streams and the bytes
// of the files it leaves behind.  The cases of one kind of system only are in
// cli_test_posix.cpp and cli_test_win32.cpp.
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

using clitest::Cli;
using clitest::stream_text;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::Stdin;
using testsupport::write_file;

const std::string kUsageLine = "Usage: nlflip <file> <outputfile>\n";

TEST_F(Cli, UsageTextIsShiftJisOnStandardOutput) {
  const RunResult r = nlflip({"-usage"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      r.out,
      stream_text(
          "\x89\xFC\x8D\x73\x83\x52\x81\x5B\x83\x68\x82\xCC\x95\xCF\x8A\xB7\x82\xF0\x8D\x73\x82"
          "\xA2\x82\xDC\x82\xB7\x81\x42(LF/CR --> CR+LF, CR+LF --> LF)\n"
          " \n"
          "Usage: nlflip <file> <outputfile>\n"
          " \n"
          "Parameter:\n"
          "   <file>       \x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\n"
          "   <outputfile> \x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\n"
          " \n"
          "Version: " NLFLIP_VERSION "\n"));
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
      {{"dir", "out.txt"}, std::string("dir: ") + clitest::kDirectoryInputFailure + "\n"},
      {{"long.txt", "out.txt"}, "long.txt: 3 line: too long line\n"},
      {{"in.txt", "no/such/dir/out.txt"}, "no/such/dir/out.txt: cannot create\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = nlflip(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.err;
    EXPECT_EQ(r.err, stream_text(c.err));
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
      {"NUL bytes are ordinary", std::string("a\0b\nc\0\r\nd\0", 10),
       std::string("a\0b\r\nc\0\nd\0", 10)},
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

TEST_F(Cli, SameFileIsRewrittenOnlyOnceConfirmed) {
  write_file(path("both.txt"), "a\r\nb\n");
  RunResult r = nlflip({"both.txt", "both.txt"}, "y\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "both.txt: overwrite OK? (y/n) ");
  EXPECT_EQ(read_file(path("both.txt")), "a\nb\r\n");
  EXPECT_EQ(entries(), 1) << "no temporary file is left behind";

  r = nlflip({"both.txt", "both.txt"}, "n\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(path("both.txt")), "a\nb\r\n");
}

}  // namespace
