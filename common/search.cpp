// Double-byte-aware character searches shared by the messages and path code.
#include "common.h"
#include "sjis.h"

namespace common {

const char *Strchr(const char *text, int c) {
  const auto wanted = static_cast<unsigned char>(c);
  if (wanted == 0) {
    return nullptr;
  }
  for (const char *p = text; *p != '\0'; p += sjis::char_length(p)) {
    if (sjis::byte_at(p) == wanted) {
      return p;
    }
  }
  return nullptr;
}

const char *Strrchr(const char *text, int c) {
  const auto wanted = static_cast<unsigned char>(c);
  if (wanted == 0) {
    return nullptr;
  }
  const char *found = nullptr;
  for (const char *p = text; *p != '\0'; p += sjis::char_length(p)) {
    if (sjis::byte_at(p) == wanted) {
      found = p;
    }
  }
  return found;
}

char *Strchr(char *text, int c) {
  return const_cast<char *>(Strchr(static_cast<const char *>(text), c));
}

char *Strrchr(char *text, int c) {
  return const_cast<char *>(Strrchr(static_cast<const char *>(text), c));
}

}  // namespace common
