// What a file was when the run looked at it, and the one rule by which it
// still is: the same file by identity, of the same size, its bytes not
// modified since (a change within one tick of a coarse file-system clock
// cannot be seen).  The input keeps one from its opening, the output one
// from the start of the run.
#ifndef NLFLIP_SNAPSHOT_H
#define NLFLIP_SNAPSHOT_H

#include <cstdio>

#include "platform.h"

namespace nlflip {

class Snapshot {
 public:
  Snapshot() = default;
  explicit Snapshot(const platform::FileStatus &taken) : taken_(taken) {}

  const platform::FileStatus &taken() const { return taken_; }

  bool same_file(const platform::FileStatus &now) const { return now.same_file(taken_); }
  // Whether the file, as now finds it, is still what it was.
  bool still(const platform::FileStatus &now) const {
    return same_file(now) && now.size == taken_.size && now.modified == taken_.modified;
  }
  // The same for the file that a name denotes now, and for one open as fp.
  bool still_named(const char *name) const { return still(platform::status_of(name)); }
  bool still_open(std::FILE *fp) const { return still(platform::status_of(fp)); }
  // Whether the file open as fp has become shorter.
  bool shrank(std::FILE *fp) const { return platform::status_of(fp).size < taken_.size; }

 private:
  platform::FileStatus taken_;
};

}  // namespace nlflip

#endif  // NLFLIP_SNAPSHOT_H
