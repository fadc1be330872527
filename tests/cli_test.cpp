// The nlflip program itself: exit codes, both standard streams and the bytes
// of the files it leaves behind.  The cases of one kind of system only are in
// cli_test_posix.cpp and cli_test_win32.cpp.
#include <filesystem>
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
  write_file(path("in.txt"), "old\n");
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
  // Another file, and the input itself.
  for (const char *output : {"out.txt", "in.txt"}) {
    for (const auto &c : cases) {
      write_file(path(output), "old\n");
      const RunResult r = nlflip({"in.txt", output}, c.answer, c.mode);
      const std::string what = std::string(output) + ", answer " + c.answer;
      EXPECT_EQ(r.exit_code, 0) << what;
      EXPECT_EQ(r.err, stream_text(std::string(output) + ": overwrite OK? (y/n) ")) << what;
      EXPECT_EQ(read_file(path(output)), c.overwritten ? "old\r\n" : "old\n") << what;
      EXPECT_EQ(entries(), 2) << what << ": nothing is left beside it";
    }
  }
  write_file(path("out.txt"), "old\n");
  EXPECT_EQ(nlflip({"in.txt", "out.txt"}, long_answer).exit_code, 0);
  EXPECT_EQ(read_file(path("out.txt")), "old\r\n");
}

// UTF-16 text after its byte-order mark, in the byte order given.
std::string utf16(const std::u16string &text, bool little_endian = true) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t unit : text) {
    const auto low = static_cast<char>(unit & 0xFF);
    const auto high = static_cast<char>(unit >> 8);
    bytes += little_endian ? low : high;
    bytes += little_endian ? high : low;
  }
  return bytes;
}

TEST_F(Cli, Utf16TextIsToggledInUnits) {
  const std::string powershell = utf16(u"PS> dir\r\n\u65E5\u672C\r\n\r\n");
  // Units whose high byte is an LF: no line end, however many bytes say LF.
  const std::u16string high_lfs(5000, u'\u0A41');
  const std::u16string long_line(4999, u'a');
  struct Case {
    const char *name;
    std::string in;
    bool output_exists;
    bool comes_back;  // when toggled twice: no line ends in a lone CR
    int exit_code;
    std::string out;  // the output's bytes, or the message
  };
  const Case cases[] = {
      {"little-endian", utf16(u"a\nb\r\nc\r"), false, false, 0, utf16(u"a\r\nb\nc\r\n")},
      {"big-endian", utf16(u"a\r\nb\n", false), true, true, 0, utf16(u"a\nb\r\n", false)},
      {"a PowerShell log", powershell, false, true, 0, utf16(u"PS> dir\n\u65E5\u672C\n\n")},
      {"the mark alone", utf16(u""), true, true, 0, utf16(u"")},
      {"an odd byte after the last line", utf16(u"a\n") + "b", false, true, 0,
       utf16(u"a\r\n") + "b"},
      {"a line of 4999 units and its LF", utf16(long_line + u"\n"), true, true, 0,
       utf16(long_line + u"\r\n")},
      {"5000 units without an LF unit", utf16(high_lfs + u"\n"), true, false, 1,
       "in.txt: 1 line: too long line\n"},
      {"a UTF-32 mark", std::string("\xFF\xFE\0\0a\0\0\0", 8), false, false, 1,
       "in.txt: UTF-32 not supported\n"},
  };
  for (const auto &c : cases) {
    write_file(path("in.txt"), c.in);
    std::filesystem::remove(path("out.txt"));
    if (c.output_exists) {
      write_file(path("out.txt"), "old\n");
    }
    const RunResult r = nlflip({"in.txt", "out.txt"}, "y\n");
    const std::string asked = c.output_exists ? "out.txt: overwrite OK? (y/n) " : "";
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    if (c.exit_code == 0) {
      EXPECT_EQ(r.err, asked) << c.name;
      EXPECT_TRUE(read_file(path("out.txt")) == c.out) << c.name;
      // Toggled twice, a text without CR-only lines comes back.
      EXPECT_EQ(nlflip({"out.txt", "back.txt"}).exit_code, 0) << c.name;
      EXPECT_EQ(read_file(path("back.txt")) == c.in, c.comes_back) << c.name;
    } else {
      EXPECT_EQ(r.err, stream_text(c.out)) << c.name;
      EXPECT_EQ(read_file(path("out.txt")), c.output_exists ? "old\n" : "") << c.name;
    }
    std::filesystem::remove(path("back.txt"));
  }
  // The same file, rewritten onto itself, comes back after two runs.
  const std::string text = utf16(u"one\ntwo\n");
  write_file(path("both.txt"), text);
  for (const char *answer : {"y\n", "y\n"}) {
    EXPECT_EQ(nlflip({"both.txt", "both.txt"}, answer).exit_code, 0);
  }
  EXPECT_EQ(read_file(path("both.txt")), text);
}

}  // namespace
