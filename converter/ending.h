// How a run ends: the outcome that its one message tells.
#ifndef NLFLIP_ENDING_H
#define NLFLIP_ENDING_H

#include <cstdint>

#include "stream.h"

namespace nlflip {

struct Ending {
  enum class Outcome {
    done,
    not_found,       // the input cannot be opened
    reading_error,   // reading the input failed, or it changed under the run
    spooling_error,  // a copy in the temporary directory could not be written
    too_long_line,   // the line numbered line has no end within its window
    utf32,           // the input begins with a UTF-32 byte-order mark
    cannot_create,   // the output cannot be written, or not by this user
    writing_error,   // writing or replacing the output failed
    cannot_rewrite_in_place,
  };

  Outcome outcome = Outcome::done;
  std::uint64_t line = 0;

  bool done() const { return outcome == Outcome::done; }
};

// What reading and converting a stream came to, as far as the input goes:
// a writing failure is the caller's to tell.
inline Ending ending_of(const Converted &converted) {
  switch (converted.outcome) {
    case Converted::Outcome::too_long:
      return {Ending::Outcome::too_long_line, converted.line};
    case Converted::Outcome::read_error:
      return {Ending::Outcome::reading_error, 0};
    case Converted::Outcome::unsupported:
      return {Ending::Outcome::utf32, 0};
    case Converted::Outcome::write_error:
      return {Ending::Outcome::writing_error, 0};
    case Converted::Outcome::done:
      break;
  }
  return {};
}

}  // namespace nlflip

#endif  // NLFLIP_ENDING_H
