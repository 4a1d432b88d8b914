// Public kernels: the scalar element functions, the baseline x86-64 path
// (SSE2, two lanes) and the run-time choice among the paths.

#include "kernels/kernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/kernels_isa.h"

namespace qk::kernels {
namespace {

constexpr std::size_t kLanes = 2;
using F64 = double __attribute__((vector_size(16)));
using U64 = std::uint64_t __attribute__((vector_size(16)));
using I64 = std::int64_t __attribute__((vector_size(16)));
constexpr bool kHasVectorConvert = false;

inline unsigned lane_bits(I64 m) { return _mm_movemask_pd(reinterpret_cast<__m128d>(m)); }
inline F64 sqrt_lanes(F64 x) { return reinterpret_cast<F64>(_mm_sqrt_pd(reinterpret_cast<__m128d>(x))); }

}  // namespace
}  // namespace qk::kernels

#include "kernels/kernels_simd.h"

namespace qk::kernels {
namespace {

// ---------------------------------------------------------------------------
// Floating-point environment

// The float kernels need round-to-nearest-even without flush-to-zero or
// denormals-are-zero, and masked exceptions (the vector pass computes the
// central formula on tail lanes too, which may overflow or divide by zero).
// Another library in the process may have changed the SSE control register,
// so set the default for the duration of a loop and restore the caller's.
class DefaultFpControl {
 public:
  DefaultFpControl() : saved_(_mm_getcsr()) {
    if ((saved_ & kControlBits) != kDefault) _mm_setcsr(kDefault | (saved_ & ~kControlBits));
  }
  ~DefaultFpControl() {
    if ((saved_ & kControlBits) != kDefault) _mm_setcsr(saved_);
  }
  DefaultFpControl(const DefaultFpControl&) = delete;
  DefaultFpControl& operator=(const DefaultFpControl&) = delete;

 private:
  static constexpr unsigned kControlBits = 0xffc0;  // all but the status flags
  static constexpr unsigned kDefault = 0x1f80;      // all exceptions masked, nearest
  unsigned saved_;
};

// ---------------------------------------------------------------------------
// Dispatch

Isa detect_best() {
  __builtin_cpu_init();  // may run before libgcc's own constructor
  if (isa_supported(Isa::Avx512)) return Isa::Avx512;
  if (isa_supported(Isa::Avx2)) return Isa::Avx2;
  return Isa::Baseline;
}

const Paths& paths(Isa isa) {
  while (!isa_supported(isa)) isa = static_cast<Isa>(static_cast<int>(isa) - 1);
  switch (isa) {
    case Isa::Avx512: return kAvx512Paths;
    case Isa::Avx2: return kAvx2Paths;
    case Isa::Baseline: break;
  }
  return kBaselinePaths;
}

}  // namespace

// Baseline keyed loops stay scalar: SSE2 has no 64-bit multiply worth using.
constinit const Paths kBaselinePaths = paths_with<std::uint64_t>();

bool isa_supported(Isa isa) {
  switch (isa) {
    case Isa::Baseline: return true;
    case Isa::Avx2: return __builtin_cpu_supports("avx2");
    case Isa::Avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  }
  return false;
}

Isa best_isa() {
  static const Isa best = detect_best();
  return best;
}

void inv_norm_cdf_isa(Isa isa, double* buf, std::size_t n) {
  const DefaultFpControl fp;
  paths(isa).inv_norm_cdf(buf, n);
}

void keyed_hash_isa(Isa isa, std::uint64_t* buf, std::size_t n, std::uint64_t base,
                    std::uint64_t draw) {
  paths(isa).keyed_hash(buf, n, base, draw);
}

void keyed_uniforms_isa(Isa isa, std::uint64_t* buf, std::size_t n, std::uint64_t base,
                        std::uint64_t draw) {
  const DefaultFpControl fp;
  paths(isa).keyed_uniforms(buf, n, base, draw);
}

// ---------------------------------------------------------------------------
// Public kernels

double inv_norm_cdf_one(double p) {
  const DefaultFpControl fp;
  return element_rule(p);
}

void inv_norm_cdf(double* buf, std::size_t n) { inv_norm_cdf_isa(best_isa(), buf, n); }

std::uint64_t fnv1a_64(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3u;
  }
  return h;
}

std::uint64_t mix64(std::uint64_t z) { return mix64_lanes(z); }

// The golden-ratio constant is combined with the seed by XOR, not addition.
std::uint64_t keyed_base(std::uint64_t seed, std::uint64_t ns_hash) {
  return mix64(ns_hash ^ mix64(seed ^ 0x9e3779b97f4a7c15u));
}

std::uint64_t keyed_value(std::uint64_t base, std::uint64_t key, std::uint64_t draw) {
  return keyed_lanes(key, base, draw);
}

double unit_double(std::uint64_t v) {
  const DefaultFpControl fp;
  return unit_double_lanes(v);
}

void keyed_hash(std::uint64_t* buf, std::size_t n, std::uint64_t base, std::uint64_t draw) {
  keyed_hash_isa(best_isa(), buf, n, base, draw);
}

void keyed_uniforms(std::uint64_t* buf, std::size_t n, std::uint64_t base, std::uint64_t draw) {
  keyed_uniforms_isa(best_isa(), buf, n, base, draw);
}

}  // namespace qk::kernels
