// The loops of each instruction-set path, for the dispatcher in kernels.cpp.
// Each path lives in its own translation unit, compiled for its instructions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::kernels {

struct Paths {
  void (*inv_norm_cdf)(double* buf, std::size_t n);
  void (*keyed_hash)(std::uint64_t* buf, std::size_t n, std::uint64_t base, std::uint64_t draw);
  void (*keyed_uniforms)(std::uint64_t* buf, std::size_t n, std::uint64_t base,
                         std::uint64_t draw);
};

extern const Paths kBaselinePaths;  // kernels.cpp: SSE2, part of every x86-64
extern const Paths kAvx2Paths;      // kernels_avx2.cpp
extern const Paths kAvx512Paths;    // kernels_avx512.cpp: AVX-512 F and DQ

}  // namespace qk::kernels
