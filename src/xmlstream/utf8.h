// UTF-8 sequences: the one reader of a sequence's length, shared by the
// validity check, the error-message quoting and the element-name decoder,
// and the one encoder, shared by references and decoders.
#pragma once

#include <cstddef>
#include <string_view>

namespace qk::xml::enc {

// Length of the well-formed sequence at `p` (`n` >= 1 bytes available), or,
// if it is ill-formed, the negated length of its maximal subpart (at least
// one byte): the bytes a replacing decoder turns into one U+FFFD. Overlongs,
// surrogates and code points above U+10FFFF are ill-formed.
inline int utf8_sequence(const unsigned char* p, std::size_t n) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= n) return -i;
    if (p[i] < lo || p[i] > hi) return -i;
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

inline int utf8_sequence(std::string_view s) {
  return utf8_sequence(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// Writes the UTF-8 bytes of `cp` (a scalar value) at `o`, which has room
// for four, and returns the end.
inline char* put_utf8(char* o, char32_t cp) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | (cp >> 6));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (cp >> 12));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (cp >> 18));
    *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

}  // namespace qk::xml::enc
