// Numeric kernels: the inverse normal CDF and the keyed hash / keyed uniform
// derivations, applied in place to a private contiguous buffer.
//
// No Python here: the boundary copies an array into a buffer, releases the
// interpreter lock and calls one of these. Results are bit-exact and the same
// on every machine; the instruction set is picked once at run time and every
// path gives identical bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::kernels {

// ---------------------------------------------------------------------------
// Inverse standard normal CDF (piecewise rational approximation, no
// refinement). Probabilities outside (0, 1), and NaN, give the positive quiet
// NaN 0x7ff8000000000000.

// The element rule for one probability; the plain scalar reference.
double inv_norm_cdf_one(double p);

// Replaces every buf[i] by inv_norm_cdf_one(buf[i]).
void inv_norm_cdf(double* buf, std::size_t n);

// ---------------------------------------------------------------------------
// Keyed derivation: 64-bit unsigned arithmetic modulo 2^64, logical shifts.

// FNV-1a over bytes (the namespace's UTF-8 encoding).
std::uint64_t fnv1a_64(const unsigned char* p, std::size_t n);

// The SplitMix64 output function.
std::uint64_t mix64(std::uint64_t z);

// The per-call base from the seed and fnv1a_64 of the namespace.
std::uint64_t keyed_base(std::uint64_t seed, std::uint64_t ns_hash);

// The value for one key: depends on nothing but these three inputs.
std::uint64_t keyed_value(std::uint64_t base, std::uint64_t key, std::uint64_t draw);

// The top 53 bits of v plus one half, scaled into [2^-54, 1.0]: never 0, and
// exactly 1.0 for v >= 0xfffffffffffff800.
double unit_double(std::uint64_t v);

// Replaces every key k by keyed_value(base, k, draw).
void keyed_hash(std::uint64_t* buf, std::size_t n, std::uint64_t base, std::uint64_t draw);

// Replaces every key k by the bit pattern of unit_double(keyed_value(base, k,
// draw)); the buffer then holds doubles.
void keyed_uniforms(std::uint64_t* buf, std::size_t n, std::uint64_t base, std::uint64_t draw);

// ---------------------------------------------------------------------------
// Instruction-set paths, exposed so tests can run and compare every one.
// The functions above use best_isa(), chosen once per process.

enum class Isa { Baseline, Avx2, Avx512 };

// Whether this CPU (and OS) can run the path. Baseline is always supported.
bool isa_supported(Isa isa);

// The fastest supported path.
Isa best_isa();

// The kernels on a given path. An unsupported path falls back to the best
// supported one below it, so these never execute an illegal instruction.
void inv_norm_cdf_isa(Isa isa, double* buf, std::size_t n);
void keyed_hash_isa(Isa isa, std::uint64_t* buf, std::size_t n, std::uint64_t base,
                    std::uint64_t draw);
void keyed_uniforms_isa(Isa isa, std::uint64_t* buf, std::size_t n, std::uint64_t base,
                        std::uint64_t draw);

}  // namespace qk::kernels
