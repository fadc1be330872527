// What the POSIX implementation's topics share: file status, names and
// streams on descriptors, and the interruptions that remove a temporary
// file.  Not part of the platform's interface.
#ifndef PLATFORM_POSIX_INTERNAL_H
#define PLATFORM_POSIX_INTERNAL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform.h"

namespace platform::posix {

// The directory part of a path: "." for a bare name, "/" at the root.
std::string directory_of(const std::string &path);

FileStatus status_from(const struct stat &info, bool pseudo = false);

// The name that a chain of symbolic links ends in, also where that name
// does not exist yet; the path itself when it is no link; empty for a chain
// longer than the system itself follows (a loop).
std::string final_name(const char *path);

// Reads up to size bytes from fd into buffer, at offset, or where offset is
// -1 at its position, again where a signal interrupts; the bytes read, 0 at
// the end, -1 on failure.
ssize_t read_some(int fd, char *buffer, std::size_t size, off_t offset = -1);

// Writes all of data to fd, at offset, or where offset is -1 at its
// position; false on failure.
bool write_fully(int fd, const char *data, std::size_t size, off_t offset = -1);

// A stream on fd (-1 for none), which it then owns; null, with fd closed,
// where none can be made.
std::FILE *stream_on(int fd, const char *mode);

// A file's name in a directory held open, which stays valid however the
// directory is moved.
struct NameInDirectory {
  int directory;
  const char *name;
};
// The one file that an interruption removes, or none: registered by the
// one who made it, and forgotten by that one alone.
void remove_on_interruption(const NameInDirectory *file);
void forget_on_interruption(const NameInDirectory *file);

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

}  // namespace platform::posix

#endif  // PLATFORM_POSIX_INTERNAL_H
