// The input file: opened once, checked before anything is written, and read
// from its start for the conversion.
#ifndef NLFLIP_INPUT_H
#define NLFLIP_INPUT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ending.h"
#include "platform.h"
#include "snapshot.h"
#include "stream.h"

namespace nlflip {

// What the quick test of a regular file before the prompt finds: it looks
// back only from the end of each window for its last CR or LF, so it tells
// whether some line is too long but not which.
enum class LineSearch { fits, too_long, unsupported, read_error };

// Tests the first size bytes of a regular file (read at offsets), after a
// UTF-16 byte-order mark in code units; unsupported for a UTF-32 mark.
LineSearch search_too_long_line(std::FILE *file, std::uint64_t size);

class Input {
 public:
  Input() = default;
  ~Input();
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;

  // False when the named file cannot be opened for reading.
  bool open(const char *name);
  // What it was at opening, which is what is read of it.
  const Snapshot &opened() const { return opened_; }
  const platform::FileStatus &status() const { return opened_.taken(); }

  // Reads the input through before the output is touched, so that a too
  // long line or a reading failure is found first.  A file of known size is
  // only tested (it can be read again); a pipe, a device or a file whose size
  // says nothing (procfs, sysfs) is kept, its first bytes in memory and the
  // rest in an unnamed temporary file.
  Ending check();

  // The input's bytes from the start, each time: the kept copy after
  // check(), else the file as far as its size at opening (a file that ends
  // before is a reading failure), or the stream itself.
  Source &source();
  // Whether its size is known, so that it can be read again from its start.
  bool sized() const { return status().sized; }

  // Whether a file of known size has become shorter than it was at opening.
  bool shrank() const;

  // Closes the input once it has been read: a file rewritten with its own
  // new text must not be held open.
  void close();

 private:
  Ending check_regular();
  Ending check_stream();

  std::FILE *stream_ = nullptr;
  Snapshot opened_;
  std::unique_ptr<Source> source_;
};

}  // namespace nlflip

#endif  // NLFLIP_INPUT_H
