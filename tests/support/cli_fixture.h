// Shared by the tests of the nlflip program: a fresh working directory for
// each test and the program run in it.
#ifndef TESTS_SUPPORT_CLI_FIXTURE_H
#define TESTS_SUPPORT_CLI_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runner.h"
#include "temp_dir.h"

namespace clitest {

// How the program's standard streams end a line: in the C runtime's text
// mode, with CR LF on Windows.  Defined with the system's own cases.
extern const char *const kStreamLineEnd;
// How a directory given as input fails: it is read on POSIX, while Windows
// does not open it at all.
extern const char *const kDirectoryInputFailure;

// text as the standard streams write it.
inline std::string stream_text(const std::string &text) {
  std::string written;
  for (const char c : text) {
    if (c == '\n') {
      written += kStreamLineEnd;
    } else {
      written += c;
    }
  }
  return written;
}

// Names the cases of a parameterised test by their id field.
struct ById {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case> &info) const {
    return info.param.id;
  }
};

class Cli : public ::testing::Test {
 protected:
  testsupport::RunResult nlflip(const std::vector<std::string> &args, const std::string &input = "",
                                testsupport::Stdin mode = testsupport::Stdin::pipe) {
    return testsupport::run(NLFLIP_EXE, args, dir_.path(), input, mode);
  }
  std::string path(const std::string &name) const { return dir_.file(name); }
  bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }
  std::ptrdiff_t entries() const {
    return std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  }

  testsupport::TempDir dir_;
};

}  // namespace clitest

#endif  // TESTS_SUPPORT_CLI_FIXTURE_H
