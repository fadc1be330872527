// POSIX: the process itself: its arguments and console text, its standard
// streams, and the interruptions that remove the temporary file.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

Arguments arguments(int argc, char **argv) {
  return {std::vector<std::string>(argv, argv + argc), 0};
}

void put_text(std::FILE *stream, const char *text) {
  std::fputs(text, stream);
}

namespace {

// The signals that end the process by default and can be caught: they
// remove the temporary file first.  Those that a user or a limit sends can
// also be held off.
constexpr int kInterruptions[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR};
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// The file that an interruption removes first.
std::atomic<const posix::NameInDirectory *> to_remove{nullptr};

extern "C" void on_interruption(int signal_number) {
  if (const posix::NameInDirectory *file = to_remove.load()) {
    unlinkat(file->directory, file->name, 0);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kInterruptions) {
    sigaddset(&set, signal_number);
  }
  return set;
}

// Catches a signal, unless the caller ignores it (nohup): then the ignoring
// is put back, which also drops one that came meanwhile, so the signals
// are caught with the interruptions held.  Faults run on a stack of their
// own, so that an overflowing stack is caught too.
void catch_signal(int signal_number) {
  struct sigaction action {};
  action.sa_handler = on_interruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK;
  struct sigaction before {};
  if (sigaction(signal_number, &action, &before) == 0 && before.sa_handler == SIG_IGN) {
    sigaction(signal_number, &before, nullptr);
  }
}

void set_up_fault_stack() {
  constexpr std::size_t kSize = std::size_t{64} << 10;
  static std::unique_ptr<char[]> stack(new (std::nothrow) char[kSize]);
  if (stack != nullptr) {
    stack_t alternate{};
    alternate.ss_sp = stack.get();
    alternate.ss_size = kSize;
    sigaltstack(&alternate, nullptr);
  }
}

}  // namespace

namespace posix {

void remove_on_interruption(const NameInDirectory *file) {
  to_remove.store(file);
}

void forget_on_interruption(const NameInDirectory *file) {
  to_remove.compare_exchange_strong(file, nullptr);
}

}  // namespace posix

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        dup2(null_fd, fd);
        close(null_fd);
      }
    }
  }
  // A write past a file-size limit or into a pipe nobody reads fails with
  // a message instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  // Another program that opens a file held off by a lease is announced by
  // SIGIO; it waits, and the run goes on.
  std::signal(SIGIO, SIG_IGN);
  // The second worker allocates nothing of its own: it needs no heap of its
  // own, whose reservation and release would cost every large run.
  mallopt(M_ARENA_MAX, 1);
  set_up_fault_stack();
  const InterruptionsHeld held;
  for (const int signal_number : kInterruptions) {
    catch_signal(signal_number);
  }
  for (const int signal_number : kFaults) {
    catch_signal(signal_number);
  }
}

InterruptionsHeld::InterruptionsHeld() {
  static_assert(sizeof(sigset_t) <= sizeof before_, "room for the mask");
  const sigset_t set = interruption_set();
  pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t *>(before_));
}

// A signal that waits while the process ends is never delivered: held to
// the end, the mask stays.
InterruptionsHeld::~InterruptionsHeld() {
  if (!to_the_end_) {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t *>(before_), nullptr);
  }
}
}  // namespace platform
