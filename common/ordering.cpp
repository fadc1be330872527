// File-name order: by depth, then ASCII without case with the backslash first,
// then half-width katakana, then double-byte characters.
#include "common.h"
#include "sjis.h"

namespace common {

namespace {

int sign(int difference) {
  if (difference > 0) {
    return 1;
  }
  return difference < 0 ? -1 : 0;
}

unsigned char fold(unsigned char b) {
  return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + 0x20) : b;
}

int compare_ascii(unsigned char left, unsigned char right) {
  if (left == '\\') {
    return -1;
  }
  if (right == '\\') {
    return 1;
  }
  return sign(left - right);
}

// Rank of a character by its first byte: ASCII, then katakana, then double-byte.
int character_class(unsigned char b) {
  if (b < 0x80) {
    return 0;
  }
  return sjis::is_half_width_kana(b) ? 1 : 2;
}

int backslash_count(const char *name) {
  int count = 0;
  for (const char *p = name; *p != '\0'; p += sjis::char_length(p)) {
    count += *p == '\\' ? 1 : 0;
  }
  return count;
}

const char *name_of(const void *element) {
  return **static_cast<const char *const *const *>(element);
}

}  // namespace

int StrCmp(const char *left, const char *right) {
  const char *l = left;
  const char *r = right;
  while (*l != '\0' && *r != '\0') {
    const unsigned char lb = sjis::byte_at(l);
    const unsigned char rb = sjis::byte_at(r);
    if (const int by_class = sign(character_class(lb) - character_class(rb)); by_class != 0) {
      return by_class;
    }
    int step = 1;
    if (lb < 0x80) {
      if (fold(lb) != fold(rb)) {
        return compare_ascii(fold(lb), fold(rb));
      }
    } else if (lb != rb) {
      return sign(lb - rb);
    } else if (sjis::is_wide_first_byte(lb)) {
      // Second halves compare as plain bytes; equal terminators mean equal names.
      const unsigned char l2 = sjis::byte_at(l + 1);
      const unsigned char r2 = sjis::byte_at(r + 1);
      if (l2 != r2 || l2 == 0) {
        return sign(l2 - r2);
      }
      step = 2;
    }
    l += step;
    r += step;
  }
  return sign(sjis::byte_at(l) - sjis::byte_at(r));
}

int comp_file(const void *left, const void *right) {
  const char *left_name = name_of(left);
  const char *right_name = name_of(right);
  if (const int by_depth = sign(backslash_count(left_name) - backslash_count(right_name));
      by_depth != 0) {
    return by_depth;
  }
  return StrCmp(left_name, right_name);
}

}  // namespace common
