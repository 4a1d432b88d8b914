// Scanning primitives of the tokenizer: the character-class table, SSE2
// searches over the read window, and the stack of open-element names.
//
// Everything here runs for nearly every byte or event, so it lives in a
// header, inline, where the tokenizer's fast path can fold it into its own
// loop. The searches may load up to 15 bytes past the end they are given,
// so they are for ranges inside the source's padded window.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace qk::xml::scan {

// ---------------------------------------------------------------------------
// Character classes

inline constexpr std::uint8_t kWs = 1;

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r'}) t[c] |= kWs;
  return t;
}
inline constexpr std::array<std::uint8_t, 256> kClass = make_classes();

inline bool is_ws(char c) { return kClass[static_cast<unsigned char>(c)] & kWs; }

// ---------------------------------------------------------------------------
// Searches

// First of three bytes in [p, e), 16 bytes at a time. May load up to 15
// bytes past `e`, which the window's padding keeps inside the allocation.
inline const char* find3(const char* p, const char* e, char a, char b, char c) {
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; p < e; p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                               _mm_cmpeq_epi8(x, vc));
    if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
      const char* q = p + __builtin_ctz(m);
      return q < e ? q : nullptr;
    }
  }
  return nullptr;
}

// First `c` in [p, e). Most distances between markup characters are short,
// where a call to memchr costs more than the search, so the first 64 bytes
// are searched inline (over-reading like find3) and memchr takes the rest.
inline const char* find1(const char* p, const char* e, char c) {
  const __m128i vc = _mm_set1_epi8(c);
  for (int i = 0; i < 4 && p < e; ++i, p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vc)))) {
      const char* q = p + __builtin_ctz(m);
      return q < e ? q : nullptr;
    }
  }
  return p < e ? static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(e - p))) : nullptr;
}

// Bytes of `x` that may end a tag: '>' and both quotes.
inline __m128i tag_ends(__m128i x) {
  return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('>')), _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))),
                      _mm_cmpeq_epi8(x, _mm_set1_epi8('\'')));
}

// Offset of the first whitespace byte in [p, e), or e - p. Over-reads like
// find3. Bytes up to ' ' are candidates, checked against the table, since
// other control bytes are rare in tags.
inline std::size_t ws_offset(const char* p, const char* e) {
  const __m128i space = _mm_set1_epi8(' ');
  for (const char* b = p; b < e; b += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, space), x)));
    for (; m; m &= m - 1) {
      const char* q = b + __builtin_ctz(m);
      if (q >= e) break;
      if (is_ws(*q)) return static_cast<std::size_t>(q - p);
    }
  }
  return static_cast<std::size_t>(e - p);
}

// Offset of the first byte in the 16 at `p` that is white space (or
// another byte up to ' '), '>', '/' or a quote, none of which a name
// holds; 16 when there is none. Over-reads like find3.
inline std::size_t name_end(const char* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(' ')), x);
  const __m128i ends = _mm_or_si128(tag_ends(x), _mm_cmpeq_epi8(x, _mm_set1_epi8('/')));
  const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, ends))) | 0x10000u;
  return static_cast<std::size_t>(__builtin_ctz(m));
}

// ---------------------------------------------------------------------------
// Structural index

// The bytes that delimit tags, one bit per byte of a 64-byte block (bit i
// for byte i). The window is classified a refill at a time, so the reader's
// walk through a record's inside (Reader::skip_element) finds its tags with
// shifts and ctz over these words instead of a vector load per search.
struct Block {
  std::uint64_t lt, gt, dq, sq;  // '<', '>', '"', '\''
};

// The classifier's implementations; which ones run depends on the CPU.
enum class Isa : std::uint8_t { Scalar, Sse2, Avx2, Avx512 };
const char* isa_name(Isa isa);
// Whether this CPU (and build) can run `isa`.
bool isa_supported(Isa isa);

// Classifies the `n` bytes at `p` into ceil(n / 64) blocks at `out`; bits of
// bytes past `n` are clear. Reads whole blocks, so up to 63 bytes past
// `p + n` must be readable (the window's padding).
using ClassifyFn = void (*)(const char* p, std::size_t n, Block* out);
// The implementation for `isa`, which must be supported.
ClassifyFn classifier(Isa isa);

// The one in use: the best this CPU has, chosen at first use, unless the
// environment variable QK_SIMD (avx512, avx2, sse2 or scalar, read once)
// names another; a name the CPU cannot run falls back to the best it can.
// Every implementation gives the same bits, so this only changes speed; the
// variable lets tests run the whole reader on each.
Isa active_isa();
ClassifyFn active_classifier();
// Tests only: uses `isa` from now on (it must be supported).
void force_isa(Isa isa);

// The first byte at or after offset `from` whose bit `mask(block)` sets.
// The blocks must end with a sentinel whose bits are all set, after the
// block holding `from` at the latest: a search that finds nothing then
// stops there, at an offset past the classified bytes, without a bound to
// test on the way.
template <class Mask>
[[gnu::always_inline]] inline std::size_t next_bit(const Block* b, std::size_t from, Mask mask) {
  std::size_t w = from >> 6;
  std::uint64_t x = mask(b[w]) >> (from & 63);
  if (x) return from + static_cast<std::size_t>(__builtin_ctzll(x));
  do x = mask(b[++w]);
  while (!x);
  return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(x));
}

// A sentinel for next_bit.
inline constexpr Block kSentinel{~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}};

// ---------------------------------------------------------------------------
// Open-element names

// Open-element names back to back. Names are short, so with 16 bytes of
// slack behind the last one a name from the (padded) window is copied and
// compared in one 16-byte load instead of calls to memcpy and memcmp.
class NameStack {
 public:
  bool empty() const { return starts_.empty(); }
  // Whether any name was ever pushed (the first allocates).
  bool ever_pushed() const { return cap_ != 0; }
  std::size_t size() const { return starts_.size(); }
  // The `i`th name, outermost first.
  std::string_view at(std::size_t i) const {
    const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : size_;
    return {bytes_.get() + starts_[i], end - starts_[i]};
  }
  std::string_view top() const { return {bytes_.get() + starts_.back(), size_ - starts_.back()}; }
  std::size_t top_size() const { return size_ - starts_.back(); }
  void pop() {
    size_ = starts_.back();
    starts_.pop_back();
  }

  // `padded`: 16 bytes may be read from `src` whatever `n` is.
  [[gnu::always_inline]] void push(const char* src, std::size_t n, bool padded) {
    if (n >= cap_ - size_) grow(n);  // also allocates for the first, maybe empty, name
    char* dst = bytes_.get() + size_;
    if (padded && n <= 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
    else
      std::memcpy(dst, src, n);
    starts_.push_back(size_);
    size_ += n;
  }

  // Whether `src` holds the innermost name and then `c`, the first `c`
  // there (a malformed name may hold one), told by one 16-byte compare;
  // false for a name of 16 bytes or more too, which top_is can still
  // compare. 16 bytes may be read from `src`.
  bool top_then(const char* src, char c) const {
    const std::size_t at = starts_.back();
    const std::size_t n = size_ - at;
    if (n >= 16) return false;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_.get() + at));
    const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
    const unsigned then = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_set1_epi8(c))));
    const unsigned want = (1u << n) - 1;
    return ((same & want) == want) & ((then & (want | (want + 1))) == want + 1);
  }

  // Whether the innermost name is the `n` bytes at `src`.
  bool top_is(const char* src, std::size_t n, bool padded) const {
    const std::size_t at = starts_.back();
    if (n != size_ - at) return false;
    if (!padded || n > 16) return std::memcmp(src, bytes_.get() + at, n) == 0;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_.get() + at));
    const unsigned diff = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
    return (diff & ((1u << n) - 1)) == 0;
  }

 private:
  static constexpr std::size_t kSlack = 16;

  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t cap = std::max(2 * cap_, size_ + n + 240);
    std::unique_ptr<char[]> b(new char[cap + kSlack]());
    if (size_) std::memcpy(b.get(), bytes_.get(), size_);
    bytes_ = std::move(b);
    cap_ = cap;
  }

  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0, cap_ = 0;
  std::vector<std::size_t> starts_;
};

}  // namespace qk::xml::scan
