// A tiny file system of its own for tests that need a full disk, or one that
// reports no size.  A helper process mounts it in a mount namespace of its
// own (as a user other than root in a user namespace of its own too), so
// that it needs no privileges where the kernel lets users have namespaces,
// and vanishes with the helper however the test ends; the test reaches it
// through the helper's /proc/PID/root.  Where it cannot be mounted, the test
// skips and says why.
#ifndef TESTS_SUPPORT_TMPFS_H
#define TESTS_SUPPORT_TMPFS_H

#include <sys/types.h>

#include <string>

#include "temp_dir.h"

namespace testsupport {

class SmallTmpfs {
 public:
  // A size of 0 means no limit; more options may follow, such as
  // "nr_inodes=2".
  explicit SmallTmpfs(std::size_t bytes, const std::string &more_options = "");
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs &) = delete;
  SmallTmpfs &operator=(const SmallTmpfs &) = delete;

  bool mounted() const { return !path_.empty(); }
  // Why it is not mounted.
  const std::string &failure() const { return failure_; }
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  TempDir mount_point_;
  pid_t helper_ = -1;
  int hold_ = -1;  // the helper keeps the mount until this closes
  std::string path_;
  std::string failure_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TMPFS_H
