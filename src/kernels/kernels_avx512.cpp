// The AVX-512 path: eight lanes, with the 64-bit multiply (vpmullq) and the
// 64-bit integer to double conversion of AVX-512 DQ.

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/kernels_isa.h"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")

namespace qk::kernels {
namespace {

constexpr std::size_t kLanes = 8;
using F64 = double __attribute__((vector_size(64)));
using U64 = std::uint64_t __attribute__((vector_size(64)));
using I64 = std::int64_t __attribute__((vector_size(64)));
constexpr bool kHasVectorConvert = true;

inline unsigned lane_bits(I64 m) { return _mm512_movepi64_mask(reinterpret_cast<__m512i>(m)); }
inline F64 sqrt_lanes(F64 x) { return reinterpret_cast<F64>(_mm512_maskz_sqrt_pd(0xff, reinterpret_cast<__m512d>(x))); }

}  // namespace
}  // namespace qk::kernels

#include "kernels/kernels_simd.h"

namespace qk::kernels {
constinit const Paths kAvx512Paths = paths_with<U64>();
}  // namespace qk::kernels

#pragma GCC pop_options
