// POSIX implementation of the platform services.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform.h"

namespace common::platform {

namespace {

std::string directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The name of the file that path finally denotes, symbolic links resolved;
// the path itself when it cannot be resolved.
std::string resolved(const char *path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path, nullptr), &std::free);
  return real ? std::string(real.get()) : std::string(path);
}

}  // namespace

double free_space(const char *path) {
  struct statvfs info {};
  // A name that does not exist yet is asked about through its directory.
  if (statvfs(path, &info) != 0 &&
      (errno != ENOENT || statvfs(directory_of(path).c_str(), &info) != 0)) {
    return -1.0;
  }
  return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
}

// Without a local-memory heap of its own, a handle is the block's address.
void *local_alloc(int size) {
  if (size < 0) {
    return nullptr;
  }
  return std::calloc(1, size == 0 ? 1 : static_cast<std::size_t>(size));
}

void *local_lock(void *handle) { return handle; }

void local_unlock(void *) {}

void local_free(void *handle) { std::free(handle); }

std::int64_t regular_file_size(std::FILE *fp) {
  struct stat info {};
  if (fstat(fileno(fp), &info) != 0 || !S_ISREG(info.st_mode)) {
    return -1;
  }
  return static_cast<std::int64_t>(info.st_size);
}

bool same_file(const char *first, const char *second) {
  struct stat a {};
  struct stat b {};
  return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::FILE *create_temp_beside(const char *path, std::string &temp_path) {
  const std::string target = resolved(path);
  std::string name = directory_of(target) + "/.nlflip-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    return nullptr;
  }
  std::FILE *fp = fdopen(fd, "wb");
  if (fp == nullptr) {
    close(fd);
    unlink(name.c_str());
    return nullptr;
  }
  temp_path = name;
  return fp;
}

bool replace_with(const char *temp_path, const char *path) {
  const std::string target = resolved(path);
  struct stat info {};
  if (stat(target.c_str(), &info) != 0 || chmod(temp_path, info.st_mode & 07777) != 0) {
    return false;
  }
  return std::rename(temp_path, target.c_str()) == 0;
}

}  // namespace common::platform
