// POSIX: replacing a file: the temporary file beside it with the original's
// metadata, the rename, and for a file rewritten in place the room reserved
// and the privileges given back.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

using posix::directory_of;
using posix::final_name;
using posix::InterruptionsHeld;
using posix::status_from;
using posix::stream_on;

namespace {

// Creates a file of a fresh name in directory, open for reading and
// writing; -1 when none can be made there.
int create_unique(int directory, std::string &name, mode_t mode) {
  static std::mt19937 random{std::random_device{}()};
  constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = ".nlflip-XXXXXX";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
      name[i] = kLetters[letter(random)];
    }
    const int fd =
        openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// An attribute's value, or the list of names, as get gives it; false, with
// value empty, where it cannot be read.
template <typename Get>
bool attribute_value(Get get, std::string &value) {
  value.clear();
  for (;;) {
    const ssize_t needed = get(nullptr, 0);
    if (needed < 0) {
      return false;
    }
    value.resize(static_cast<std::size_t>(needed));
    const ssize_t got = get(value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {  // one that grew meanwhile is asked for again
      value.clear();
      return false;
    }
  }
}

// The names of a file's extended attributes, the access control list
// (system.posix_acl_access) among them, as list gives them; none where the
// file system has none.
template <typename List>
bool attribute_names(List list, std::vector<std::string> &names) {
  names.clear();
  std::string buffer;
  if (!attribute_value(list, buffer)) {
    return errno == ENOTSUP;
  }
  for (std::size_t at = 0; at < buffer.size(); at = buffer.find('\0', at) + 1) {
    names.emplace_back(buffer.c_str() + at);
  }
  return true;
}

// Makes the extended attributes of the file open as to exactly those of the
// file that the name from reaches: what it lacks is removed, what differs is
// set.
bool copy_attributes(const std::string &from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!attribute_names([&](char *b, std::size_t n) { return listxattr(from.c_str(), b, n); },
                       wanted) ||
      !attribute_names([&](char *b, std::size_t n) { return flistxattr(to, b, n); }, present)) {
    return false;
  }
  for (const std::string &name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  std::string value;
  std::string current;
  for (const std::string &name : wanted) {
    const char *key = name.c_str();
    if (!attribute_value([&](char *b, std::size_t n) { return getxattr(from.c_str(), key, b, n); },
                         value)) {
      return false;
    }
    const bool same =
        attribute_value([&](char *b, std::size_t n) { return fgetxattr(to, key, b, n); },
                        current) &&
        current == value;
    if (!same && fsetxattr(to, key, value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Renames within directory without replacing a file that has appeared at
// the new name.
bool rename_to_new_name(int directory, const char *from, const char *to) {
  if (renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  // File systems without that rename: a second link, which never replaces.
  if (linkat(directory, from, directory, to, 0) != 0) {
    return false;
  }
  unlinkat(directory, from, 0);
  return true;
}

}  // namespace

struct TempFile::Place {
  int directory = -1;               // held open
  bool directory_readable = false;  // else opened only to name files in it
  std::string directory_name;       // as found from the path
  std::string target;               // the name to take, in the directory
  FileStatus existing;              // the file to replace, where there is one
  std::string name;                 // of the temporary file, in the directory
  int file = -1;                    // the temporary file, open for reading and writing
  std::FILE *contents = nullptr;
  bool named = false;
  posix::Removal removal{};  // its name in the directory, for an interruption

  FileStatus directory_status() const {
    struct stat info {};
    return fstat(directory, &info) == 0 ? status_from(info) : FileStatus{};
  }

  ~Place() {
    if (contents != nullptr) {
      std::fclose(contents);
    }
    for (const int fd : {file, directory}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
};

namespace {

// The last component of a path.
std::string base_name(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a directory to work in by descriptor; one that may not be listed
// still serves for names in it, though it cannot be synced.
int open_directory(const std::string &name, bool &readable) {
  int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  readable = fd >= 0;
  if (fd < 0) {
    fd = open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  return fd;
}

// The name by which the file open as fd is reached whatever its path, for
// the calls that take only names.
std::string name_of_descriptor(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Whether name in directory is the file of that status and this user may
// write it.
bool is_writable_file(int directory, const std::string &name, const FileStatus &expected) {
  struct stat info {};
  return fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         status_from(info).same_file(expected) && faccessat(directory, name.c_str(), W_OK, 0) == 0;
}

}  // namespace

TempFile::TempFile(std::unique_ptr<Place> place) : place_(std::move(place)) {}

TempFile::~TempFile() {
  // Removed and forgotten together: an interruption between the two would
  // leave it behind.
  const InterruptionsHeld held;
  if (!place_->named) {
    unlinkat(place_->directory, place_->name.c_str(), 0);
  }
  posix::forget_removal(&place_->removal);
}

std::unique_ptr<TempFile> TempFile::beside(const char *path, Replacing what,
                                           const FileStatus &existing) {
  const std::string final = final_name(path);
  auto place = std::make_unique<Place>();
  place->target = base_name(final);
  if (place->target.empty()) {
    return nullptr;
  }
  place->directory_name = directory_of(final);
  place->directory = open_directory(place->directory_name, place->directory_readable);
  place->existing = existing;
  // A file this user may not write is not replaced behind its back, nor one
  // that the name reaches by another way than its directory (the deleted
  // file behind a /proc/self/fd link, say).
  if (place->directory < 0 || (what == Replacing::existing_file &&
                               !is_writable_file(place->directory, place->target, existing))) {
    return nullptr;
  }
  // 0666 leaves a new file's permissions to the umask or the directory's
  // default access control list, as for any new file.
  // Made and registered for removal together.
  const InterruptionsHeld held;
  place->file =
      create_unique(place->directory, place->name, what == Replacing::new_file ? 0666 : 0600);
  if (place->file < 0) {
    return nullptr;
  }
  place->removal = {place->directory, place->name.c_str()};
  posix::remove_on_interruption(&place->removal);
  return std::unique_ptr<TempFile>(new TempFile(std::move(place)));
}

std::FILE *TempFile::open_stream() const {
  return stream_on(dup(place_->file), "wb");
}

std::FILE *TempFile::contents() {
  if (place_->contents == nullptr) {
    place_->contents = stream_on(dup(place_->file), "rb");
  }
  return place_->contents;
}

bool TempFile::directory_in_place() const {
  return status_of(place_->directory_name.c_str()).same_file(place_->directory_status());
}

FileStatus TempFile::target_status() const {
  struct stat info {};
  return fstatat(place_->directory, place_->target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
             ? status_from(info)
             : FileStatus{};
}

bool TempFile::take_metadata() {
  const Place &place = *place_;
  // The file itself, through the directory that the temporary file is in.
  const int original =
      openat(place.directory, place.target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (original < 0) {
    return false;
  }
  struct stat info {};
  // Open to this user alone while the owner changes and the access control
  // list comes over: at no moment more access than the original gives.
  // The owner goes before the attributes, since a new owner clears file
  // capabilities, and the mode last, since it clears the set-id bits.
  const bool taken = fstat(original, &info) == 0 && status_from(info).same_file(place.existing) &&
                     fchmod(place.file, 0600) == 0 &&
                     fchown(place.file, info.st_uid, info.st_gid) == 0 &&
                     copy_attributes(name_of_descriptor(original), place.file) &&
                     fchmod(place.file, info.st_mode & 07777) == 0;
  close(original);
  return taken;
}

bool TempFile::flush() {
  return fsync(place_->file) == 0;
}

bool TempFile::take_name(Replacing what) {
  Place &place = *place_;
  const char *from = place.name.c_str();
  const char *to = place.target.c_str();
  if (what == Replacing::new_file) {
    place.named = rename_to_new_name(place.directory, from, to);
  } else {
    place.named = renameat(place.directory, from, place.directory, to) == 0;
    // The rename itself reaches the disk with the directory, or with the
    // whole file system where the directory cannot be opened to sync it.
    // The text has replaced the old one whether or not this succeeds.
    if (place.named && !place.directory_readable) {
      syncfs(place.file);
    } else if (place.named) {
      fsync(place.directory);
    }
  }
  if (place.named) {
    posix::forget_removal(&place.removal);
  }
  return place.named;
}

namespace {

// File systems that write every changed block anew, unless a file is marked
// otherwise: room reserved for a file does not cover overwriting it.
bool always_copies_on_write(int fd) {
  constexpr unsigned long kZfsMagic = 0x2FC12FC1;
  constexpr unsigned long kBcachefsMagic = 0xCA451A4E;
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) {
    return false;
  }
  const auto type = static_cast<unsigned long>(info.f_type);
  if (type != BTRFS_SUPER_MAGIC && type != kZfsMagic && type != kBcachefsMagic) {
    return false;
  }
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_NOCOW_FL) == 0;
}

std::uint64_t free_bytes(int fd) {
  struct statvfs space {};
  return fstatvfs(fd, &space) == 0 ? std::uint64_t{space.f_bavail} * space.f_frsize : 0;
}

// Gives back the room allocated past the file's end before a failure.
// Cutting the file to its own size does that but touches its modification
// time, which only its owner can set back; for others the room stays
// allocated to the file, unseen.
void give_back_room(int fd, const struct stat &before) {
  if (geteuid() != 0 && geteuid() != before.st_uid) {
    return;
  }
  const struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  if (ftruncate(fd, before.st_size) == 0) {
    futimens(fd, times);
  }
}

}  // namespace

Reserved reserve(std::FILE *fp, std::uint64_t size) {
  const int fd = fileno(fp);
  struct stat before {};
  if (fstat(fd, &before) != 0) {
    return Reserved::failed;
  }
  if (size == 0) {
    return Reserved::done;
  }
  // Where every block is written anew, all of the text needs free room;
  // elsewhere what the file does not hold yet.  Asking first spares a full
  // disk a half-done allocation.
  const auto allocated = static_cast<std::uint64_t>(before.st_blocks) * 512;
  const std::uint64_t needed =
      always_copies_on_write(fd) ? size : (size > allocated ? size - allocated : 0);
  if (needed > free_bytes(fd)) {
    return Reserved::no_space;
  }
  // fallocate, unlike posix_fallocate, never falls back to writing zeros
  // block by block, which would promise nothing; KEEP_SIZE leaves the size
  // and the bytes alone.  Blocks shared with other files (reflinks) are
  // unshared where the file system can, so that overwriting them takes no
  // new room.
  const off_t length = static_cast<off_t>(size);
  if (fallocate(fd, FALLOC_FL_UNSHARE_RANGE | FALLOC_FL_KEEP_SIZE, 0, length) == 0 ||
      ((errno == EOPNOTSUPP || errno == EINVAL) &&
       fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0)) {
    return Reserved::done;
  }
  const int error = errno;
  give_back_room(fd, before);
  switch (error) {
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

namespace {

constexpr const char *kCapabilities = "security.capability";

bool capabilities_of(int fd, std::string &capabilities) {
  return attribute_value([&](char *b, std::size_t n) { return fgetxattr(fd, kCapabilities, b, n); },
                         capabilities);
}

}  // namespace

Privileges Privileges::of(std::FILE *fp) {
  Privileges privileges;
  struct stat info {};
  if (fstat(fileno(fp), &info) == 0) {
    privileges.mode_ = info.st_mode & 07777;
  }
  capabilities_of(fileno(fp), privileges.capabilities_);
  return privileges;
}

bool Privileges::restore(std::FILE *fp) const {
  const int fd = fileno(fp);
  struct stat info {};
  std::string capabilities;
  const bool mode_kept = fstat(fd, &info) == 0 && (info.st_mode & 07777) == mode_;
  const bool capabilities_kept =
      capabilities_.empty() || (capabilities_of(fd, capabilities) && capabilities == capabilities_);
  return (mode_kept || fchmod(fd, static_cast<mode_t>(mode_)) == 0) &&
         (capabilities_kept ||
          fsetxattr(fd, kCapabilities, capabilities_.data(), capabilities_.size(), 0) == 0);
}

}  // namespace platform
