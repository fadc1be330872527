// Windows path splitting; only the backslash separates components, and it is
// searched for by character so that a 0x5C second byte never counts.
#include <cstring>

#include "common.h"

namespace common {

namespace {

bool is_wildcard(char c) {
  return c == '*' || c == '?';
}

char *first_wildcard_or_end(char *path) {
  char *p = path;
  while (*p != '\0' && !is_wildcard(*p)) {
    ++p;
  }
  return p;
}

}  // namespace

const char *findExt(const char *path) {
  const char *separator = Strrchr(path, '\\');
  const char *last_component = separator != nullptr ? separator + 1 : path;
  return std::strrchr(last_component, '.');
}

char *findExt(char *path) {
  return const_cast<char *>(findExt(static_cast<const char *>(path)));
}

int sepname(char *path, char *head, char *tail) {
  *tail = '\0';
  const char *rest = "";
  if (char *separator = Strchr(first_wildcard_or_end(path), '\\'); separator != nullptr) {
    *separator = '\0';
    rest = separator + 1;
  }
  std::strcpy(head, path);
  std::strcpy(tail, rest);
  return 0;
}

}  // namespace common
