// Element formulas and buffer loops, compiled once per instruction set.
//
// kernels.cpp (baseline x86-64), kernels_avx2.cpp and kernels_avx512.cpp each
// include this file after choosing their instruction set with
// `#pragma GCC target`, having first defined the lane types:
//   kLanes            doubles per vector
//   F64, U64, I64     GCC vector types of kLanes double / uint64 / int64
//   lane_bits(I64 m)  bit k set iff lane k of the comparison mask m is set
//   sqrt_lanes(F64 x) IEEE square root of each lane
//   kHasVectorConvert whether a 64-bit integer to double instruction exists
// GCC vector operators are plain IEEE operations lane by lane, so the
// templates below, written once for `double` and for lanes, perform exactly
// the scalar rule's operations in the same order: every path gives the same
// bits.
//
// Everything is in an anonymous namespace: each translation unit keeps its
// own copy built for its own instructions, and the linker can never hand the
// baseline path a merged AVX-512 copy. For the same reason this file includes
// no header: the standard headers it uses come before the pragma.
#pragma once

// The build passes -ffp-contract=off; this keeps the formulas free of fused
// multiply-adds (which AVX-512 brings) even under other flags.
#pragma GCC optimize("fp-contract=off")

namespace qk::kernels {
namespace {

// ---------------------------------------------------------------------------
// Memory

// Once a buffer outgrows the caches, the hardware prefetcher alone lets these
// loops wait on memory: they spend too long on each cache line. Measured at
// 10^7 elements, asking for data 4 KiB ahead made the keyed loops 2.5 to 3
// times faster. A prefetch never faults, but its address must stay inside the
// buffer to be a valid pointer. Always inlined: GCC deems a function whose
// only effect is a prefetch free of side effects and deletes calls to it.
constexpr std::size_t kPrefetchAhead = 512;  // elements

template <class T>
[[gnu::always_inline]] inline void prefetch_ahead(const T* buf, std::size_t i, std::size_t n) {
  if (n - i > kPrefetchAhead) __builtin_prefetch(buf + i + kPrefetchAhead);
}

// ---------------------------------------------------------------------------
// Inverse normal CDF
//
// Peter J. Acklam's rational approximation (2003): one rational function of
// p - 0.5 on the central region [kPLow, kPHigh], and one of sqrt(-2 log p)
// on each tail. Its relative error is below 1.15e-9 over the whole open
// interval. The coefficients are his, digit for digit; the results promise
// bit-identical values on every machine, not more accuracy, so there is no
// refinement step, and changing a digit changes every user's draws.

constexpr double kPLow = 0.02425;
constexpr double kPHigh = 0.97575;
constexpr double kNaN = __builtin_bit_cast(double, std::uint64_t{0x7ff8000000000000});

constexpr double kA1 = -39.69683028665376, kA2 = 220.9460984245205, kA3 = -275.9285104469687,
                 kA4 = 138.357751867269, kA5 = -30.66479806614716, kA6 = 2.506628277459239;
constexpr double kB1 = -54.47609879822406, kB2 = 161.5858368580409, kB3 = -155.6989798598866,
                 kB4 = 66.80131188771972, kB5 = -13.28068155288572;
constexpr double kC1 = -0.007784894002430293, kC2 = -0.3223964580411365,
                 kC3 = -2.400758277161838, kC4 = -2.549732539343734, kC5 = 4.374664141464968,
                 kC6 = 2.938163982698783;
constexpr double kD1 = 0.007784695709041462, kD2 = 0.3224671290700398, kD3 = 2.445134137142996,
                 kD4 = 3.754408661907416;

// Central region: (q * A(r)) / B(r) with q = p - 0.5 and r = q * q.
template <class T>
inline T central(T p) {
  const T q = p + -0.5;
  const T r = q * q;
  const T a = ((((kA1 * r + kA2) * r + kA3) * r + kA4) * r + kA5) * r + kA6;
  const T b = ((((kB1 * r + kB2) * r + kB3) * r + kB4) * r + kB5) * r + 1.0;
  return (q * a) / b;
}

template <class T>
inline T tail_numerator(T q) {
  return ((((kC1 * q + kC2) * q + kC3) * q + kC4) * q + kC5) * q + kC6;
}

template <class T>
inline T tail_denominator(T q) {
  return (((kD1 * q + kD2) * q + kD3) * q + kD4) * q + 1.0;
}

// The element rule, written plainly: the reference the loops are tested
// against, and the path for the few elements after the last full vector.
inline double element_rule(double p) {
  if (!(p > 0.0 && p < 1.0)) return kNaN;  // NaN fails both tests
  if (p < kPLow) {
    const double q = std::sqrt(std::log(p) * -2.0);
    return tail_numerator(q) / tail_denominator(q);
  }
  if (p <= kPHigh) return central(p);
  const double q = std::sqrt(std::log(1.0 - p) * -2.0);
  return -tail_numerator(q) / tail_denominator(q);
}

// Elements per block: the central pass over a block runs first, then the
// block's remaining elements are finished together while it is still in the
// first-level cache. Bigger blocks amortise the mispredicted loop exits of
// that second step over more elements.
constexpr std::size_t kBlock = 256;

// Finishes the elements of buf[0, kBlock) marked in `pending`: those outside
// the central region, in either tail or invalid. Only the logarithm has to be
// the C library's, one call per element; the square root and the rational
// function, which cost more than the logarithm when done one element at a
// time, run in vectors over the gathered elements. Selects, not branches,
// pick the tail and the NaN: such elements arrive in random order.
inline void finish_tails(double* buf, const std::uint64_t (&pending)[kBlock / 64]) {
  double p[kBlock + kLanes];
  double t[kBlock + kLanes];
  std::uint16_t at[kBlock];
  std::size_t m = 0;
  for (std::size_t w = 0; w < kBlock / 64; ++w) {
    for (std::uint64_t bits = pending[w]; bits != 0; bits &= bits - 1, ++m) {
      const std::size_t j = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
      const double x = buf[j];
      const double arg = x > kPHigh ? 1.0 - x : x;
      const bool valid = x > 0.0 && x < 1.0;
      at[m] = static_cast<std::uint16_t>(j);
      p[m] = x;
      t[m] = std::log(valid ? arg : 0.5);  // keeps log away from 0, negatives and NaN
    }
  }
  for (std::size_t k = m; k % kLanes != 0; ++k) p[k] = t[k] = 0.5;  // unused lanes
  for (std::size_t k = 0; k < m; k += kLanes) {
    F64 x, l;
    std::memcpy(&x, p + k, sizeof x);
    std::memcpy(&l, t + k, sizeof l);
    const F64 q = sqrt_lanes(l * -2.0);
    const F64 c = tail_numerator(q);
    const I64 upper = x > kPHigh;
    const I64 valid = (x > 0.0) & (x < 1.0);  // false for NaN
    const F64 y = (upper ? -c : c) / tail_denominator(q);
    const F64 r = valid ? y : kNaN;
    std::memcpy(t + k, &r, sizeof r);
  }
  for (std::size_t k = 0; k < m; ++k) buf[at[k]] = t[k];
}

// Rewrites buf[0, n), n a multiple of kLanes and at most kBlock. Every lane
// gets the central formula without a branch; lanes outside the central region
// keep their input, are marked in a bit set, and are finished together.
inline void inv_norm_cdf_block(double* buf, std::size_t n) {
  std::uint64_t pending[kBlock / 64] = {};
  std::uint64_t any = 0;
  for (std::size_t j = 0; j < n; j += kLanes) {
    F64 p;
    std::memcpy(&p, buf + j, sizeof p);
    const I64 in_central = (p >= kPLow) & (p <= kPHigh);  // false for NaN
    const F64 x = in_central ? central(p) : p;
    std::memcpy(buf + j, &x, sizeof x);
    const std::uint64_t outside = ~lane_bits(in_central) & ((1u << kLanes) - 1);
    pending[j / 64] |= outside << (j % 64);
    any |= outside;
  }
  if (any != 0) finish_tails(buf, pending);
}

inline void inv_norm_cdf_lanes(double* buf, std::size_t n) {
  std::size_t i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    for (std::size_t line = 0; line < kBlock; line += 8) prefetch_ahead(buf, i + line, n);
    inv_norm_cdf_block(buf + i, kBlock);
  }
  const std::size_t vectors = (n - i) / kLanes * kLanes;
  inv_norm_cdf_block(buf + i, vectors);
  for (i += vectors; i < n; ++i) buf[i] = element_rule(buf[i]);
}

// ---------------------------------------------------------------------------
// Keyed derivation. T is std::uint64_t or U64: GCC's vector multiply keeps the
// low 64 bits of each lane and `>>` on unsigned lanes is a logical shift, as
// the scalar operators.

template <class T>
inline T mix64_lanes(T z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

template <class T>
inline T keyed_lanes(T key, std::uint64_t base, std::uint64_t draw) {
  return mix64_lanes(mix64_lanes(base ^ key) ^ draw);
}

// v >> 11 is below 2^53, so the signed conversion is exact and skips the
// unsigned conversion's fix-up for the top bit.
inline double to_double(std::uint64_t x) {
  return static_cast<double>(static_cast<std::int64_t>(x));
}

// Exact conversion of lanes below 2^53. Without a 64-bit integer conversion
// instruction, each 32-bit half goes into the fraction of a double of known
// exponent; the subtraction is exact, and so is the final addition, whose sum
// is below 2^53.
inline F64 to_double(U64 x) {
  if constexpr (kHasVectorConvert) {
    return __builtin_convertvector(reinterpret_cast<I64>(x), F64);
  } else {
    const auto hi = reinterpret_cast<F64>((x >> 32) | 0x4530000000000000u);        // 2^84 + hi * 2^32
    const auto lo = reinterpret_cast<F64>((x & 0xffffffffu) | 0x4330000000000000u);  // 2^52 + lo
    return (hi - 0x1.00000001p84) + lo;  // 0x1.00000001p84 = 2^84 + 2^52
  }
}

// The top 53 bits plus one half, scaled by 2^-53. From 0.5 up the half is a
// tie, rounded to even, so 1.0 is reached and 0 never is.
template <class T>
inline auto unit_double_lanes(T v) {
  return (to_double(v >> 11) + 0.5) * 0x1p-53;
}

// Stores step(key) over every key in place, V lanes at a time, then one by
// one. V is U64, or std::uint64_t for a path where vector multiplies do not pay.
template <class V, class Step>
inline void over_keys(std::uint64_t* buf, std::size_t n, Step step) {
  constexpr std::size_t lanes = sizeof(V) / sizeof(std::uint64_t);
  std::size_t i = 0;
  for (; n - i >= lanes; i += lanes) {
    prefetch_ahead(buf, i, n);
    V k;
    std::memcpy(&k, buf + i, sizeof k);
    const auto out = step(k);
    std::memcpy(buf + i, &out, sizeof out);
  }
  for (; i < n; ++i) {
    const auto out = step(buf[i]);
    std::memcpy(buf + i, &out, sizeof out);
  }
}

template <class V>
inline void keyed_hash_loop(std::uint64_t* buf, std::size_t n, std::uint64_t base,
                            std::uint64_t draw) {
  over_keys<V>(buf, n, [=](auto k) { return keyed_lanes(k, base, draw); });
}

template <class V>
inline void keyed_uniforms_loop(std::uint64_t* buf, std::size_t n, std::uint64_t base,
                                std::uint64_t draw) {
  over_keys<V>(buf, n, [=](auto k) { return unit_double_lanes(keyed_lanes(k, base, draw)); });
}

// The table of one path's loops, instantiated where the including file has
// set its instruction set.
template <class KeyLanes>
constexpr Paths paths_with() {
  return {inv_norm_cdf_lanes, keyed_hash_loop<KeyLanes>, keyed_uniforms_loop<KeyLanes>};
}

}  // namespace
}  // namespace qk::kernels
