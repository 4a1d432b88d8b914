// Numeric kernels: known values bit for bit, and every instruction-set path
// against the scalar element rule on random and awkward inputs.

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "kernels/kernels.h"

namespace {

using namespace qk::kernels;
using u64 = std::uint64_t;

constexpr u64 kQuietNaN = 0x7ff8000000000000;

u64 bits(double x) {
  u64 b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(u64 b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

std::string hex(u64 v) {
  char s[19];
  std::snprintf(s, sizeof s, "%#018llx", static_cast<unsigned long long>(v));
  return s;
}

std::vector<Isa> supported_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512})
    if (isa_supported(isa)) out.push_back(isa);
  return out;
}

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Baseline: return "baseline";
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
  }
  return "?";
}

std::mt19937_64& rng() {
  static std::mt19937_64 gen = [] {
    u64 seed = std::random_device{}();
    if (const char* s = std::getenv("QK_KERNELS_SEED")) seed = std::strtoull(s, nullptr, 0);
    std::printf("kernel tests: random seed %llu (set QK_KERNELS_SEED to repeat)\n",
                static_cast<unsigned long long>(seed));
    return std::mt19937_64(seed);
  }();
  return gen;
}

// Inverse of mix64, so a test can choose the hash a key will produce and push
// chosen values through each path's unit_double conversion.
u64 unmix64(u64 z) {
  auto inverse = [](u64 c) {  // Newton's iteration for the inverse modulo 2^64
    u64 x = c;
    for (int i = 0; i < 6; ++i) x *= 2 - c * x;
    return x;
  };
  z ^= (z >> 31) ^ (z >> 62);
  z *= inverse(0x94d049bb133111ebu);
  z ^= (z >> 27) ^ (z >> 54);
  z *= inverse(0xbf58476d1ce4e5b9u);
  z ^= (z >> 30) ^ (z >> 60);
  return z;
}

// The key whose keyed_value under (base, draw) is v.
u64 key_for(u64 base, u64 draw, u64 v) { return unmix64(unmix64(v) ^ draw) ^ base; }

// Every length up to 70 (vector remainders), and lengths around the block
// size of the inverse normal CDF's loop.
std::vector<std::size_t> lengths() {
  std::vector<std::size_t> out;
  for (std::size_t n = 0; n <= 70; ++n) out.push_back(n);
  for (std::size_t n : {255, 256, 257, 263, 511, 512, 519}) out.push_back(n);
  return out;
}

// Inputs that stress the inverse normal CDF: both tails down to the smallest
// subnormal, the breakpoints and their neighbours, and every kind of invalid
// value, mixed with ordinary central values.
std::vector<double> awkward_probabilities(std::size_t n) {
  const double specials[] = {
      0.0, -0.0, 1.0, -1.0, 2.0, std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(), from_bits(kQuietNaN), from_bits(0xfff8000000000001),
      from_bits(0x7ff0000000000001), 5e-324, 2.2250738585072014e-308, 0.5,
      std::nextafter(1.0, 0.0), std::nextafter(0.0, 1.0), std::nextafter(0.5, 0.0)};
  std::vector<double> edges(std::begin(specials), std::end(specials));
  for (double b : {0.02425, 0.97575}) {
    double lo = b, hi = b;
    edges.push_back(b);
    for (int i = 0; i < 3; ++i) edges.push_back(lo = std::nextafter(lo, 0.0));
    for (int i = 0; i < 3; ++i) edges.push_back(hi = std::nextafter(hi, 1.0));
  }
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<double> exponent(-745.0, 0.0);
  std::vector<double> out(n);
  for (double& p : out) {
    switch (rng()() % 8) {
      case 0: p = edges[rng()() % edges.size()]; break;
      case 1: p = std::exp(exponent(rng())); break;                     // lower tail
      case 2: p = 1.0 - std::ldexp(unit(rng()), -int(rng()() % 54)); break;  // upper tail
      case 3: p = from_bits(rng()() & 0x000fffffffffffff); break;       // subnormal
      case 4: p = from_bits(rng()()); break;                            // any bit pattern
      default: p = unit(rng()); break;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Inverse normal CDF

TEST(kernels_inv_norm_cdf_known_values) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double p; u64 want; } cases[] = {
      {0.5, bits(0.0)},
      {0.975, bits(1.959963986120195)},
      {0.025, bits(-1.959963986120195)},
      {0.1, bits(-1.2815515641401563)},
      {0.02425, bits(-1.9729610490848712)},
      {0.97575, bits(1.9729610490848712)},
      {0.01, bits(-2.326347874388028)},
      {0.99, bits(2.326347874388028)},
      {1e-10, bits(-6.36134089949508)},
      {5e-324, bits(-38.46740568497968)},
      {0.9999999999999999, bits(8.209536145151493)},
      {0.0, kQuietNaN}, {-0.0, kQuietNaN}, {1.0, kQuietNaN}, {-0.5, kQuietNaN},
      {1.5, kQuietNaN}, {-inf, kQuietNaN}, {inf, kQuietNaN},
      {from_bits(0xfff8000000000000), kQuietNaN}, {from_bits(0x7ff0000000000001), kQuietNaN},
  };
  const std::size_t count = sizeof cases / sizeof cases[0];
  for (const auto& c : cases) CHECK_EQ(hex(bits(inv_norm_cdf_one(c.p))), hex(c.want));
  // Repeated at shifting offsets so that every value meets every vector lane.
  for (Isa isa : supported_isas()) {
    std::vector<double> buf;
    for (std::size_t rep = 0; rep < 9; ++rep) {
      buf.push_back(0.3);
      for (const auto& c : cases) buf.push_back(c.p);
    }
    inv_norm_cdf_isa(isa, buf.data(), buf.size());
    for (std::size_t i = 0; i < buf.size(); ++i) {
      const std::size_t k = i % (count + 1);
      if (k == 0) continue;
      if (bits(buf[i]) != cases[k - 1].want)
        check::fail(__FILE__, __LINE__, std::string(isa_name(isa)) + ": p=" +
                                            std::to_string(cases[k - 1].p) + " gave " +
                                            hex(bits(buf[i])));
    }
  }
}

// Every path, at every length and start offset (alignment),
// matches the scalar rule and touches nothing outside its buffer.
TEST(kernels_inv_norm_cdf_paths_match_rule) {
  const std::vector<double> input = awkward_probabilities(1'000'000);
  std::vector<double> want(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) want[i] = inv_norm_cdf_one(input[i]);
  for (Isa isa : supported_isas()) {
    std::vector<double> buf = input;
    inv_norm_cdf_isa(isa, buf.data(), buf.size());
    std::size_t bad = 0;
    for (std::size_t i = 0; i < buf.size(); ++i) {
      if (bits(buf[i]) != bits(want[i]) && bad++ < 5)
        check::fail(__FILE__, __LINE__, std::string(isa_name(isa)) + ": p=" + hex(bits(input[i])) +
                                            " gave " + hex(bits(buf[i])) + ", rule " +
                                            hex(bits(want[i])));
    }
    for (std::size_t n : lengths()) {
      for (std::size_t offset : {0, 1, 3}) {
        std::vector<double> small(input.begin(), input.begin() + n + offset + 1);
        inv_norm_cdf_isa(isa, small.data() + offset, n);
        for (std::size_t i = 0; i < small.size(); ++i) {
          const bool inside = i >= offset && i < offset + n;
          const u64 expect = bits(inside ? want[i] : input[i]);
          if (bits(small[i]) != expect)
            check::fail(__FILE__, __LINE__, std::string(isa_name(isa)) + ": length " +
                                                std::to_string(n) + " offset " +
                                                std::to_string(offset) + " slot " + std::to_string(i));
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Keyed derivation

TEST(kernels_fnv1a_and_keyed_base) {
  const struct { const char* ns; u64 hash; } hashes[] = {
      {"", 0xcbf29ce484222325}, {"a", 0xaf63dc4c8601ec8c},
      {"foobar", 0x85944171f73967e8}, {"demo", 0xa5e41b674276d396},
  };
  for (const auto& h : hashes)
    CHECK_EQ(hex(fnv1a_64(reinterpret_cast<const unsigned char*>(h.ns), std::strlen(h.ns))),
             hex(h.hash));
  CHECK_EQ(hex(keyed_base(0, 0xcbf29ce484222325)), hex(0xaebe53f85cdc3c4c));
  CHECK_EQ(hex(keyed_base(42, 0xa5e41b674276d396)), hex(0x7de008c5eef90f7a));
}

struct WorkedRow {
  u64 seed;
  const char* ns;
  std::vector<u64> keys;
  u64 draw;
  std::vector<u64> hashes;
  std::vector<double> uniforms;
};

const std::vector<WorkedRow>& worked_rows() {
  static const std::vector<WorkedRow> rows = {
      {0, "", {0, 1, 2}, 0,
       {0x037a9cb18a3d7127, 0xe51fd6f43ab028f4, 0x64994feea7e08b51},
       {0.013589661926962482, 0.8950170847189731, 0.3929643590598763}},
      {42, "demo", {0, 1, 2, 3}, 7,
       {0x47ab646c1d610c54, 0xf6cf2536c837a6aa, 0x5dba16c68dd879e9, 0xcd4d52aafb2816ab},
       {0.2799589885665947, 0.9640982874627455, 0.36612074229728536, 0.801961104148319}},
      {1, "x", {12345}, 1, {0x6b0c1078e92dfbac}, {0.4181528372948193}},
  };
  return rows;
}

// The worked rows, with each row's keys repeated into a long array so the
// vector loops (not only their scalar remainders) compute them.
TEST(kernels_keyed_worked_rows) {
  for (const WorkedRow& row : worked_rows()) {
    const u64 base =
        keyed_base(row.seed, fnv1a_64(reinterpret_cast<const unsigned char*>(row.ns), std::strlen(row.ns)));
    for (std::size_t k = 0; k < row.keys.size(); ++k) {
      CHECK_EQ(hex(keyed_value(base, row.keys[k], row.draw)), hex(row.hashes[k]));
      CHECK_EQ(hex(bits(unit_double(row.hashes[k]))), hex(bits(row.uniforms[k])));
    }
    for (Isa isa : supported_isas()) {
      std::vector<u64> hashed;
      for (std::size_t i = 0; i < 37; ++i) hashed.push_back(row.keys[i % row.keys.size()]);
      std::vector<u64> uniform = hashed;
      keyed_hash_isa(isa, hashed.data(), hashed.size(), base, row.draw);
      keyed_uniforms_isa(isa, uniform.data(), uniform.size(), base, row.draw);
      for (std::size_t i = 0; i < hashed.size(); ++i) {
        CHECK_EQ(hex(hashed[i]), hex(row.hashes[i % row.keys.size()]));
        CHECK_EQ(hex(uniform[i]), hex(bits(row.uniforms[i % row.keys.size()])));
      }
    }
  }
}

// The unit_double table, and the ties either side of 0.5, through every
// path's conversion: keys are chosen so that the hash is the wanted value.
TEST(kernels_unit_double_values) {
  const struct { u64 v; double want; } cases[] = {
      {0x0, 0x1p-54},
      {0x7ff, 0x1p-54},
      {0x7ffffffffffff800, 0.49999999999999994},
      {0x8000000000000000, 0.5},
      {0x8000000000000800, 0.5000000000000002},
      {0xfffffffffffff000, 0.9999999999999998},
      {0xfffffffffffff800, 1.0},
      {0xffffffffffffffff, 1.0},
      {0x8000000000001000, 0x1.0000000000002p-1},  // even x above 2^52: x / 2^53
      {0x8000000000001800, 0x1.0000000000004p-1},  // odd x: (x + 1) / 2^53
      {0x7ffffffffffff000, 0x1.ffffffffffffdp-2},  // odd multiples of 2^-54 below
  };
  const u64 base = 0x0123456789abcdef, draw = 99;
  std::vector<u64> keys;
  for (std::size_t rep = 0; rep < 3; ++rep)
    for (const auto& c : cases) {
      CHECK_EQ(hex(bits(unit_double(c.v))), hex(bits(c.want)));
      keys.push_back(key_for(base, draw, c.v));
    }
  for (Isa isa : supported_isas()) {
    std::vector<u64> buf = keys;
    keyed_uniforms_isa(isa, buf.data(), buf.size(), base, draw);
    for (std::size_t i = 0; i < buf.size(); ++i)
      CHECK_EQ(hex(buf[i]), hex(bits(cases[i % (sizeof cases / sizeof cases[0])].want)));
  }
}

// Every path agrees with keyed_value and unit_double on random keys, at every
// length and offset, and never writes outside its buffer.
TEST(kernels_keyed_paths_match_rule) {
  const u64 base = rng()(), draw = rng()();
  std::vector<u64> keys(1'000'000);
  for (u64& k : keys) k = rng()();
  std::vector<u64> want_hash(keys.size()), want_uniform(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    want_hash[i] = keyed_value(base, keys[i], draw);
    want_uniform[i] = bits(unit_double(want_hash[i]));
  }
  for (Isa isa : supported_isas()) {
    std::vector<u64> hashed = keys, uniform = keys;
    keyed_hash_isa(isa, hashed.data(), hashed.size(), base, draw);
    keyed_uniforms_isa(isa, uniform.data(), uniform.size(), base, draw);
    CHECK(hashed == want_hash);
    CHECK(uniform == want_uniform);
    for (std::size_t n : lengths()) {
      for (std::size_t offset : {0, 1, 3}) {
        std::vector<u64> h(keys.begin(), keys.begin() + n + offset + 1), u = h;
        keyed_hash_isa(isa, h.data() + offset, n, base, draw);
        keyed_uniforms_isa(isa, u.data() + offset, n, base, draw);
        for (std::size_t i = 0; i < h.size(); ++i) {
          const bool inside = i >= offset && i < offset + n;
          if (h[i] != (inside ? want_hash[i] : keys[i]) || u[i] != (inside ? want_uniform[i] : keys[i]))
            check::fail(__FILE__, __LINE__, std::string(isa_name(isa)) + ": length " +
                                                std::to_string(n) + " offset " +
                                                std::to_string(offset) + " slot " + std::to_string(i));
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Dispatch and floating-point environment

TEST(kernels_dispatch) {
  CHECK(isa_supported(Isa::Baseline));
  CHECK(isa_supported(best_isa()));
  std::printf("kernel tests: paths");
  for (Isa isa : supported_isas()) std::printf(" %s", isa_name(isa));
  std::printf(", best %s\n", isa_name(best_isa()));
}

// Flush-to-zero, denormals-are-zero or another rounding mode left in the SSE
// control register by some other library must not change a result, and the
// caller's setting must come back.
TEST(kernels_ignore_caller_fp_control) {
  const unsigned saved = _mm_getcsr();
  const unsigned odd = (saved & 0x3f) | 0x1f80 | 0x8000 /* FTZ */ | 0x0040 /* DAZ */ | 0x4000 /* down */;
  const double probs[] = {5e-324, 1e-310, 0.3, 0.975, 0.9999999999999999, 0.01, 0.4, 0.6, 0.7};
  const u64 keys[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  for (Isa isa : supported_isas()) {
    std::vector<double> p(std::begin(probs), std::end(probs)), q = p;
    std::vector<u64> u(std::begin(keys), std::end(keys)), v = u;
    inv_norm_cdf_isa(isa, p.data(), p.size());
    keyed_uniforms_isa(isa, u.data(), u.size(), 5, 6);
    _mm_setcsr(odd);
    inv_norm_cdf_isa(isa, q.data(), q.size());
    keyed_uniforms_isa(isa, v.data(), v.size(), 5, 6);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    CHECK_EQ(after & 0xffc0, odd & 0xffc0);
    for (std::size_t i = 0; i < p.size(); ++i) CHECK_EQ(hex(bits(q[i])), hex(bits(p[i])));
    CHECK(u == v);
  }
}

}  // namespace
