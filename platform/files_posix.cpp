// POSIX: what files are, reading and writing them, the spool, flushing and
// free space.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

namespace {

// File systems whose files the kernel makes up when they are read and takes
// as commands when they are written: they are no files to replace, and
// their sizes (0, or a page) say nothing.
bool is_pseudo_file_system(const struct statfs &info) {
  switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
      return true;
    default:
      return false;
  }
}

std::int64_t nanoseconds(const struct timespec &time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 +
         static_cast<std::int64_t>(time.tv_nsec);
}

// A setting of the kernel's in /proc/sys/fs; where it cannot be read, the
// protective value 1.
int file_system_setting(const char *name) {
  std::FILE *setting = std::fopen((std::string("/proc/sys/fs/") + name).c_str(), "re");
  int value = 1;
  if (setting != nullptr) {
    if (std::fscanf(setting, "%d", &value) != 1) {
      value = 1;
    }
    std::fclose(setting);
  }
  return value;
}

// A directory that others may write (1: all others, 2: also its group)
// and where the sticky bit keeps them from each other's files: the kernel
// guards its links and files (fs.protected_symlinks, fs.protected_regular).
bool is_shared_sticky(const struct stat &directory, int level) {
  const mode_t writable_by = level >= 2 ? (S_IWOTH | S_IWGRP) : S_IWOTH;
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & writable_by) != 0;
}

// Whether the kernel guards the file in its directory from this user, at
// the level of the guarding setting: a file in a shared sticky directory
// that neither this user nor the directory's owner owns.
bool guarded_from_user(const struct stat &file, const struct stat &directory, int level) {
  return is_shared_sticky(directory, level) && file.st_uid != geteuid() &&
         file.st_uid != directory.st_uid;
}

// Whether the kernel, with fs.protected_symlinks on, would follow the link
// name for this user: only one that the user or the directory's owner owns,
// in a shared sticky directory.
bool may_follow(const std::string &name) {
  struct stat link {};
  struct stat directory {};
  return file_system_setting("protected_symlinks") == 0 ||
         (lstat(name.c_str(), &link) == 0 &&
          stat(posix::directory_of(name).c_str(), &directory) == 0 &&
          !guarded_from_user(link, directory, 1));
}

}  // namespace

namespace posix {

std::string directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

FileStatus status_from(const struct stat &info, bool pseudo) {
  FileStatus status;
  status.exists = true;
  status.regular = S_ISREG(info.st_mode) && !pseudo;
  // Files of other such file systems (in user space, say) show no blocks.
  status.sized = status.regular && info.st_size > 0 && info.st_blocks > 0;
  status.size = status.regular ? static_cast<std::int64_t>(info.st_size) : 0;
  status.modified = nanoseconds(info.st_mtim);
  status.changed = nanoseconds(info.st_ctim);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.volume = static_cast<std::uint64_t>(info.st_dev);
  status.index = static_cast<std::uint64_t>(info.st_ino);
  return status;
}

std::string final_name(const char *path) {
  std::string name = path;
  for (int links = 0; links <= 40; ++links) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
      return name;
    }
    // A link that another user planted where others may write is not
    // followed where the kernel would not follow it either.
    if (!may_follow(name)) {
      return {};
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

ssize_t read_some(int fd, char *buffer, std::size_t size, off_t offset) {
  for (;;) {
    const ssize_t got = offset < 0 ? ::read(fd, buffer, size) : pread(fd, buffer, size, offset);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool write_fully(int fd, const char *data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t put = offset < 0 ? write(fd, data, size) : pwrite(fd, data, size, offset);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
    offset += offset < 0 ? 0 : put;
  }
  return true;
}

std::FILE *stream_on(int fd, const char *mode) {
  std::FILE *fp = fd < 0 ? nullptr : fdopen(fd, mode);
  if (fp == nullptr && fd >= 0) {
    close(fd);
  }
  return fp;
}

}  // namespace posix

using posix::directory_of;
using posix::status_from;
using posix::stream_on;

double free_space(const char *path) {
  struct statvfs info {};
  // A name that does not exist yet is asked about through the directory
  // where it would be made, after links.
  if (statvfs(path, &info) != 0) {
    const std::string final = errno == ENOENT ? posix::final_name(path) : std::string();
    if (final.empty() || statvfs(directory_of(final).c_str(), &info) != 0) {
      return -1.0;
    }
  }
  return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
}

FileStatus status_of(const char *path) {
  struct stat info {};
  struct statfs file_system {};
  if (stat(path, &info) != 0) {
    FileStatus missing;
    missing.unreachable = errno != ENOENT;
    return missing;
  }
  return status_from(info, statfs(path, &file_system) == 0 && is_pseudo_file_system(file_system));
}

bool creation_refused(const char *path) {
  const std::string final = posix::final_name(path);
  struct stat file {};
  struct stat directory {};
  if (final.empty() || stat(final.c_str(), &file) != 0 ||
      stat(directory_of(final).c_str(), &directory) != 0) {
    return false;
  }
  const int level =
      file_system_setting(S_ISFIFO(file.st_mode) ? "protected_fifos" : "protected_regular");
  return (S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) && level > 0 &&
         guarded_from_user(file, directory, level);
}

FileStatus status_of(std::FILE *fp) {
  struct stat info {};
  struct statfs file_system {};
  return fstat(fileno(fp), &info) == 0 ? status_from(info, fstatfs(fileno(fp), &file_system) == 0 &&
                                                               is_pseudo_file_system(file_system))
                                       : FileStatus{};
}

std::FILE *open_file(const char *path, const char *mode) {
  return std::fopen(path, mode);
}

std::int64_t read(std::FILE *fp, char *buffer, std::size_t size) {
  return posix::read_some(fileno(fp), buffer, size);
}

std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset) {
  static_assert(sizeof(off_t) == 8, "file offsets are 64-bit");
  return posix::read_some(fileno(fp), buffer, size, static_cast<off_t>(offset));
}

bool write_all(std::FILE *fp, const char *data, std::size_t size) {
  return posix::write_fully(fileno(fp), data, size);
}

bool write_at(std::FILE *fp, const char *data, std::size_t size, std::uint64_t offset) {
  return posix::write_fully(fileno(fp), data, size, static_cast<off_t>(offset));
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
  return stream_on(fd, "w+b");
}

// Any name is asked about, through its directory where it does not exist.
bool has_free_space_figure(std::FILE *fp, const char * /*path*/) {
  struct stat info {};
  struct statvfs space {};
  return fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) &&
         fstatvfs(fileno(fp), &space) == 0 && space.f_blocks > 0;
}

bool truncate(std::FILE *fp, std::uint64_t size) {
  return ftruncate(fileno(fp), static_cast<off_t>(size)) == 0;
}

bool flush(std::FILE *fp) {
  return fdatasync(fileno(fp)) == 0;
}

}  // namespace platform
