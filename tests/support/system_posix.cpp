#include "system_posix.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tmpfs.h"

namespace testsupport {

bool is_root() {
  return geteuid() == 0;
}

std::string find_program(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

namespace {

bool write_text(const char *file, const std::string &text) {
  const int fd = open(file, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

// The maps that make the user root in a user namespace of its own.
struct Maps {
  std::string users = "0 " + std::to_string(geteuid()) + " 1";
  std::string groups = "0 " + std::to_string(getegid()) + " 1";
};

// In the helper: a mount namespace of its own (and for a user other than
// root a user namespace, in which that user is root), whose mounts do not
// reach the test's.  0, or the errno of the step that failed.
int enter_namespaces(const Maps &maps) {
  if (geteuid() == 0) {
    if (unshare(CLONE_NEWNS) != 0) {
      return errno;
    }
  } else if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
             !write_text("/proc/self/setgroups", "deny") ||
             !write_text("/proc/self/uid_map", maps.users) ||
             !write_text("/proc/self/gid_map", maps.groups)) {
    return errno;
  }
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
}

}  // namespace

SmallTmpfs::SmallTmpfs(std::size_t bytes, const std::string &more_options) {
  const std::string options =
      "size=" + std::to_string(bytes) + (more_options.empty() ? "" : "," + more_options);
  int status[2];
  int hold[2];
  if (pipe2(status, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) {
    failure_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    return;
  }
  const Maps maps;
  helper_ = fork();
  if (helper_ == 0) {
    // Only system calls from here on: the test may have threads.  The ends
    // that the test keeps are closed, so that its closing one is seen.
    close(status[0]);
    close(hold[1]);
    int error = enter_namespaces(maps);
    if (error == 0 &&
        mount("tmpfs", mount_point_.path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
      error = errno;
    }
    if (write(status[1], &error, sizeof error) < 0) {
      _exit(1);
    }
    char ignored = 0;
    if (read(hold[0], &ignored, 1) < 0) {
      _exit(1);
    }
    _exit(0);
  }
  close(status[1]);
  close(hold[0]);
  hold_ = hold[1];
  int error = ECHILD;
  if (helper_ < 0 || read(status[0], &error, sizeof error) != sizeof error) {
    error = helper_ < 0 ? errno : ECHILD;
  }
  close(status[0]);
  if (error == 0) {
    path_ = "/proc/" + std::to_string(helper_) + "/root" + mount_point_.path();
  } else {
    failure_ = std::string("cannot mount a small tmpfs in a ") +
               (is_root() ? "mount" : "user and mount") +
               " namespace of its own: " + std::strerror(error);
  }
}

SmallTmpfs::~SmallTmpfs() {
  if (hold_ >= 0) {
    close(hold_);
  }
  if (helper_ > 0) {
    waitpid(helper_, nullptr, 0);
  }
}

}  // namespace testsupport
