// Converting a stream of input bytes into a stream of output bytes in
// bounded memory.
#ifndef NLFLIP_STREAM_H
#define NLFLIP_STREAM_H

#include <cstddef>
#include <cstdint>

#include "flip.h"

namespace nlflip {

// Where the input's bytes come from.
class Source {
 public:
  virtual ~Source() = default;
  // Up to size bytes into buffer: their number, 0 at the end, -1 when
  // reading failed.
  virtual std::int64_t read(char *buffer, std::size_t size) = 0;
  // Whether the next chunk may be read before it is needed: only where no
  // read can wait for long (a file, bytes kept), since a read that a pipe or
  // a terminal holds up must not outlast the conversion.
  virtual bool reads_ahead() const { return false; }
  // How many bytes are left to read, where that is known; else kUnknown.
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  virtual std::uint64_t left() const { return kUnknown; }
};

// Reads from the source into buffer[0, size) until it is full or the
// source ends: the count read, or -1 when reading failed.
std::int64_t fill(Source &source, char *buffer, std::size_t size);

// Where the converted bytes go.
class Sink {
 public:
  virtual ~Sink() = default;
  // False when the bytes could not all be written.
  virtual bool write(const char *data, std::size_t size) = 0;
};

struct Converted {
  // unsupported: the stream begins with a UTF-32 byte-order mark.
  enum class Outcome { done, too_long, read_error, write_error, unsupported };
  Outcome outcome = Outcome::done;
  std::uint64_t line = 0;  // the number of the too long line
};

// Bytes read and converted at a time by one worker: few enough that its
// buffers take few fresh pages, which cost a run more than reading the
// bytes, and stay in the processor's cache.
constexpr std::size_t kChunk = std::size_t{64} << 10;
// By each of two workers: enough that handing chunks over costs little.
constexpr std::size_t kTwoWorkerChunk = std::size_t{512} << 10;
// The chunk size that flip_stream chooses itself.
constexpr std::size_t kChosenChunk = 0;

// Reads the source to its end and writes its lines, their ends toggled, to
// the sink; without a sink the lines are only checked.  A UTF-16 byte-order
// mark at the start is copied, and the rest split in UTF-16 code units; an
// odd byte at the end follows the last line as it is.  Stops at the first
// too long line, reading failure or writing failure.  Two workers take the
// chunks in turns where there is a sink and the source is not known to be
// small (platform::worth_a_second_worker).  The chunk size, at least
// kLookahead, is kChunk for one worker and kTwoWorkerChunk for two unless
// given, and for a source of known size at most that size, so that a small
// file needs small buffers.
Converted flip_stream(Source &source, Sink *sink, std::size_t chunk = kChosenChunk,
                      Kernel kernel = fastest_kernel());

}  // namespace nlflip

#endif  // NLFLIP_STREAM_H
