#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

namespace {

void write_all(int fd, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      break;  // the child stopped reading
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &cwd, const std::string &input, Stdin mode) {
  return run_at_prompt(program, args, cwd, input, mode, nullptr);
}

RunResult run_at_prompt(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd, const std::string &input, Stdin mode,
                        const std::function<void()> &at_prompt) {
  const TempDir streams;
  const std::string out_path = streams.path() + "/stdout";
  const std::string err_path = streams.path() + "/stderr";
  int input_pipe[2] = {-1, -1};
  if (pipe2(input_pipe, O_CLOEXEC) != 0) {
    return {};
  }
  // A child that ends without reading its input must not take this process
  // down with SIGPIPE; the writer then just stops.  The child keeps the
  // default action.
  std::signal(SIGPIPE, SIG_IGN);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &default_signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == Stdin::pipe) {
    posix_spawn_file_actions_adddup2(&actions, input_pipe[0], 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &arg : args) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(input_pipe[0]);
  RunResult result;
  if (spawned == 0) {
    // A separate writer keeps a child that reads slowly from blocking us.
    std::thread writer([&] {
      if (at_prompt) {
        // The program has asked once something is on its standard error.
        while (read_file(err_path).empty()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        at_prompt();
      }
      write_all(input_pipe[1], input);
      close(input_pipe[1]);
    });
    int status = 0;
    waitpid(pid, &status, 0);
    writer.join();
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    close(input_pipe[1]);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace testsupport
