// The exact-string lookup table behind record levels and batch columns.
#include "xmlstream/key_index.h"

#include <sys/random.h>

#include <algorithm>
#include <chrono>

namespace qk::xml {

void KeyIndex::insert(std::size_t h, std::uint32_t pos) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = h & mask;
  while (slots_[i].pos_plus1 != 0) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<std::uint32_t>(h), pos + 1};
  ++size_;
}

namespace {
// The FNV-1a offset basis mixed with bytes from the kernel's random source;
// if that is unavailable, with the clock and an address, which still differ
// between runs.
std::uint64_t random_hash_seed() {
  std::uint64_t r = 0;
  if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    r = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&r);
  }
  return 0xcbf29ce484222325ULL ^ r;
}
}  // namespace

const std::uint64_t KeyIndex::seed_ = random_hash_seed();

void KeyIndex::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{0, 0});
  const std::size_t mask = slots_.size() - 1;
  // Only the low 32 bits of each hash are kept; they address the table
  // well for any size a batch can reach.
  for (const Slot& s : old) {
    if (s.pos_plus1 == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].pos_plus1 != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void KeyIndex::clear() {
  if (size_ != 0) std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
  size_ = 0;
}

void KeyIndex::release() {
  slots_ = {};
  size_ = 0;
}


}  // namespace qk::xml
