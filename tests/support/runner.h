// Runs a program to its end with a given standard input and collects its
// exit code and both output streams; on POSIX also one left running while the
// test acts on it.
#ifndef TESTS_SUPPORT_RUNNER_H
#define TESTS_SUPPORT_RUNNER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int exit_code = -1;  // 128 + N after signal N
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

// Bytes of the ANSI code page as UTF-16, as the system reads them (Windows
// only).
std::wstring wide(const std::string &text);

// A program started and left running (POSIX only).  Its standard input is a
// pipe, and so is its descriptor 3, an input that it reads as /dev/fd/3:
// once feed() has put more bytes into that pipe than the pipe holds, the
// program has surely started to read, and so to convert.  Its standard error
// is a pipe too, so that the test can wait for the prompt, and so is its
// descriptor 4, an output for a tracer's report (strace -o /dev/fd/4).
class Running {
 public:
  Running(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
          Stdin mode = Stdin::pipe);
  // Kills the program if it still runs, and waits for it.
  ~Running();
  Running(const Running &) = delete;
  Running &operator=(const Running &) = delete;

  bool started() const;
  // Writes to its descriptor 3; false once the program no longer reads it.
  bool feed(const std::string &bytes);
  // Closes its descriptor 3: the end of that input.
  void end_feed();
  // Writes to its standard input and closes it.
  void answer(const std::string &input);
  // Blocks until the program has written to its standard error (or ended).
  void wait_for_error_output();
  // Blocks until what the program has written to its descriptor 4 holds
  // text; false when it ended without.
  bool wait_for_report(const std::string &text);
  // What it has written to its descriptor 4 so far.
  std::string report();
  // All of it, once every process that holds the descriptor has ended (after
  // finish(), when the program's children end with it).
  std::string whole_report();
  void signal(int signal_number);
  // Writes input to its standard input (unless answered already), closes
  // its inputs and waits for its end.
  RunResult finish(const std::string &input = "");

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// run, with at_prompt called once the program has written to its standard
// error and before its input is written.
RunResult run_at_prompt(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd, const std::string &input, Stdin mode,
                        const std::function<void()> &at_prompt);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_RUNNER_H
