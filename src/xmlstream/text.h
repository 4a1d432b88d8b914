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

// The character of a character reference "#..." (without '&' and ';'), or
// 0 when it names none.
std::uint32_t character_reference_value(std::string_view ref);

}  // namespace qk::xml
