// The AVX2 path: four lanes. AVX2 has neither a 64-bit multiply nor a 64-bit
// integer to double conversion; GCC builds the multiply from 32-bit pieces.

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/kernels_isa.h"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace qk::kernels {
namespace {

constexpr std::size_t kLanes = 4;
using F64 = double __attribute__((vector_size(32)));
using U64 = std::uint64_t __attribute__((vector_size(32)));
using I64 = std::int64_t __attribute__((vector_size(32)));
constexpr bool kHasVectorConvert = false;

inline unsigned lane_bits(I64 m) { return _mm256_movemask_pd(reinterpret_cast<__m256d>(m)); }
inline F64 sqrt_lanes(F64 x) { return reinterpret_cast<F64>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x))); }

}  // namespace
}  // namespace qk::kernels

#include "kernels/kernels_simd.h"

namespace qk::kernels {
constinit const Paths kAvx2Paths = paths_with<U64>();
}  // namespace qk::kernels

#pragma GCC pop_options
