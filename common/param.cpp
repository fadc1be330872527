// Reads one plain, quoted or bracketed token of a parameter text.
#include "common.h"
#include "sjis.h"

namespace common {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool ends_plain(char c) {
  return c == '=' || is_blank(c);
}

bool ends_quoted(char c) {
  return c == '"';
}

bool ends_bracketed(char c) {
  return c == ']';
}

struct Copied {
  const char *stop;  // first byte not stored
  int stored;
};

// Copies whole characters until a delimiter, the terminator or a character
// that no longer fits in room; only the first byte of a character is tested.
Copied copy_token(const char *from, char *buffer, int room, bool (*ends_token)(char)) {
  const char *p = from;
  int stored = 0;
  while (*p != '\0') {
    const int length = sjis::char_length(p);
    if (length > room - stored || ends_token(*p)) {
      break;
    }
    for (int i = 0; i < length; ++i) {
      buffer[stored++] = *p++;
    }
  }
  return {p, stored};
}

// The buffer always ends in a NUL when it has a byte of room for one.
void terminate(char *buffer, int stored, int n) {
  if (n >= 1) {
    buffer[stored] = '\0';
  }
}

const char *read_delimited(const char *from, char *buffer, int n, bool (*ends_token)(char)) {
  const Copied copied = copy_token(from, buffer, n - 1, ends_token);
  terminate(buffer, copied.stored, n);
  return copied.stop;
}

// The '[' is stored with the token, and after the copy the byte that stopped it
// is stored too, so that a closed token keeps its ']'.
const char *read_bracketed(const char *bracket, char *buffer, int n) {
  Copied copied = copy_token(bracket, buffer, n - 2, ends_bracketed);
  if (n >= 2) {
    buffer[copied.stored++] = *copied.stop;
  }
  terminate(buffer, copied.stored, n);
  return copied.stop;
}

const char *skip_blanks(const char *text) {
  while (is_blank(*text)) {
    ++text;
  }
  return text;
}

}  // namespace

const char *SetParam(const char *text, char *buffer, int n) {
  const char *token = skip_blanks(text);
  switch (*token) {
    case '"':
      return read_delimited(token + 1, buffer, n, ends_quoted);
    case '[':
      return read_bracketed(token, buffer, n);
    default:
      return read_delimited(token, buffer, n, ends_plain);
  }
}

char *SetParam(char *text, char *buffer, int n) {
  return const_cast<char *>(SetParam(static_cast<const char *>(text), buffer, n));
}

}  // namespace common
