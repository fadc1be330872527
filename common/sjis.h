// The two ways the library walks Shift-JIS text, each defined once.
#ifndef COMMON_SJIS_H
#define COMMON_SJIS_H

namespace common::sjis {

inline unsigned char byte_at(const char *p) {
  return static_cast<unsigned char>(*p);
}

// Double-byte rule: 0x81..0x9F and 0xE0..0xFC lead a two-byte character.
inline bool is_lead_byte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Bytes the character at p takes under the double-byte rule; a lead byte
// right before the terminator stands alone.
inline int char_length(const char *p) {
  return is_lead_byte(byte_at(p)) && p[1] != '\0' ? 2 : 1;
}

// Wide first-byte class: ASCII and half-width katakana (0xA1..0xDF) are one
// byte; every other byte with the high bit set begins two.
inline bool is_half_width_kana(unsigned char b) {
  return b >= 0xA1 && b <= 0xDF;
}
inline bool is_wide_first_byte(unsigned char b) {
  return b >= 0x80 && !is_half_width_kana(b);
}

// Bytes the character at p takes under the wide first-byte class; the
// terminator is never taken as a second half.
inline int wide_char_length(const char *p) {
  return is_wide_first_byte(byte_at(p)) && p[1] != '\0' ? 2 : 1;
}

}  // namespace common::sjis

#endif  // COMMON_SJIS_H
