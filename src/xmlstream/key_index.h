// An exact-string lookup table from keys to positions, for record levels
// and batch columns. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace qk::xml {

// a == b, comparing short strings inline: keys are mostly a few bytes long,
// where a call to memcmp costs more than the comparison.
[[gnu::always_inline]] inline bool same_bytes(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* x = a.data();
  const char* y = b.data();
  const auto word = [](const char* p, std::size_t size) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, size);
    return w;
  };
  if (n >= 8 && n <= 16) return word(x, 8) == word(y, 8) && word(x + n - 8, 8) == word(y + n - 8, 8);
  if (n >= 4 && n < 8) return word(x, 4) == word(y, 4) && word(x + n - 4, 4) == word(y + n - 4, 4);
  if (n < 4) {
    // The first, middle and last bytes cover up to three, with one branch
    // rather than a loop's: names like "f01" and "f02" differ late.
    if (n == 0) return true;
    return ((x[0] ^ y[0]) | (x[n / 2] ^ y[n / 2]) | (x[n - 1] ^ y[n - 1])) == 0;
  }
  return std::memcmp(x, y, n) == 0;
}

// Exact-string lookup table from a key to a position in some caller-owned
// sequence of keys. Keys are not stored here, only their hashes and
// positions, so callers keep one copy of each key and the table keeps its
// capacity across clear().
class KeyIndex {
 public:
  static constexpr std::uint32_t npos = UINT32_MAX;
  // FNV-1a with a final mix: keys are short, and a call into a general
  // hash costs more than the hashing itself. The start value is drawn at
  // random once per process: names come from files nobody vetted, and with
  // a fixed hash a file could carry thousands of names that all fall into
  // one probe run, turning every lookup into a scan. No order ever depends
  // on the hash, so the seed changes no output.
  static std::size_t hash(std::string_view key) {
    std::uint64_t h = seed_;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    // A full avalanche, so that every bit of the seed reaches the low bits
    // that pick a slot; mixing only high bits down left some seeds that
    // crafted names could still pile into a few slots.
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdULL;
    h = (h ^ (h >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return static_cast<std::size_t>(h ^ (h >> 33));
  }

  // `key_at(pos)` returns the key stored at `pos`.
  template <class KeyAt>
  std::uint32_t find(std::string_view key, std::size_t h, KeyAt key_at) const {
    if (slots_.empty()) return npos;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.pos_plus1 == 0) return npos;
      if (s.hash == static_cast<std::uint32_t>(h) && same_bytes(key_at(s.pos_plus1 - 1), key))
        return s.pos_plus1 - 1;
    }
  }
  void insert(std::size_t h, std::uint32_t pos);  // the key must not be present
  void clear();    // keeps capacity
  void release();  // drops capacity
  std::size_t capacity() const { return slots_.size(); }

 private:
  struct Slot {
    std::uint32_t hash;
    std::uint32_t pos_plus1;  // 0 = empty slot
  };
  void grow();
  static const std::uint64_t seed_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace qk::xml
