#include "xmlstream/encoding.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qk::xml::enc {

namespace {

struct LabelEntry {
  const char* label;
  std::uint8_t encoding;  // index into kEncodings
};

#include "xmlstream/encoding_tables.inc"

const Encoding& by_name(std::string_view name) {
  for (const Encoding& e : kEncodings)
    if (name == e.name) return e;
  __builtin_unreachable();  // only called with names the table holds
}

// ---------------------------------------------------------------------------
// UTF-8 helpers

// Index of the first byte >= 0x80 at or after i, checking 16 bytes at a
// time, then 8.
inline std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const int m = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(m)));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    w &= 0x8080808080808080ULL;
    if (w != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return i + static_cast<std::size_t>(std::countr_zero(w) / 8);
      break;
    }
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

inline void append_utf8(std::string& out, char32_t cp) {
  char b[4];
  out.append(b, static_cast<std::size_t>(put_utf8(b, cp) - b));
}

// ---------------------------------------------------------------------------
// Table-driven decoders: ASCII runs are copied whole, high bytes mapped.

template <class Map>
bool decode_high_half(std::string_view bytes, std::string& out, Map map) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), start = out.size(), i = 0;
  out.reserve(start + n + n / 2);
  while (i < n) {
    std::size_t j = skip_ascii(p, i, n);
    out.append(bytes.data() + i, j - i);
    if (j == n) break;
    char32_t cp = map(p[j]);
    if (cp == 0) {
      out.resize(start);
      return false;
    }
    append_utf8(out, cp);
    i = j + 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Multi-byte decoders, written to match the web's decoders for each encoding
// exactly, with every decoder error fatal. The byte a web decoder "prepends"
// back after a bad sequence never matters here: the sequence is an error
// either way, and an error ends decoding.
//
// Each decoder writes into room sized for the worst case, three output bytes
// per input byte (a lone byte that decodes outside ASCII, such as halfwidth
// katakana or gb18030's 0x80, gives at most three), and returns the end of
// what it wrote, or null on a malformed or unfinished sequence.

#include "xmlstream/encoding_cjk_tables.inc"

using Byte = unsigned char;

inline bool in(Byte b, Byte lo, Byte hi) { return static_cast<Byte>(b - lo) <= static_cast<Byte>(hi - lo); }

// Code point of `pointer` in a pointer-indexed table, 0 when it has none.
template <std::size_t N>
inline char32_t at(const std::uint16_t (&index)[N], std::size_t pointer) {
  return pointer < N ? index[pointer] : 0;
}

// Copies the ASCII run at p (which holds at least one ASCII byte) to o.
inline void copy_ascii(const Byte*& p, const Byte* e, char*& o) {
  const std::size_t len = skip_ascii(p, 0, static_cast<std::size_t>(e - p));
  std::memcpy(o, p, len);
  p += len;
  o += len;
}

char* decode_shift_jis(const Byte* p, const Byte* e, char* o) {
  while (p < e) {
    const Byte b = *p;
    if (b < 0x80) {
      copy_ascii(p, e, o);
      continue;
    }
    if (b == 0x80) {
      o = put_utf8(o, 0x80);
      ++p;
    } else if (in(b, 0xA1, 0xDF)) {
      o = put_utf8(o, 0xFF61 - 0xA1 + b);
      ++p;
    } else if (in(b, 0x81, 0x9F) || in(b, 0xE0, 0xFC)) {
      if (e - p < 2) return nullptr;
      const Byte t = p[1];
      if (!in(t, 0x40, 0x7E) && !in(t, 0x80, 0xFC)) return nullptr;
      const std::size_t pointer =
          static_cast<std::size_t>(b - (b < 0xA0 ? 0x81 : 0xC1)) * 188 + t - (t < 0x7F ? 0x40 : 0x41);
      // The user-defined area, rows 95 to 114, is the private use area.
      char32_t cp = pointer >= 8836 && pointer <= 10715 ? 0xE000 - 8836 + pointer : at(kIndex_jis0208, pointer);
      if (cp == 0) return nullptr;
      o = put_utf8(o, cp);
      p += 2;
    } else {
      return nullptr;
    }
  }
  return o;
}

char* decode_euc_jp(const Byte* p, const Byte* e, char* o) {
  while (p < e) {
    const Byte b = *p;
    if (b < 0x80) {
      copy_ascii(p, e, o);
      continue;
    }
    if (e - p < 2) return nullptr;
    const Byte t = p[1];
    char32_t cp = 0;
    if (b == 0x8E) {  // halfwidth katakana
      if (!in(t, 0xA1, 0xDF)) return nullptr;
      cp = 0xFF61 - 0xA1 + t;
      p += 2;
    } else if (b == 0x8F) {  // JIS X 0212, three bytes
      if (e - p < 3 || !in(t, 0xA1, 0xFE) || !in(p[2], 0xA1, 0xFE)) return nullptr;
      cp = at(kIndex_jis0212, static_cast<std::size_t>(t - 0xA1) * 94 + p[2] - 0xA1);
      p += 3;
    } else if (in(b, 0xA1, 0xFE)) {
      if (!in(t, 0xA1, 0xFE)) return nullptr;
      cp = at(kIndex_jis0208, static_cast<std::size_t>(b - 0xA1) * 94 + t - 0xA1);
      p += 2;
    }
    if (cp == 0) return nullptr;
    o = put_utf8(o, cp);
  }
  return o;
}

char* decode_euc_kr(const Byte* p, const Byte* e, char* o) {
  while (p < e) {
    const Byte b = *p;
    if (b < 0x80) {
      copy_ascii(p, e, o);
      continue;
    }
    if (!in(b, 0x81, 0xFE) || e - p < 2 || !in(p[1], 0x41, 0xFE)) return nullptr;
    const char32_t cp = at(kIndex_euc_kr, static_cast<std::size_t>(b - 0x81) * 190 + p[1] - 0x41);
    if (cp == 0) return nullptr;
    o = put_utf8(o, cp);
    p += 2;
  }
  return o;
}

char* decode_big5(const Byte* p, const Byte* e, char* o) {
  while (p < e) {
    const Byte b = *p;
    if (b < 0x80) {
      copy_ascii(p, e, o);
      continue;
    }
    if (!in(b, 0x81, 0xFE) || e - p < 2) return nullptr;
    const Byte t = p[1];
    if (!in(t, 0x40, 0x7E) && !in(t, 0xA1, 0xFE)) return nullptr;
    const std::size_t pointer = static_cast<std::size_t>(b - 0x81) * 157 + t - (t < 0x7F ? 0x40 : 0x62);
    p += 2;
    // Four pointers decode to a letter and a combining mark.
    if (pointer == 1133 || pointer == 1135 || pointer == 1164 || pointer == 1166) {
      o = put_utf8(o, pointer < 1164 ? 0xCA : 0xEA);
      o = put_utf8(o, pointer == 1133 || pointer == 1164 ? 0x304 : 0x30C);
      continue;
    }
    char32_t cp = at(kIndex_big5, pointer);
    if (cp == 0) return nullptr;
    if (kIndex_big5_plane2[pointer / 32] >> (pointer % 32) & 1) cp += 0x20000;
    o = put_utf8(o, cp);
  }
  return o;
}

// Code point of a four-byte gb18030 pointer, 0 for none.
char32_t gb18030_range(std::uint32_t pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
  if (pointer == 7457) return 0xE7C7;
  const std::uint32_t* first = std::upper_bound(std::begin(kGb18030RangePointer),
                                                std::end(kGb18030RangePointer), pointer) - 1;
  const std::size_t k = static_cast<std::size_t>(first - kGb18030RangePointer);
  return kGb18030RangeCodePoint[k] + (pointer - *first);
}

char* decode_gb18030(const Byte* p, const Byte* e, char* o) {
  while (p < e) {
    const Byte b = *p;
    if (b < 0x80) {
      copy_ascii(p, e, o);
      continue;
    }
    char32_t cp = 0;
    if (b == 0x80) {
      cp = 0x20AC;
      ++p;
    } else if (in(b, 0x81, 0xFE) && e - p >= 2) {
      const Byte t = p[1];
      if (in(t, 0x30, 0x39)) {
        if (e - p < 4 || !in(p[2], 0x81, 0xFE) || !in(p[3], 0x30, 0x39)) return nullptr;
        cp = gb18030_range(static_cast<std::uint32_t>(b - 0x81) * 12600 + (t - 0x30) * 1260 +
                           (p[2] - 0x81) * 10 + (p[3] - 0x30));
        p += 4;
      } else if (in(t, 0x40, 0x7E) || in(t, 0x80, 0xFE)) {
        cp = at(kIndex_gb18030, static_cast<std::size_t>(b - 0x81) * 190 + t - (t < 0x7F ? 0x40 : 0x41));
        p += 2;
      }
    }
    if (cp == 0) return nullptr;
    o = put_utf8(o, cp);
  }
  return o;
}

// ISO-2022-JP: ASCII in its initial mode, so text starts like ASCII text
// up to the first byte that is not ASCII or is ESC, SO or SI.
inline std::size_t skip_iso2022_ascii(const Byte* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  const __m128i esc = _mm_set1_epi8(0x1B), so_si = _mm_set1_epi8(0x0E), low_bit = _mm_set1_epi8(~1);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, esc), _mm_cmpeq_epi8(_mm_and_si128(v, low_bit), so_si));
    const int m = _mm_movemask_epi8(_mm_or_si128(v, hit));
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(m)));
  }
#endif
  while (i < n && p[i] < 0x80 && p[i] != 0x1B && (p[i] & 0xFE) != 0x0E) ++i;
  return i;
}

char* decode_iso2022jp(const Byte* p, const Byte* e, char* o) {
  enum class Mode { Ascii, Roman, Katakana, Jis0208 } mode = Mode::Ascii;
  // Set by an escape sequence, cleared by any character: two escape
  // sequences in a row are malformed.
  bool after_escape = false;
  while (p < e) {
    const Byte b = *p;
    if (b == 0x1B) {
      if (e - p < 3 || after_escape) return nullptr;
      const Byte b1 = p[1], b2 = p[2];
      if (b1 == 0x28 && b2 == 0x42)
        mode = Mode::Ascii;
      else if (b1 == 0x28 && b2 == 0x4A)
        mode = Mode::Roman;
      else if (b1 == 0x28 && b2 == 0x49)
        mode = Mode::Katakana;
      else if (b1 == 0x24 && (b2 == 0x40 || b2 == 0x42))
        mode = Mode::Jis0208;
      else
        return nullptr;
      after_escape = true;
      p += 3;
      continue;
    }
    after_escape = false;
    switch (mode) {
      case Mode::Ascii: {
        const std::size_t len = skip_iso2022_ascii(p, 0, static_cast<std::size_t>(e - p));
        if (len == 0) return nullptr;  // SO, SI or a byte above 0x7F
        std::memcpy(o, p, len);
        o += len;
        p += len;
        break;
      }
      case Mode::Roman:
        if (b >= 0x80 || b == 0x0E || b == 0x0F) return nullptr;
        o = put_utf8(o, b == 0x5C ? 0xA5 : b == 0x7E ? 0x203E : b);
        ++p;
        break;
      case Mode::Katakana:
        if (!in(b, 0x21, 0x5F)) return nullptr;
        o = put_utf8(o, 0xFF61 - 0x21 + b);
        ++p;
        break;
      case Mode::Jis0208: {
        if (!in(b, 0x21, 0x7E) || e - p < 2 || !in(p[1], 0x21, 0x7E)) return nullptr;
        const char32_t cp = at(kIndex_jis0208, static_cast<std::size_t>(b - 0x21) * 94 + p[1] - 0x21);
        if (cp == 0) return nullptr;
        o = put_utf8(o, cp);
        p += 2;
        break;
      }
    }
  }
  return o;
}

// Runs `fn` over `bytes`, appending its output to `out`. Text that is ASCII
// all through (for ISO-2022-JP: holds no ESC, SO or SI either) is copied
// as it is.
template <class Skip, class Fn>
bool decode_multibyte(std::string_view bytes, std::string& out, Skip skip, Fn fn) {
  const auto* p = reinterpret_cast<const Byte*>(bytes.data());
  const std::size_t n = bytes.size(), i = skip(p, 0, n), start = out.size();
  if (i == n) {
    out.append(bytes);
    return true;
  }
  out.resize(start + i + 3 * (n - i));
  char* o = out.data() + start;
  std::memcpy(o, p, i);
  char* end = fn(p + i, p + n, o + i);
  if (end == nullptr) {
    out.resize(start);
    return false;
  }
  out.resize(static_cast<std::size_t>(end - out.data()));
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lookup

const Encoding* lookup_label(std::string_view label) {
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; };
  while (!label.empty() && ws(label.front())) label.remove_prefix(1);
  while (!label.empty() && ws(label.back())) label.remove_suffix(1);
  char lower[32];
  if (label.empty() || label.size() > sizeof lower) return nullptr;
  for (std::size_t i = 0; i < label.size(); ++i) {
    char c = label[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  std::string_view key(lower, label.size());
  const LabelEntry* end = std::end(kLabels);
  const LabelEntry* it = std::lower_bound(std::begin(kLabels), end, key,
                                          [](const LabelEntry& e, std::string_view k) { return e.label < k; });
  if (it == end || it->label != key) return nullptr;
  return &kEncodings[it->encoding];
}

const Encoding* by_exact_name(std::string_view name) {
  for (const Encoding& e : kEncodings)
    if (name == e.name) return &e;
  return nullptr;
}

const Encoding& utf8() {
  static const Encoding& e = by_name("UTF-8");
  return e;
}
const Encoding& utf16be() {
  static const Encoding& e = by_name("UTF-16BE");
  return e;
}
const Encoding& utf16le() {
  static const Encoding& e = by_name("UTF-16LE");
  return e;
}

bool is_utf16(const Encoding& e) { return e.kind == Kind::Utf16BE || e.kind == Kind::Utf16LE; }

// ---------------------------------------------------------------------------
// UTF-8 checks

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  for (;;) {
    i = skip_ascii(p, i, n);
    if (i == n) return true;
    const int len = utf8_sequence(p + i, n - i);
    if (len < 0) return false;
    i += static_cast<std::size_t>(len);
  }
}

void append_printable(std::string& out, std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    const int len = utf8_sequence(p + i, n - i);
    if (len < 0 || (len == 1 && (p[i] < 0x20 || p[i] == 0x7F))) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.data() + i, static_cast<std::size_t>(len));
      i += len;
    }
  }
}

// ---------------------------------------------------------------------------
// Decoder

bool Decoder::decode(const Encoding& e, std::string_view bytes, std::string& out, std::string& err) {
  bool ok = true;
  switch (e.kind) {
    case Kind::Utf8:
      ok = valid_utf8(bytes);
      if (!ok) err = "invalid UTF-8 in text";
      break;
    case Kind::Utf16BE:
    case Kind::Utf16LE:
      // The source already turned the document into UTF-8; what is invalid
      // now was an unpaired surrogate or a dangling byte.
      ok = valid_utf8(bytes);
      if (!ok) err = std::string("malformed ") + e.name + " text: unpaired surrogate or incomplete code unit";
      break;
    case Kind::SingleByte:
      if (decode_high_half(bytes, out, [&](unsigned char b) -> char32_t { return e.table[b - 0x80]; }))
        return true;
      ok = false;
      break;
    case Kind::XUserDefined:
      return decode_high_half(bytes, out, [](unsigned char b) -> char32_t { return 0xF780 + (b - 0x80); });
    case Kind::ShiftJis:
      if (decode_multibyte(bytes, out, skip_ascii, decode_shift_jis)) return true;
      ok = false;
      break;
    case Kind::EucJp:
      if (decode_multibyte(bytes, out, skip_ascii, decode_euc_jp)) return true;
      ok = false;
      break;
    case Kind::Iso2022Jp:
      if (decode_multibyte(bytes, out, skip_iso2022_ascii, decode_iso2022jp)) return true;
      ok = false;
      break;
    case Kind::EucKr:
      if (decode_multibyte(bytes, out, skip_ascii, decode_euc_kr)) return true;
      ok = false;
      break;
    case Kind::Big5:
      if (decode_multibyte(bytes, out, skip_ascii, decode_big5)) return true;
      ok = false;
      break;
    case Kind::Gb18030:
      if (decode_multibyte(bytes, out, skip_ascii, decode_gb18030)) return true;
      ok = false;
      break;
    case Kind::Replacement:
      if (bytes.empty()) return true;
      err = "text cannot be decoded: the document's encoding is `replacement`";
      return false;
  }
  if (ok) {
    out.append(bytes);
  } else if (err.empty()) {
    err = std::string("malformed ") + e.name + " byte sequence";
  }
  return ok;
}

// ---------------------------------------------------------------------------
// UTF-16 transcoding

namespace {
constexpr char kInvalid = static_cast<char>(0xFF);
}

std::size_t Utf16Transcoder::feed(const unsigned char* in, std::size_t n, char* out) {
  char* o = out;
  auto unit = [&](unsigned char a, unsigned char b) {
    char16_t u = big_endian_ ? static_cast<char16_t>(a << 8 | b) : static_cast<char16_t>(b << 8 | a);
    if (high_) {
      if (u >= 0xDC00 && u <= 0xDFFF) {
        o = put_utf8(o, 0x10000 + ((static_cast<char32_t>(high_) - 0xD800) << 10) + (u - 0xDC00));
        high_ = 0;
        return;
      }
      *o++ = kInvalid;
      high_ = 0;
    }
    if (u >= 0xD800 && u <= 0xDBFF)
      high_ = u;
    else if (u >= 0xDC00 && u <= 0xDFFF)
      *o++ = kInvalid;
    else
      o = put_utf8(o, u);
  };
  std::size_t i = 0;
  if (odd_byte_ >= 0 && n > 0) {
    unit(static_cast<unsigned char>(odd_byte_), in[0]);
    odd_byte_ = -1;
    i = 1;
  }
  for (; i + 1 < n; i += 2) unit(in[i], in[i + 1]);
  if (i < n) odd_byte_ = in[i];
  return static_cast<std::size_t>(o - out);
}

std::size_t Utf16Transcoder::finish(char* out) {
  char* o = out;
  if (high_) *o++ = kInvalid;
  if (odd_byte_ >= 0) *o++ = kInvalid;
  high_ = 0;
  odd_byte_ = -1;
  return static_cast<std::size_t>(o - out);
}

// ---------------------------------------------------------------------------
// First bytes

Sniffed sniff(std::string_view first_bytes) {
  using namespace std::string_view_literals;  // the signatures hold NUL bytes
  if (first_bytes.starts_with("\xEF\xBB\xBF"sv)) return {&utf8(), 3};
  if (first_bytes.starts_with("\xFE\xFF"sv)) return {&utf16be(), 2};
  if (first_bytes.starts_with("\xFF\xFE"sv)) return {&utf16le(), 2};
  if (first_bytes.starts_with("\0<\0?"sv)) return {&utf16be(), 0};
  if (first_bytes.starts_with("<\0?\0"sv)) return {&utf16le(), 0};
  return {&utf8(), 0};
}

}  // namespace qk::xml::enc
