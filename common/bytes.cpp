// Byte-wise helpers: they see single bytes, not Shift-JIS characters.
#include <cstddef>
#include <cstring>

#include "common.h"

namespace common {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool ends_number(char c) {
  return c == '\0' || c == '\n' || is_blank(c);
}

bool is_wildcard(char c) {
  return c == '*' || c == '?';
}

char as_byte(int c) {
  return static_cast<char>(static_cast<unsigned char>(c));
}

bool matches_at(const char *text, const char *pattern) {
  for (; *pattern != '\0'; ++text, ++pattern) {
    if (*text == '\0' || *text != *pattern) {
      return false;
    }
  }
  return true;
}

}  // namespace

int isnum(const char *text) {
  for (const char *p = text; !ends_number(*p); ++p) {
    if (*p < '0' || *p > '9') {
      return 0;
    }
  }
  return 1;
}

const char *index(const char *text, int c) {
  const char wanted = as_byte(c);
  if (wanted == '\0') {
    return nullptr;
  }
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == wanted) {
      return p;
    }
  }
  return nullptr;
}

const char *rindex(const char *text, int c) {
  const char wanted = as_byte(c);
  if (wanted == '\0') {
    return nullptr;
  }
  for (const char *p = text + std::strlen(text); p != text;) {
    if (*--p == wanted) {
      return p;
    }
  }
  return nullptr;
}

const char *index1(const char *text, const char *pattern) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (matches_at(p, pattern)) {
      return p;
    }
  }
  return nullptr;
}

const char *srch_wild(const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    if (is_wildcard(*p)) {
      return p;
    }
  }
  return nullptr;
}

const char *sp_skip(const char *text) {
  const char *p = text;
  while (is_blank(*p)) {
    ++p;
  }
  return p;
}

const char *chr_skip(const char *text) {
  const char *p = text;
  while (*p != '\0' && !is_blank(*p)) {
    ++p;
  }
  return p;
}

char *index(char *text, int c) {
  return const_cast<char *>(index(static_cast<const char *>(text), c));
}

char *rindex(char *text, int c) {
  return const_cast<char *>(rindex(static_cast<const char *>(text), c));
}

char *index1(char *text, const char *pattern) {
  return const_cast<char *>(index1(static_cast<const char *>(text), pattern));
}

char *srch_wild(char *text) {
  return const_cast<char *>(srch_wild(static_cast<const char *>(text)));
}

char *sp_skip(char *text) {
  return const_cast<char *>(sp_skip(static_cast<const char *>(text)));
}

char *chr_skip(char *text) {
  return const_cast<char *>(chr_skip(static_cast<const char *>(text)));
}

// Copies upward one byte at a time, so an overlapping copy to a higher address
// repeats the source's first bytes; that order is part of the contract.
int bcopy(char *destination, const char *source, int count) {
  for (int i = 0; i < count; ++i) {
    destination[i] = source[i];
  }
  return 0;
}

// Moves from the terminator down, so the text shifts intact.
int insChar(char *text, int c) {
  for (auto i = static_cast<std::ptrdiff_t>(std::strlen(text)); i >= 0; --i) {
    text[i + 1] = text[i];
  }
  text[0] = as_byte(c);
  return 0;
}

void clear(char *buffer, int c, int count) {
  for (int i = 0; i < count; ++i) {
    buffer[i] = as_byte(c);
  }
}

}  // namespace common
