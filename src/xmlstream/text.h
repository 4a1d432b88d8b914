// Record text: element names, white space and references. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "xmlstream/errors.h"

namespace qk::xml {

// The part of a qualified name after its last ':', decoded as UTF-8 with each
// invalid sequence replaced by U+FFFD (maximal subparts, like Python's
// bytes.decode('utf-8', 'replace')). `local_name_append` appends it to `out`.
std::string local_name(std::string_view raw);
void local_name_append(std::string_view raw, std::string& out);
// The local name of `raw`: a view into it where its local part is ASCII, as
// names nearly always are, else made in `scratch`.
std::string_view local_name_in(std::string_view raw, std::string& scratch);

// `s` without leading and trailing Unicode White_Space characters. Most
// values start and end with an ASCII character that is not space: that is
// checked inline, anything else takes trim_white_space_slow.
std::string_view trim_white_space_slow(std::string_view s);
[[gnu::always_inline]] inline std::string_view trim_white_space(std::string_view s) {
  if (!s.empty()) {
    const auto first = static_cast<unsigned char>(s.front());
    const auto last = static_cast<unsigned char>(s.back());
    if (first > ' ' && first < 0x80 && last > ' ' && last < 0x80) return s;
  }
  return trim_white_space_slow(s);
}

// Whether `s` holds a byte above 0x7F, and whether it holds '&', eight
// bytes at a time: most pieces are short ASCII without references, which
// then need neither a UTF-8 check nor a search for references.
struct Scan {
  bool high = false, amp = false;
};
[[gnu::always_inline]] inline Scan scan_piece(std::string_view s) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::uint64_t high = 0, amp = 0;
  const auto add = [&](std::uint64_t w) {
    const std::uint64_t x = w ^ (kOnes * '&');
    high |= w;
    amp |= (x - kOnes) & ~x;  // a high bit in each byte that was '&', maybe more when one was
  };
  // Words overlap rather than leaving a tail to be read byte by byte; pieces
  // are often shorter than a word. Short words are widened with zero bytes,
  // which are neither high nor '&'.
  const auto load = [&](std::size_t at, std::size_t size) {
    std::uint64_t w = 0;
    std::memcpy(&w, p + at, size);
    return w;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) add(load(i, 8));
    add(load(n - 8, 8));
  } else if (n >= 4) {
    add(load(0, 4));
    add(load(n - 4, 4));
  } else {
    for (std::size_t i = 0; i < n; ++i) add(static_cast<unsigned char>(p[i]));
  }
  return Scan{(high & kHigh) != 0, (amp & kHigh) != 0};
}

// Whether `s` is all white space (or empty). Every piece of text dropped
// between elements is checked for a value it would lose, and it is mostly
// a line break and a few spaces: those are compared a word at a time,
// inline, and anything else takes blank_slow.
bool blank_slow(std::string_view s);
[[gnu::always_inline]] inline bool blank(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  if (n != 0 && p[0] == '\n') {
    ++p;
    --n;
  }
  std::uint32_t a, b;
  if (n < 4 || n > 8) return n == 0 || blank_slow(s);
  std::memcpy(&a, p, 4);
  std::memcpy(&b, p + n - 4, 4);
  return (a == 0x20202020u && b == 0x20202020u) || blank_slow(s);
}

// Replaces the five predefined entities and decimal or hexadecimal
// character references in the tail of `s` from `from` on, rewriting it in
// place (a reference is never shorter than its character). On a bad
// reference returns false with `err` (Kind::Xml) filled and `s` cut back to
// `from`.
bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err);

class Entities;
// The same, also expanding the names `entities` knows (see entities.h),
// when not null: the tail is then rewritten into a new string from the
// first such name on, since an entity's text may be longer than its
// reference. Text without such names takes the path above.
bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err, Entities* entities);

// Copies the n bytes at `src` to `dst` (room for n bytes; it may be `src`)
// with the five predefined entities and character references replaced, in
// one pass that copies 16 bytes at a time. Returns the bytes written, or
// npos at a reference it cannot replace (a bad one or another entity),
// which leaves those to the checked paths above.
std::size_t copy_resolving(const char* src, std::size_t n, char* dst);

// The character of a character reference "#..." (without '&' and ';'), or
// 0 when it names none.
std::uint32_t character_reference_value(std::string_view ref);

}  // namespace qk::xml
