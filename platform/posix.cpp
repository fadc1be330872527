// POSIX implementation of the platform services.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform.h"

namespace platform {

namespace {

std::string directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Arguments arguments(int argc, char **argv) {
  return {std::vector<std::string>(argv, argv + argc), 0};
}

void put_text(std::FILE *stream, const char *text) {
  std::fputs(text, stream);
}

double free_space(const char *path) {
  struct statvfs info {};
  // A name that does not exist yet is asked about through its directory.
  if (statvfs(path, &info) != 0 &&
      (errno != ENOENT || statvfs(directory_of(path).c_str(), &info) != 0)) {
    return -1.0;
  }
  return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
}

namespace {

// A handle points to this record, never to the block itself, so that code
// which takes a handle for an address fails here as it would on Windows.
struct LocalBlock {
  void *address;
};

}  // namespace

void *local_alloc(int size) {
  if (size < 0) {
    return nullptr;
  }
  // calloc may answer 0 bytes with null, which would read as a failure.
  void *address = std::calloc(1, size == 0 ? 1 : static_cast<std::size_t>(size));
  // cppcheck takes the nothrow new for a store that is never read.
  // cppcheck-suppress unreadVariable
  auto *block = address == nullptr ? nullptr : new (std::nothrow) LocalBlock{address};
  if (block == nullptr) {
    std::free(address);
  }
  return block;
}

void *local_lock(void *handle) {
  return handle == nullptr ? nullptr : static_cast<LocalBlock *>(handle)->address;
}

// Blocks never move here, so there is no lock to release.
void local_unlock(void * /*handle*/) {}

void local_free(void *handle) {
  auto *block = static_cast<LocalBlock *>(handle);
  if (block != nullptr) {
    std::free(block->address);
    delete block;
  }
}

namespace {

FileStatus status_from(const struct stat &info) {
  FileStatus status;
  status.exists = true;
  status.regular = S_ISREG(info.st_mode);
  status.size = status.regular ? static_cast<std::int64_t>(info.st_size) : 0;
  status.volume = static_cast<std::uint64_t>(info.st_dev);
  status.index = static_cast<std::uint64_t>(info.st_ino);
  return status;
}

// The name that a chain of symbolic links ends in, also where that name
// does not exist yet; the path itself when it is no link; empty for a chain
// longer than the system itself follows (a loop).
std::string final_name(const char *path) {
  std::string name = path;
  for (int links = 0; links <= 40; ++links) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
      return name;
    }
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
      name = target;
    } else {
      name = directory_of(name).append("/").append(target);
    }
  }
  return {};
}

// The permission bits that a new file gets from the process's umask.
mode_t new_file_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

FileStatus status_of(const char *path) {
  struct stat info {};
  return stat(path, &info) == 0 ? status_from(info) : FileStatus{};
}

FileStatus status_of(std::FILE *fp) {
  struct stat info {};
  return fstat(fileno(fp), &info) == 0 ? status_from(info) : FileStatus{};
}

std::FILE *open_file(const char *path, const char *mode) {
  return std::fopen(path, mode);
}

bool remove_file(const char *path) {
  return unlink(path) == 0;
}

std::int64_t read(std::FILE *fp, char *buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fileno(fp), buffer, size);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset) {
  static_assert(sizeof(off_t) == 8, "file offsets are 64-bit");
  for (;;) {
    const ssize_t got = pread(fileno(fp), buffer, size, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool write_all(std::FILE *fp, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fileno(fp), data, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

std::FILE *open_spool() {
  const char *directory = std::getenv("TMPDIR");
  const std::string where = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  int fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // File systems without unnamed files: a named one, unlinked at once.
    std::string name = where + "/.nlflip-spool-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      return nullptr;
    }
    unlink(name.c_str());
  }
  std::FILE *fp = fdopen(fd, "w+b");
  if (fp == nullptr) {
    close(fd);
  }
  return fp;
}

namespace {

// Gives the temporary file the owner, group and permission bits of the file
// it is to replace; false where this user may not give a file away.  The
// owner goes first, since changing it clears the set-id bits.
bool take_over_attributes(int fd, const std::string &original) {
  struct stat info {};
  return stat(original.c_str(), &info) == 0 && fchown(fd, info.st_uid, info.st_gid) == 0 &&
         fchmod(fd, info.st_mode & 07777) == 0;
}

// Renames without replacing a file that has appeared at the new name.
bool rename_to_new_name(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  // File systems without that rename: a second link, which never replaces.
  if (link(from, to) != 0) {
    return false;
  }
  unlink(from);
  return true;
}

}  // namespace

std::FILE *create_temp_beside(const char *path, std::string &temp_path, Replacing what) {
  const std::string target = final_name(path);
  // A file this user may not write is not replaced behind its back: writing
  // it in place fails as it should.
  if (target.empty() || (what == Replacing::existing_file && access(target.c_str(), W_OK) != 0)) {
    return nullptr;
  }
  std::string name = directory_of(target) + "/.nlflip-XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  const bool prepared = what == Replacing::new_file ? fchmod(fd, new_file_mode()) == 0
                                                    : take_over_attributes(fd, target);
  std::FILE *fp = prepared ? fdopen(fd, "wb") : nullptr;
  if (fp == nullptr) {
    close(fd);
    unlink(name.c_str());
    return nullptr;
  }
  temp_path = name;
  return fp;
}

bool replace_with(const char *temp_path, const char *path, Replacing what) {
  const std::string target = final_name(path);
  if (what == Replacing::new_file) {
    return !target.empty() && rename_to_new_name(temp_path, target.c_str());
  }
  return std::rename(temp_path, target.c_str()) == 0;
}

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<const char *> file_to_remove{nullptr};

extern "C" void on_interruption(int signal_number) {
  if (const char *path = file_to_remove.load()) {
    unlink(path);
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

}  // namespace

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
  for (const int signal_number : kInterruptions) {
    struct sigaction action {};
    // An interruption that the caller ignores (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      action.sa_handler = on_interruption;
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0;
      sigaction(signal_number, &action, nullptr);
    }
  }
}

void remove_on_interrupt(const char *path) {
  file_to_remove.store(path);
}

void hold_interrupts() {
  const sigset_t set = interruption_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  const sigset_t set = interruption_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Any name is asked about, through its directory where it does not exist.
bool has_free_space_figure(std::FILE *fp, const char * /*path*/) {
  struct stat info {};
  struct statvfs space {};
  return fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) &&
         fstatvfs(fileno(fp), &space) == 0 && space.f_blocks > 0;
}

Reserved reserve(std::FILE *fp, std::uint64_t size) {
  if (size == 0) {
    return Reserved::done;
  }
  // fallocate, unlike posix_fallocate, never falls back to writing zeros
  // block by block, which would promise nothing.
  if (fallocate(fileno(fp), 0, 0, static_cast<off_t>(size)) == 0) {
    return Reserved::done;
  }
  switch (errno) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Reserved::no_space;
    case EOPNOTSUPP:
      return Reserved::unsupported;
    default:
      return Reserved::failed;
  }
}

bool truncate(std::FILE *fp, std::uint64_t size) {
  return ftruncate(fileno(fp), static_cast<off_t>(size)) == 0;
}

struct Monitor::State {
  std::mutex mutex;
  std::condition_variable condition;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

void Monitor::lock() {
  state_->mutex.lock();
}

void Monitor::unlock() {
  state_->mutex.unlock();
}

void Monitor::wait() {
  std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
  state_->condition.wait(held);
  held.release();
}

void Monitor::notify_all() {
  state_->condition.notify_all();
}

}  // namespace platform
