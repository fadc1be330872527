#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "runner.h"
#include "temp_dir.h"

namespace testsupport {

namespace {

// Writes all of data unless the reader has gone; false then.
bool write_all(int fd, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void close_once(int &fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

// One output of the program, a pipe, read by a thread of its own as it
// comes.
class Collected {
 public:
  // Takes the reading end.
  void start(int fd) {
    fd_ = fd;
    reader_ = std::thread([this] { collect(); });
  }
  ~Collected() { join(); }

  // Blocks until the text so far satisfies done, or the output has ended.
  template <typename Done>
  std::string wait(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    written_.wait(lock, [&] { return done(text_) || ended_; });
    return text_;
  }

  // Everything, once the writers have closed it.
  std::string all() {
    join();
    return text_;
  }

 private:
  void collect() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        ended_ = true;
      } else {
        text_.append(buffer, static_cast<std::size_t>(n));
      }
      written_.notify_all();
      if (n <= 0) {
        return;
      }
    }
  }

  void join() {
    if (reader_.joinable()) {
      reader_.join();
    }
    close_once(fd_);
  }

  int fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable written_;
  std::string text_;
  bool ended_ = false;
};

}  // namespace

struct Running::State {
  TempDir streams;  // the standard output, a file
  pid_t pid = -1;
  int input = -1;  // the writing ends of the program's inputs
  int feed = -1;
  Collected err;     // its standard error
  Collected report;  // its descriptor 4
  int status = 0;

  bool wait() {
    if (pid < 0) {
      return false;
    }
    waitpid(pid, &status, 0);
    pid = -1;
    return true;
  }
};

Running::Running(const std::string &program, const std::vector<std::string> &args,
                 const std::string &cwd, Stdin mode)
    : state_(std::make_unique<State>()) {
  State &s = *state_;
  int input[2];
  int fed[2];
  int error_output[2];
  int reported[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(fed, O_CLOEXEC) != 0 ||
      pipe2(error_output, O_CLOEXEC) != 0 || pipe2(reported, O_CLOEXEC) != 0) {
    return;
  }
  // A child that ends without reading its input must not take this process
  // down with SIGPIPE; the writer then just stops.  The child starts with
  // every signal's default action and none blocked, whatever this process
  // was given.
  std::signal(SIGPIPE, SIG_IGN);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == Stdin::pipe) {
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, s.streams.file("stdout").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, error_output[1], 2);
  posix_spawn_file_actions_adddup2(&actions, fed[0], 3);
  posix_spawn_file_actions_adddup2(&actions, reported[1], 4);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &arg : args) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const bool spawned =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (const int fd : {input[0], fed[0], error_output[1], reported[1]}) {
    close(fd);
  }
  s.input = input[1];
  s.feed = fed[1];
  s.err.start(error_output[0]);
  s.report.start(reported[0]);
  if (spawned) {
    s.pid = pid;
  } else {
    close_once(s.input);
    close_once(s.feed);
  }
}

Running::~Running() {
  State &s = *state_;
  if (s.pid >= 0) {
    kill(s.pid, SIGKILL);
  }
  close_once(s.input);
  close_once(s.feed);
  s.wait();
}

bool Running::started() const {
  return state_->pid >= 0;
}

bool Running::feed(const std::string &bytes) {
  return state_->feed >= 0 && write_all(state_->feed, bytes);
}

void Running::end_feed() {
  close_once(state_->feed);
}

void Running::answer(const std::string &input) {
  write_all(state_->input, input);
  close_once(state_->input);
}

void Running::wait_for_error_output() {
  state_->err.wait([](const std::string &err) { return !err.empty(); });
}

bool Running::wait_for_report(const std::string &text) {
  const auto holds = [&text](const std::string &report) {
    return report.find(text) != std::string::npos;
  };
  return holds(state_->report.wait(holds));
}

std::string Running::report() {
  return state_->report.wait([](const std::string &) { return true; });
}

std::string Running::whole_report() {
  return state_->report.all();
}

void Running::signal(int signal_number) {
  if (state_->pid >= 0) {
    kill(state_->pid, signal_number);
  }
}

RunResult Running::finish(const std::string &input) {
  State &s = *state_;
  // A separate writer keeps a child that reads slowly, or not at all, from
  // blocking the wait.
  std::thread writer([&s, &input] {
    if (s.input >= 0) {
      write_all(s.input, input);
    }
    close_once(s.input);
  });
  close_once(s.feed);
  const bool ran = s.wait();
  writer.join();
  RunResult result;
  if (ran) {
    result.exit_code = WIFEXITED(s.status) ? WEXITSTATUS(s.status) : 128 + WTERMSIG(s.status);
  }
  result.out = read_file(s.streams.file("stdout"));
  result.err = s.err.all();
  return result;
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &cwd, const std::string &input, Stdin mode) {
  return Running(program, args, cwd, mode).finish(input);
}

RunResult run_at_prompt(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd, const std::string &input, Stdin mode,
                        const std::function<void()> &at_prompt) {
  Running running(program, args, cwd, mode);
  running.wait_for_error_output();
  at_prompt();
  return running.finish(input);
}

}  // namespace testsupport
