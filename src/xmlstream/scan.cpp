// The structural classifier (scan.h) for each instruction set, and the
// choice among them. The module is built for baseline x86-64, so the wider
// ones are compiled per function and picked at run time.
#include "xmlstream/scan.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qk::xml::scan {

namespace {

void classify_scalar(const char* p, std::size_t n, Block* out) {
  for (std::size_t at = 0; at < n; at += 64, ++out) {
    Block b{0, 0, 0, 0};
    const std::size_t k = n - at < 64 ? n - at : 64;
    for (std::size_t i = 0; i < k; ++i) {
      const std::uint64_t bit = std::uint64_t{1} << i;
      switch (p[at + i]) {
        case '<': b.lt |= bit; break;
        case '>': b.gt |= bit; break;
        case '"': b.dq |= bit; break;
        case '\'': b.sq |= bit; break;
        default: break;
      }
    }
    *out = b;
  }
}

// Bits of the bytes before `k` (1..64) of a block.
inline std::uint64_t below(std::size_t k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; }

#if defined(__x86_64__)

inline std::uint64_t eq16(__m128i a, __m128i b, __m128i c, __m128i d, __m128i v) {
  const auto m = [&](__m128i x) { return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v)))); };
  return m(a) | m(b) << 16 | m(c) << 32 | m(d) << 48;
}

void classify_sse2(const char* p, std::size_t n, Block* out) {
  const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
  for (std::size_t at = 0; at < n; at += 64, ++out) {
    const char* q = p + at;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 48));
    const std::uint64_t keep = below(n - at);
    *out = {eq16(a, b, c, d, lt) & keep, eq16(a, b, c, d, gt) & keep, eq16(a, b, c, d, dq) & keep,
            eq16(a, b, c, d, sq) & keep};
  }
}

__attribute__((target("avx2"))) inline std::uint64_t eq32(__m256i a, __m256i b, __m256i v) {
  const std::uint64_t lo = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, v)));
  const std::uint64_t hi = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, v)));
  return lo | hi << 32;
}

__attribute__((target("avx2"))) void classify_avx2(const char* p, std::size_t n, Block* out) {
  const __m256i lt = _mm256_set1_epi8('<'), gt = _mm256_set1_epi8('>'), dq = _mm256_set1_epi8('"'),
                sq = _mm256_set1_epi8('\'');
  for (std::size_t at = 0; at < n; at += 64, ++out) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at + 32));
    const std::uint64_t keep = below(n - at);
    *out = {eq32(a, b, lt) & keep, eq32(a, b, gt) & keep, eq32(a, b, dq) & keep, eq32(a, b, sq) & keep};
  }
}

__attribute__((target("avx512f,avx512bw"))) void classify_avx512(const char* p, std::size_t n, Block* out) {
  const __m512i lt = _mm512_set1_epi8('<'), gt = _mm512_set1_epi8('>'), dq = _mm512_set1_epi8('"'),
                sq = _mm512_set1_epi8('\'');
  for (std::size_t at = 0; at < n; at += 64, ++out) {
    const __m512i x = _mm512_loadu_si512(p + at);
    const std::uint64_t keep = below(n - at);
    *out = {_mm512_cmpeq_epi8_mask(x, lt) & keep, _mm512_cmpeq_epi8_mask(x, gt) & keep,
            _mm512_cmpeq_epi8_mask(x, dq) & keep, _mm512_cmpeq_epi8_mask(x, sq) & keep};
  }
}

#endif

Isa best_isa() {
#if defined(__x86_64__)
  __builtin_cpu_init();  // may run before libgcc's own constructor
#endif
  for (Isa isa : {Isa::Avx512, Isa::Avx2, Isa::Sse2})
    if (isa_supported(isa)) return isa;
  return Isa::Scalar;
}

Isa chosen_isa() {
  Isa isa = best_isa();
  if (const char* want = std::getenv("QK_SIMD")) {
    for (Isa i : {Isa::Scalar, Isa::Sse2, Isa::Avx2, Isa::Avx512})
      if (std::strcmp(want, isa_name(i)) == 0 && isa_supported(i)) isa = i;
  }
  return isa;
}

// Chosen at first use; a race between first uses picks the same one twice.
std::atomic<ClassifyFn> active{nullptr};
std::atomic<Isa> active_kind{Isa::Scalar};

void set_active(Isa isa) {
  active_kind.store(isa, std::memory_order_relaxed);
  active.store(classifier(isa), std::memory_order_release);
}

}  // namespace

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Avx512: return "avx512";
    case Isa::Avx2: return "avx2";
    case Isa::Sse2: return "sse2";
    case Isa::Scalar: break;
  }
  return "scalar";
}

bool isa_supported(Isa isa) {
  switch (isa) {
    case Isa::Scalar:
      return true;
#if defined(__x86_64__)
    case Isa::Sse2:
      return true;  // part of x86-64
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
    default:
      return false;
  }
}

ClassifyFn classifier(Isa isa) {
  switch (isa) {
#if defined(__x86_64__)
    case Isa::Sse2: return classify_sse2;
    case Isa::Avx2: return classify_avx2;
    case Isa::Avx512: return classify_avx512;
#endif
    default: return classify_scalar;
  }
}

ClassifyFn active_classifier() {
  ClassifyFn f = active.load(std::memory_order_acquire);
  if (f == nullptr) {
    set_active(chosen_isa());
    f = active.load(std::memory_order_acquire);
  }
  return f;
}

Isa active_isa() {
  active_classifier();
  return active_kind.load(std::memory_order_relaxed);
}

void force_isa(Isa isa) { set_active(isa_supported(isa) ? isa : best_isa()); }

}  // namespace qk::xml::scan
