// Record text: element names, white space, and entity and character
// references.
#include "xmlstream/text.h"

#include <cstdio>
#include <cstring>

#include <emmintrin.h>

#include "xmlstream/encoding.h"
#include "xmlstream/entities.h"
#include "xmlstream/utf8.h"

namespace qk::xml {

// ---- Names --------------------------------------------------------------------

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";


}  // namespace

namespace {

// The local part of `raw`, and whether it is all ASCII. ':' never occurs
// inside a multi-byte sequence or a maximal subpart, so cutting before
// decoding gives the same result as decoding first. One backward pass
// finds the cut and whether the local part is all ASCII, as names nearly
// always are.
std::string_view local_part(std::string_view raw, bool& ascii) {
  std::size_t cut = raw.size();
  unsigned char high = 0;
  while (cut > 0 && raw[cut - 1] != ':') high |= static_cast<unsigned char>(raw[--cut]);
  ascii = high < 0x80;
  return raw.substr(cut);
}

// `raw`, not all ASCII, appended with each invalid sequence replaced.
void append_replacing(std::string_view raw, std::string& out) {
  std::size_t i = 0;
  while (i < raw.size()) {
    // Copy the longest run of ASCII and valid sequences in one go.
    std::size_t start = i;
    int n;
    while (i < raw.size() && (n = enc::utf8_sequence(raw.substr(i))) > 0) i += n;
    out.append(raw.substr(start, i - start));
    if (i < raw.size()) {
      out.append(kReplacement);
      i += static_cast<std::size_t>(-enc::utf8_sequence(raw.substr(i)));
    }
  }
}

}  // namespace

std::string_view local_name_in(std::string_view raw, std::string& scratch) {
  bool ascii;
  const std::string_view local = local_part(raw, ascii);
  if (ascii) return local;
  scratch.clear();
  append_replacing(local, scratch);
  return scratch;
}

void local_name_append(std::string_view raw, std::string& out) {
  bool ascii;
  const std::string_view local = local_part(raw, ascii);
  if (ascii) out.append(local);
  else append_replacing(local, out);
}

std::string local_name(std::string_view raw) {
  std::string out;
  local_name_append(raw, out);
  return out;
}


// ---- White space ----------------------------------------------------------------

namespace {

// Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool ascii_space(unsigned char b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

// Length of the white-space character starting at `s`, or 0.
std::size_t space_at(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.empty()) return 0;
  if (ascii_space(b(0))) return 1;
  if (s.size() >= 2 && b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
  if (b(0) == 0xE2 && b(1) == 0x80 &&
      ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
    return 3;
  if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;
  if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
  return 0;
}

}  // namespace

bool blank_slow(std::string_view s) {
  for (const char c : s)
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return trim_white_space(s).empty();
  return true;
}

std::string_view trim_white_space_slow(std::string_view s) {
  for (std::size_t n; (n = space_at(s)) != 0;) s.remove_prefix(n);
  while (!s.empty()) {
    const auto last = static_cast<unsigned char>(s.back());
    if (last < 0x80) {
      if (!ascii_space(last)) break;
      s.remove_suffix(1);
      continue;
    }
    // Every non-ASCII white-space character is 2 or 3 bytes long.
    std::size_t n = 0;
    for (std::size_t len = 2; len <= 3 && len <= s.size() && n == 0; ++len)
      if (space_at(s.substr(s.size() - len)) == len) n = len;
    if (n == 0) break;
    s.remove_suffix(n);
  }
  return s;
}


// ---- References -----------------------------------------------------------------

namespace {

// Error texts quote the reference; keep them one line and short whatever
// the document holds between '&' and ';'.
std::string quoted(std::string_view ref) {
  constexpr std::size_t kMax = 40;
  bool cut = ref.size() > kMax;
  if (cut) {
    std::size_t n = kMax;
    while (n > 0 && (static_cast<unsigned char>(ref[n]) & 0xC0) == 0x80) --n;
    ref = ref.substr(0, n);
  }
  std::string out = "`";
  for (char c : ref) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", b);
      out += esc;
    } else {
      out += c;
    }
  }
  if (cut) out += "...";
  out += '`';
  return out;
}

int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The character of "#..." (without '&' and ';'), or 0 when it names none:
// 0 itself, surrogates and values past U+10FFFF are not characters.
std::uint32_t character_reference(std::string_view ref) {
  std::string_view digits = ref.substr(1);
  unsigned base = 10;
  if (!digits.empty() && digits[0] == 'x') {  // only lowercase: "#X41" is not hex
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  std::uint64_t v = 0;
  for (char c : digits) {
    int d = digit_value(c, base);
    if (d < 0) return 0;
    v = v * base + static_cast<unsigned>(d);
    if (v > 0x10FFFF) return 0;  // also stops any overflow
  }
  if (v >= 0xD800 && v <= 0xDFFF) return 0;
  return static_cast<std::uint32_t>(v);
}

char predefined_entity(std::string_view name) {
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "amp") return '&';
  if (name == "apos") return '\'';
  if (name == "quot") return '"';
  return 0;
}

// The reference whose `&` is at `amp`: its name, between `&` and `;`, and
// where its `;` is; false when another `&` or the end comes first.
inline bool reference_at(std::string_view text, std::size_t amp, std::string_view& ref, std::size_t& end) {
  end = amp + 1;
  while (end < text.size() && text[end] != ';' && text[end] != '&') ++end;
  if (end == text.size() || text[end] == '&') return false;
  ref = text.substr(amp + 1, end - amp - 1);
  return true;
}

// A character or predefined reference written at `out` (room for four
// bytes): how many bytes, 0 for a name that is neither, or -1 for a
// character reference that names no character.
inline int simple_reference(std::string_view ref, char* out) {
  if (!ref.empty() && ref[0] == '#') {
    const std::uint32_t cp = character_reference(ref);
    return cp == 0 ? -1 : static_cast<int>(enc::put_utf8(out, cp) - out);
  }
  const char c = predefined_entity(ref);
  if (c == 0) return 0;
  *out = c;
  return 1;
}

// The tail of `s` from the reference at `amp` on, with the text before it
// already resolved into s[0, w): rewritten into a new string, expanding
// names `entities` knows.
bool resolve_with_entities(std::string& s, std::size_t from, std::size_t w, std::size_t amp, Entities& entities,
                           XmlStreamError& err) {
  const auto fail = [&](std::string msg) {
    s.resize(from);
    err = XmlStreamError{XmlStreamError::Kind::Xml, std::move(msg)};
    return false;
  };
  const std::string_view text(s);
  std::string out;
  out.reserve(text.size() + 64);
  out.append(text.substr(0, w));
  std::string why;
  for (std::size_t i = amp;;) {
    if (amp == std::string_view::npos) amp = text.size();
    out.append(text.substr(i, amp - i));
    if (amp == text.size()) break;
    std::string_view ref;
    std::size_t end;
    if (!reference_at(text, amp, ref, end)) return fail("unterminated reference in text");
    char buf[4];
    const int n = simple_reference(ref, buf);
    if (n < 0) return fail("invalid character reference " + quoted(ref));
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else {
      switch (entities.expand(ref, out, why)) {
        case Entities::Found::Yes:
          break;
        case Entities::Found::No:
          return fail("unrecognized entity " + quoted(ref));
        case Entities::Found::Error:
          return fail(std::move(why));
      }
    }
    i = end + 1;
    amp = text.find('&', i);
  }
  s = std::move(out);
  return true;
}

}  // namespace

std::uint32_t character_reference_value(std::string_view ref) { return character_reference(ref); }

namespace {

// Copies [src, src + n) to dst, replacing the references simple_reference
// knows, 16 bytes at a time, until the end or a reference it cannot
// replace, whose offset goes to `stop` (n at the end). Returns the bytes
// written. The write position never passes the read position (a reference
// is never shorter than its character), so the 16-byte stores stay inside
// the n bytes at dst, and dst may be src itself or before it: a block is
// stored whole only when no reference in it is still to be read.
std::size_t copy_until(const char* src, std::size_t n, char* dst, std::size_t& stop) {
  const char* s = src;
  const char* const e = src + n;
  char* w = dst;
  const __m128i amp = _mm_set1_epi8('&');
  while (true) {
    while (e - s >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      if (const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, amp)))) {
        // Only the bytes before the `&`: a whole block stored here would
        // overwrite the reference when dst lies before src.
        for (const char* const amp_at = s + __builtin_ctz(m); s < amp_at;) *w++ = *s++;
        goto reference;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w), x);
      s += 16;
      w += 16;
    }
    while (s < e && *s != '&') *w++ = *s++;
    if (s == e) break;
  reference:
    // `&lt;` and `&gt;` are most of the references in escaped markup, which
    // is what long values mostly hold.
    if (e - s >= 4 && s[3] == ';' && s[2] == 't' && (s[1] == 'l' || s[1] == 'g')) {
      *w++ = s[1] == 'l' ? '<' : '>';
      s += 4;
      continue;
    }
    std::string_view ref;
    std::size_t end;
    int k = 0;
    if (reference_at(std::string_view(s, static_cast<std::size_t>(e - s)), 0, ref, end))
      k = simple_reference(ref, w);
    if (k <= 0) break;
    w += k;
    s += end + 1;
  }
  stop = static_cast<std::size_t>(s - src);
  return static_cast<std::size_t>(w - dst);
}

}  // namespace

std::size_t copy_resolving(const char* src, std::size_t n, char* dst) {
  std::size_t stop;
  const std::size_t written = copy_until(src, n, dst, stop);
  return stop == n ? written : std::string_view::npos;
}

bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err) {
  return resolve_references_in_place(s, from, err, nullptr);
}

// Rewritten in place by copy_until, which stops only at a reference that
// is bad or names another entity: that one is reported or expanded here.
bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err, Entities* entities) {
  const auto fail = [&](std::string msg) {
    s.resize(from);
    err = XmlStreamError{XmlStreamError::Kind::Xml, std::move(msg)};
    return false;
  };
  const std::string_view text(s);
  std::size_t i = text.find('&', from);  // read position
  if (i == std::string_view::npos) return true;
  char* const base = s.data();
  std::size_t w = i;  // write position
  while (true) {
    std::size_t stop;
    w += copy_until(base + i, text.size() - i, base + w, stop);
    i += stop;
    if (i == text.size()) break;
    std::string_view ref;
    std::size_t end;
    if (!reference_at(text, i, ref, end)) return fail("unterminated reference in text");
    char buf[4];
    if (simple_reference(ref, buf) < 0) return fail("invalid character reference " + quoted(ref));
    if (entities == nullptr) return fail("unrecognized entity " + quoted(ref));
    return resolve_with_entities(s, from, w, i, *entities, err);
  }
  s.resize(w);
  return true;
}

}  // namespace qk::xml
