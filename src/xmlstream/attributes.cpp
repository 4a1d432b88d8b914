// Attribute tokenizing, beside the reader's own: the reader hands a tag's
// attributes over unparsed, since most readings never look at them.
#include "xmlstream/attributes.h"

#include <cstdint>

#include <emmintrin.h>

#include "xmlstream/key_index.h"
#include "xmlstream/scan.h"

namespace qk::xml {

namespace {

// An attribute value: where its closing quote is, and whether the bytes
// before it hold a '&' or a byte above 0x7F, found in one pass, 16 bytes at
// a time (values such as escaped HTML bodies run to kilobytes).
struct ValueScan {
  std::size_t end;  // npos when the quote is missing
  bool amp, high;
};
ValueScan scan_value(std::string_view tag, std::size_t from, char quote) {
  const char* const base = tag.data();
  const char* p = base + from;
  const char* const e = base + tag.size();
  const __m128i vq = _mm_set1_epi8(quote), va = _mm_set1_epi8('&');
  unsigned amp = 0, high = 0;
  for (; e - p >= 16; p += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned q = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vq)));
    const unsigned a = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, va)));
    const unsigned h = static_cast<unsigned>(_mm_movemask_epi8(x));
    if (q) {
      const unsigned before = (1u << __builtin_ctz(q)) - 1;
      return {static_cast<std::size_t>(p - base) + __builtin_ctz(q), (amp | (a & before)) != 0,
              (high | (h & before)) != 0};
    }
    amp |= a;
    high |= h;
  }
  for (; p < e; ++p) {
    if (*p == quote) return {static_cast<std::size_t>(p - base), amp != 0, high != 0};
    amp |= *p == '&';
    high |= static_cast<unsigned char>(*p) >> 7;
  }
  return {std::string_view::npos, false, false};
}

ValueScan find_quote(std::string_view tag, std::size_t from, char quote) {
  return {tag.find(quote, from), false, false};
}

// Where the attribute name starting at `i` ends: at white space or '='.
// Any control byte ends it too, leaving the error to the checks after it.
std::size_t name_end(std::string_view tag, std::size_t i) {
  const std::size_t n = tag.size();
  const __m128i eq = _mm_set1_epi8('='), space = _mm_set1_epi8(' ');
  for (; n - i >= 16; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tag.data() + i));
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(x, eq), _mm_cmpeq_epi8(_mm_min_epu8(x, space), x));
    if (const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(stop))) return i + __builtin_ctz(m);
  }
  while (i < n && static_cast<unsigned char>(tag[i]) > ' ' && tag[i] != '=') ++i;
  return i;
}

}  // namespace

void tokenize_attributes(std::string_view tag, std::size_t from, bool flags, AttributeList& out) {
  out.items.clear();
  out.error = nullptr;
  const std::size_t n = tag.size();
  std::size_t i = from;
  // One bit per name length and last byte: a repeated name is rare, and
  // this leaves the comparisons to the names that may be one.
  std::uint64_t seen = 0;
  const auto skip_space = [&] {
    while (i < n && scan::is_ws(tag[i])) ++i;
  };
  const auto fail = [&](const char* what) { out.error = what; };
  while (true) {
    const std::size_t before = i;
    skip_space();
    if (i >= n) return;
    if (i == before) return fail("no white space before an attribute");
    const std::size_t name_at = i;
    i = name_end(tag, i);
    if (i == name_at) return fail("attribute without a name");
    Attribute a;
    a.name = tag.substr(name_at, i - name_at);
    skip_space();
    if (i >= n || tag[i] != '=') return fail("attribute without a value");
    ++i;
    skip_space();
    if (i >= n || (tag[i] != '"' && tag[i] != '\'')) return fail("attribute value not quoted");
    const ValueScan v = flags ? scan_value(tag, i + 1, tag[i]) : find_quote(tag, i + 1, tag[i]);
    if (v.end == std::string_view::npos) return fail("attribute value not closed");
    a.raw = tag.substr(i + 1, v.end - i - 1);
    a.amp = v.amp;
    a.high = v.high;
    i = v.end + 1;
    const std::uint64_t bit = std::uint64_t{1}
                              << ((a.name.size() * 7 + static_cast<unsigned char>(a.name.back())) & 63);
    if (seen & bit) {
      for (const Attribute& b : out.items)
        if (same_bytes(b.name, a.name)) return fail("repeated attribute");
    }
    seen |= bit;
    out.items.push_back(a);
  }
}

}  // namespace qk::xml
