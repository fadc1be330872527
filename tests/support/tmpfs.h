// A tiny file system of its own for tests that need a full disk.  Mounting
// needs privileges; without them the tests that use it skip and say why.
#ifndef TESTS_SUPPORT_TMPFS_H
#define TESTS_SUPPORT_TMPFS_H

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "temp_dir.h"

namespace testsupport {

class SmallTmpfs {
 public:
  // A size of 0 means no limit; more options may follow, such as
  // "nr_inodes=2".
  explicit SmallTmpfs(std::size_t bytes, const std::string &more_options = "") {
    const std::string options =
        "size=" + std::to_string(bytes) + (more_options.empty() ? "" : "," + more_options);
    if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      failure_ = std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
    }
  }
  ~SmallTmpfs() {
    if (mounted_) {
      umount2(dir_.path().c_str(), MNT_DETACH);
    }
  }
  SmallTmpfs(const SmallTmpfs &) = delete;
  SmallTmpfs &operator=(const SmallTmpfs &) = delete;

  bool mounted() const { return mounted_; }
  const std::string &failure() const { return failure_; }
  const std::string &path() const { return dir_.path(); }
  std::string file(const std::string &name) const { return dir_.file(name); }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string failure_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TMPFS_H
