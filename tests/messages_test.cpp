// The message formatter and the three destinations of errmsg / errmsg1.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common.h"
#include "edit.h"

namespace {

using testsupport::edit;

std::FILE *const kToStdout = reinterpret_cast<std::FILE *>(static_cast<std::uintptr_t>(-1));

struct EditCase {
  const char *name;
  std::string got;
  std::string expected;
};

TEST(ErrEdit, ConversionsEscapesAndStrayPercents) {
  const std::string long_text(2000, 'x');
  const EditCase cases[] = {
      {"char", edit("%c drive: no free disk space\n", 'd'), "d drive: no free disk space\n"},
      {"string and int", edit("%s: %d line: too long line\n", "in.txt", 12),
       "in.txt: 12 line: too long line\n"},
      {"negative int", edit("%d", -42), "-42"},
      {"hex", edit("%x", 255), "ff"},
      {"hex of all ones", edit("%x", 0xFFFFFFFFU), "ffffffff"},
      {"float", edit("%f", 1.5), "1.500000"},
      {"percent at the end", edit("rate 100%"), "rate 100%"},
      {"percent percent", edit("%%"), "%%"},
      {"width is no conversion", edit("%5d %d", 3), "%5d 3"},
      {"escaped percent takes no argument", edit("a\\%d %d", 7), "a%d 7"},
      {"escaped backslash", edit("a\\\\b%d", 1), "a\\b1"},
      {"backslash at the end", edit("ab%d\\", 1), "ab1\\"},
      {"string too long is left out", edit("[%s]%d", long_text.c_str(), 5), "[]5"},
      {"null string", edit("<%s>", static_cast<const char *>(nullptr)), "<(null)>"},
      {"percent inside a string is raw", edit("%s", "50%d"), "50%d"},
      // The formatter is byte-wise: the 0x5C second byte escapes the byte after it.
      {"second byte 0x5C escapes", edit("%d\x95\x5Cnz", 1), "1\x95nz"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.got, c.expected) << c.name;
  }
}

TEST(ErrEdit, StopsAtTheMessageLimit) {
  const std::string format = std::string(1030, 'a') + "%d";
  EXPECT_EQ(edit(format.c_str(), 1), std::string(1024, 'a'));

  const std::string exact(1024, 's');
  EXPECT_EQ(edit("%s", exact.c_str()), exact);
  const std::string one_over(1025, 's');
  EXPECT_EQ(edit("%s", one_over.c_str()), "");
  EXPECT_EQ(edit("a%s", exact.c_str()), "a");
}

TEST(ErrEdit, LongConversionNearTheLimitStaysInTheBuffer) {
  const std::string format = std::string(1023, 'a') + "%f%f";
  const std::string text = edit(format.c_str(), 1e308, 1e308);
  EXPECT_EQ(text.substr(0, 1024), std::string(1023, 'a') + "1");
  EXPECT_EQ(text.size(), 1123U);  // cut at the end of the 1124-byte buffer
}

class Destinations : public ::testing::Test {
 protected:
  void SetUp() override {
    common::errfp = nullptr;
    common::errmsg_output_flg = 0;
  }
  void TearDown() override { common::errfp = nullptr; }
};

TEST_F(Destinations, ErrmsgWritesToStandardErrorAndSetsTheFlag) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  common::errmsg("no free disk space\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "no free disk space\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(common::errmsg_output_flg, 1);
}

TEST_F(Destinations, FormatWithoutPercentIsWrittenUnchanged) {
  testing::internal::CaptureStderr();
  common::errmsg("a\\b\\n\n");
  common::errmsg("%s\n", "a\\b");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "a\\b\\n\na\\b\n");
}

TEST_F(Destinations, MessageEndsAtANulFromPercentC) {
  testing::internal::CaptureStderr();
  common::errmsg("ab%ccd\n", 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ab");
}

TEST_F(Destinations, AllOnesSendsBothToStandardOutput) {
  common::errfp = kToStdout;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  common::errmsg("one %d\n", 1);
  common::errmsg1("two %d\n", 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "one 1\ntwo 2\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Destinations, Errmsg1LeavesTheFlagAndHonoursAStream) {
  testing::internal::CaptureStderr();
  common::errmsg1("to stderr %s\n", "x");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr x\n");
  EXPECT_EQ(common::errmsg_output_flg, 0);

  std::FILE *stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  common::errfp = stream;
  testing::internal::CaptureStderr();
  common::errmsg1("to the stream %d\n", 3);
  common::errmsg("errmsg ignores the stream\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "errmsg ignores the stream\n");
  std::rewind(stream);
  char line[64] = {};
  ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, "to the stream 3\n");
  std::fclose(stream);
}

}  // namespace
