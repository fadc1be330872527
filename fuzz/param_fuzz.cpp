// SetParam with any text and buffer size: it writes at most n bytes, never
// reads past the text, and stores exactly the text from the token's start to
// where it stopped, stopping only at a delimiter or for want of room.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common.h"
#include "fuzz_input.h"
#include "sjis.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr std::size_t kGuardBytes = 16;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool ends_token(char form, char c) {
  switch (form) {
    case '"':
      return c == '"' || c == '\0';
    case '[':
      return c == ']' || c == '\0';
    default:
      return c == '=' || is_blank(c) || c == '\0';
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  const int n = in.byte() % 72 - 4;
  const auto text = fuzz::exact_copy(in.text(size));
  const char *const end = text.get() + std::strlen(text.get());

  const std::size_t room_bytes = static_cast<std::size_t>(std::max(n, 0));
  std::vector<char> buffer(room_bytes + kGuardBytes, kGuard);
  const char *stop = common::SetParam(text.get(), buffer.data(), n);

  fuzz::require(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(room_bytes), buffer.end(),
                            [](char c) { return c == kGuard; }),
                "nothing written past n bytes");
  const char *token = text.get();
  while (is_blank(*token)) {
    ++token;
  }
  fuzz::require(stop >= token && stop <= end, "the result lies within the token");
  if (n < 1) {
    return 0;
  }
  fuzz::require(std::memchr(buffer.data(), '\0', room_bytes) != nullptr, "a terminator within n");

  const char form = *token == '"' || *token == '[' ? *token : ' ';
  const char *copied_from = form == '"' ? token + 1 : token;
  const int room = form == '[' ? n - 2 : n - 1;
  if (form == '[' && n < 2) {
    fuzz::require(buffer[0] == '\0', "no room: an empty bracketed token");
    return 0;
  }
  // The copy walks whole characters, so it stops on a character's first byte.
  const char *p = copied_from;
  while (p < stop) {
    p += common::sjis::char_length(p);
  }
  fuzz::require(p == stop, "the result is the first byte of a character");
  const auto copied = static_cast<int>(stop - copied_from);
  fuzz::require(ends_token(form, *stop) || copied + common::sjis::char_length(stop) > room,
                "stops only at a delimiter or for want of room");

  // The bracketed form also stores the byte it stopped at.
  const char *stored_end = form == '[' && *stop != '\0' ? stop + 1 : stop;
  fuzz::require(std::string_view(buffer.data()) == std::string_view(copied_from, stored_end),
                "stores the text up to where it stopped");
  return 0;
}
