#include "xmlstream/encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Index of the first byte >= 0x80 at or after i, checking 8 bytes at a time.
inline std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ULL) break;
    i += 8;
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
// Multi-byte encodings through glibc iconv, under the names whose repertoire
// matches the web's use of each encoding.

struct IconvName {
  const char* encoding;
  const char* iconv;
  std::uint8_t slot;  // handle cache slot; GBK and gb18030 share one
};

constexpr IconvName kIconvNames[] = {
    {"GBK", "GB18030", 0},      {"gb18030", "GB18030", 0}, {"Big5", "BIG5-HKSCS", 1},
    {"EUC-JP", "EUC-JP", 2},    {"ISO-2022-JP", "ISO-2022-JP", 3},
    {"Shift_JIS", "CP932", 4},  {"EUC-KR", "CP949", 5},
};

const IconvName& iconv_name(const Encoding& e) {
  for (const IconvName& n : kIconvNames)
    if (std::strcmp(n.encoding, e.name) == 0) return n;
  __builtin_unreachable();  // every Multibyte encoding is listed
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

Decoder::~Decoder() {
  for (void* h : handles_)
    if (h) iconv_close(static_cast<iconv_t>(h));
}

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
    case Kind::Multibyte:
      if (decode_iconv(e, bytes, out)) return true;
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

bool Decoder::decode_iconv(const Encoding& e, std::string_view bytes, std::string& out) {
  const IconvName& name = iconv_name(e);
  void*& handle = handles_[name.slot];
  if (!handle) {
    iconv_t cd = iconv_open("UTF-8", name.iconv);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    handle = cd;
  }
  auto cd = static_cast<iconv_t>(handle);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // every call starts in the initial shift state

  const bool euro_80 = name.slot == 0;  // the web's GBK/gb18030 map a lone 0x80 to U+20AC
  std::size_t start = out.size(), used = start;
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  out.resize(start + in_left * 2 + 16);
  while (in_left > 0) {
    if (out.size() - used < 8) out.resize(out.size() * 2);
    char* o = out.data() + used;
    std::size_t o_left = out.size() - used;
    std::size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    used = static_cast<std::size_t>(o - out.data());
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (errno == EILSEQ && euro_80 && static_cast<unsigned char>(*in) == 0x80) {
      // iconv stops at the start of a character, so this 0x80 stands alone.
      // The characters converted before it may have left less than its
      // three bytes of room.
      if (out.size() - used < 3) out.resize(out.size() * 2);
      std::memcpy(out.data() + used, "\xE2\x82\xAC", 3);
      used += 3;
      ++in;
      --in_left;
    } else {
      out.resize(start);
      return false;
    }
  }
  out.resize(used);
  return true;
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
