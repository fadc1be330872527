// Runs a program to its end with a given standard input and collects its
// exit code and both output streams.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

enum class Stdin { pipe, closed };

// Runs program with args in directory cwd; with Stdin::pipe, input is written
// into a pipe that is closed afterwards.
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &cwd, const std::string &input = "", Stdin mode = Stdin::pipe);

// The same with arguments in UTF-16, passed on a wide command line, so that
// they may hold what the ANSI code page cannot (Windows only).
RunResult run_wide(const std::string &program, const std::vector<std::wstring> &args,
                   const std::string &cwd, const std::string &input = "", Stdin mode = Stdin::pipe);

// run, with at_prompt called once the program has written to its
// standard error and before its input is written.
RunResult run_at_prompt(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd, const std::string &input, Stdin mode,
                        const std::function<void()> &at_prompt);

// Bytes of the ANSI code page as UTF-16, as the system reads them (Windows
// only).
std::wstring wide(const std::string &text);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PROCESS_H
