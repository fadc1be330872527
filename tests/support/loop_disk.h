// A small file system of a chosen kind (XFS, btrfs, ...) in an image file,
// mounted through a loop device, for the tests that need its own behaviour:
// copy-on-write, crashes.  It needs root and the kind's mkfs program; where
// either is missing, or the mount fails, failure() says why and the test
// skips.
#ifndef TESTS_SUPPORT_LOOP_DISK_H
#define TESTS_SUPPORT_LOOP_DISK_H

#include <string>

#include "runner.h"
#include "system_posix.h"

namespace testsupport {

class LoopDisk {
 public:
  // Makes the file system with mkfs (a program of the Debian package
  // given) in directory/disk.img and mounts it on directory/disk.
  LoopDisk(const std::string &directory, const std::string &mkfs, const std::string &package)
      : directory_(directory) {
    const std::string program = find_program(mkfs);
    if (!is_root()) {
      failure_ = "needs root to mount a loop device";
    } else if (program.empty()) {
      failure_ = "needs " + mkfs + " (Debian package " + package + ")";
    } else if (const RunResult r = sh("truncate -s 300M disk.img && " + program +
                                      " -q disk.img >/dev/null && mkdir -p disk &&"
                                      " mount -o loop disk.img disk");
               r.exit_code != 0) {
      failure_ = "cannot make and mount " + mkfs + " on a loop device: " + r.err;
    }
  }
  ~LoopDisk() {
    if (mounted()) {
      sh("umount disk");
    }
  }
  LoopDisk(const LoopDisk &) = delete;
  LoopDisk &operator=(const LoopDisk &) = delete;

  bool mounted() const { return failure_.empty(); }
  const std::string &failure() const { return failure_; }
  std::string path() const { return directory_ + "/disk"; }
  std::string file(const std::string &name) const { return path() + "/" + name; }

  // Shuts an XFS down at once, its log flushed but nothing else, as a crash
  // would leave it; what failed, or "".
  std::string shut_down() const { return failure_of("xfs_io -x -c 'shutdown -f' disk"); }
  // Mounts it again after a shutdown, as after a crash.
  std::string mount_again() const {
    return failure_of("umount disk && mount -o loop disk.img disk");
  }
  std::string crash() const {
    const std::string failed = shut_down();
    return failed.empty() ? mount_again() : failed;
  }

  std::string failure_of(const std::string &command) const {
    const RunResult r = sh(command);
    return r.exit_code == 0 ? "" : command + ": " + r.err;
  }

  // Runs a shell command in the directory that holds the image.
  RunResult sh(const std::string &command) const {
    return run("/bin/sh", {"-c", command}, directory_);
  }

 private:
  std::string directory_;
  std::string failure_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LOOP_DISK_H
