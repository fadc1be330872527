// POSIX implementation of the platform services.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
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

std::int64_t regular_file_size(std::FILE *fp) {
  struct stat info {};
  if (fstat(fileno(fp), &info) != 0 || !S_ISREG(info.st_mode)) {
    return -1;
  }
  return static_cast<std::int64_t>(info.st_size);
}

const char *map_file(std::FILE *fp, std::size_t &size) {
  const std::int64_t file_size = regular_file_size(fp);
  if (file_size <= 0 || static_cast<std::uint64_t>(file_size) > SIZE_MAX) {
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(file_size);
  // Populating the mapping at once costs far less than a fault per page.
  void *data = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fileno(fp), 0);
  if (data == MAP_FAILED) {
    return nullptr;
  }
  size = length;
  return static_cast<const char *>(data);
}

void unmap_file(const char *data, std::size_t size) {
  munmap(const_cast<char *>(data), size);
}

bool same_file(const char *first, const char *second) {
  struct stat a {};
  struct stat b {};
  return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::FILE *create_temp_beside(const char *path, std::string &temp_path) {
  const std::string target = resolved(path);
  // A file this user may not write is not replaced behind its back: writing
  // it in place fails as it should.
  if (access(target.c_str(), W_OK) != 0) {
    return nullptr;
  }
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

}  // namespace platform
