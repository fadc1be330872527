// POSIX: rewriting a file in place: the room reserved for the new text
// before any byte changes, the privileges that writing takes and that are
// given back, and other programs held off meanwhile.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

using posix::attribute_value;

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

// Whether some of the file's blocks are shared with other files (a
// snapshot, a reflink copy): overwriting them takes new room.  A file
// system that cannot tell shares none.
bool shares_blocks(int fd) {
  constexpr std::size_t kExtents = 64;
  std::vector<std::uint64_t> buffer(
      (sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent)) / sizeof(std::uint64_t) +
      1);
  auto *map = reinterpret_cast<struct fiemap *>(buffer.data());
  for (std::uint64_t start = 0;;) {
    std::memset(map, 0, sizeof *map);
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    map->fm_extent_count = kExtents;
    if (ioctl(fd, FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents == 0) {
      return false;
    }
    for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const struct fiemap_extent &extent = map->fm_extents[i];
      if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0) {
        return true;
      }
      if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) {
        return false;
      }
      start = extent.fe_logical + extent.fe_length;
    }
  }
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
  // Where blocks are shared or every block is written anew, all of the
  // text needs free room, and without it the file cannot be rewritten in
  // place; elsewhere only what the file does not hold yet.  Asking first
  // spares a full disk a half-done allocation.
  const bool shared = shares_blocks(fd);
  const bool whole = shared || always_copies_on_write(fd);
  const auto allocated = static_cast<std::uint64_t>(before.st_blocks) * 512;
  const std::uint64_t needed = whole ? size : (size > allocated ? size - allocated : 0);
  if (needed > free_bytes(fd)) {
    return whole ? Reserved::unsupported : Reserved::no_space;
  }
  // fallocate, unlike posix_fallocate, never falls back to writing zeros
  // block by block, which would promise nothing; KEEP_SIZE leaves the size
  // and the bytes alone.  It is asked for from the first hole on only: some
  // file systems (XFS) want room for the whole range asked for, allocated
  // or not.  Shared blocks are unshared, so that overwriting them takes no
  // new room; only where there are any, since XFS then copies every block.
  const off_t length = static_cast<off_t>(size);
  const off_t first_hole = shared ? 0 : lseek(fd, 0, SEEK_HOLE);
  const off_t from = first_hole < 0 ? 0 : std::min(first_hole, length);
  const int mode = FALLOC_FL_KEEP_SIZE | (shared ? FALLOC_FL_UNSHARE_RANGE : 0);
  if (from == length || fallocate(fd, mode, from, length - from) == 0) {
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
constexpr mode_t kSetId = S_ISUID | S_ISGID;

bool capabilities_of(int fd, std::string &capabilities) {
  return attribute_value([&](char *b, std::size_t n) { return fgetxattr(fd, kCapabilities, b, n); },
                         capabilities);
}

// Whether this process has the capability in its effective set.
bool has_capability(unsigned capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capget, &header, data) == 0 &&
         ((data[capability / 32].effective >> (capability % 32)) & 1U) != 0;
}

bool is_in_group(gid_t group) {
  if (getegid() == group) {
    return true;
  }
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  return count > 0 && getgroups(count, groups.data()) == count &&
         std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Whether this user can give back what writing the file takes: the kernel
// takes the set-id bits from a writer without CAP_FSETID, which only the
// owner (or CAP_FOWNER) can set again, the set-group-id bit only as a member
// of the file's group (or with CAP_FSETID); it takes capabilities from any
// writer, which only CAP_SETFCAP can set again.
bool can_give_back(const struct stat &info, const std::string &capabilities) {
  const bool set_id_taken = (info.st_mode & kSetId) != 0 && !has_capability(CAP_FSETID);
  const bool may_set_mode = geteuid() == info.st_uid || has_capability(CAP_FOWNER);
  const bool may_set_group_id = (info.st_mode & S_ISGID) == 0 || is_in_group(info.st_gid);
  return (!set_id_taken || (may_set_mode && may_set_group_id)) &&
         (capabilities.empty() || has_capability(CAP_SETFCAP));
}

}  // namespace

Privileges Privileges::of(std::FILE *fp) {
  Privileges privileges;
  struct stat info {};
  capabilities_of(fileno(fp), privileges.capabilities_);
  if (fstat(fileno(fp), &info) != 0) {
    privileges.restorable_ = false;
    return privileges;
  }
  privileges.mode_ = info.st_mode & 07777;
  privileges.restorable_ = can_give_back(info, privileges.capabilities_);
  return privileges;
}

bool Privileges::restore(std::FILE *fp) const {
  const int fd = fileno(fp);
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    return false;
  }
  const auto now = static_cast<mode_t>(info.st_mode & 07777);
  // A mode that the owner changed meanwhile is the owner's: left as it is.
  if ((now & ~kSetId) != (mode_ & ~kSetId)) {
    return true;
  }
  const auto taken = static_cast<mode_t>(mode_ & kSetId & ~now);
  std::string capabilities;
  const bool capabilities_taken = !capabilities_.empty() && !capabilities_of(fd, capabilities);
  return (taken == 0 || fchmod(fd, now | taken) == 0) &&
         (!capabilities_taken ||
          fsetxattr(fd, kCapabilities, capabilities_.data(), capabilities_.size(), 0) == 0);
}

OthersHeldOff::OthersHeldOff(std::FILE *fp) {
  // The lease's breaking is announced by SIGIO, which the process ignores:
  // the other program waits until the lease goes, or the kernel's
  // lease-break time has passed.
  if (fcntl(fileno(fp), F_SETLEASE, F_WRLCK) == 0) {
    fd_ = fileno(fp);
  }
}

OthersHeldOff::~OthersHeldOff() {
  if (fd_ >= 0) {
    fcntl(fd_, F_SETLEASE, F_UNLCK);
  }
}

}  // namespace platform
