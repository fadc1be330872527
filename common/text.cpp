// Double-byte-aware replacement, set search and ASCII case changes.
#include <cstring>

#include "common.h"
#include "sjis.h"

namespace common {

namespace {

// Walks by the wide first-byte class and adds delta to every byte in
// first..last that stands as a character of its own.
void shift_ascii_letters(char *text, unsigned char first, unsigned char last, int delta) {
  for (char *p = text; *p != '\0'; p += sjis::wide_char_length(p)) {
    const unsigned char b = sjis::byte_at(p);
    if (b >= first && b <= last) {
      *p = static_cast<char>(b + delta);
    }
  }
}

bool in_set(unsigned char b, const char *set) {
  return b != 0 && std::strchr(set, b) != nullptr;
}

}  // namespace

char *ChgChr(char *text, int from, int to) {
  const auto old_byte = static_cast<char>(static_cast<unsigned char>(from));
  const auto new_byte = static_cast<char>(static_cast<unsigned char>(to));
  // Only the byte under the walk is replaced, so a NUL written here lies behind
  // the next step and never ends the walk; the step follows the replaced byte.
  for (char *p = text; *p != '\0'; p += sjis::char_length(p)) {
    if (*p == old_byte) {
      *p = new_byte;
    }
  }
  return text;
}

const char *index2(const char *text, const char *set) {
  int length = 0;
  for (const char *p = text; *p != '\0'; p += length) {
    length = sjis::char_length(p);
    if (length == 1 && in_set(sjis::byte_at(p), set)) {
      return p;
    }
  }
  return nullptr;
}

char *index2(char *text, const char *set) {
  return const_cast<char *>(index2(static_cast<const char *>(text), set));
}

int to_upper(char *text) {
  shift_ascii_letters(text, 'a', 'z', -0x20);
  return 0;
}

int to_lower(char *text) {
  shift_ascii_letters(text, 'A', 'Z', 0x20);
  return 0;
}

}  // namespace common
