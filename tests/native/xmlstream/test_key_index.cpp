// The key lookup table behind record levels and batch columns.
#include <set>

#include "records_helpers.h"

using namespace qk::xml;
using namespace qk::xml::testing;

TEST(records_key_hash_is_seeded) {
  constexpr std::uint64_t kBits = 12, kMask = (1u << kBits) - 1;
  const auto plain = [](std::string_view k) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (char c : k) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return h ^ (h >> 29);
  };
  std::vector<std::string> names;
  for (std::uint64_t i = 0; names.size() < 1000; ++i) {
    std::string k = "c" + std::to_string(i);
    if ((plain(k) & kMask) == 0) names.push_back(std::move(k));
  }
  std::vector<bool> used(kMask + 1);
  std::size_t buckets = 0;
  for (const std::string& k : names) {
    const std::size_t b = KeyIndex::hash(k) & kMask;
    if (!used[b]) ++buckets, used[b] = true;
  }
  // Random hashes put 1000 names into about 890 of 4096 buckets.
  CHECK(buckets > 700);
}

// Every byte of a key, and its length, reaches the hash: keys of every
// length up to past two blocks, and each with one byte changed anywhere,
// all hash apart (a 64-bit collision among these is never expected).
TEST(records_key_hash_takes_every_byte) {
  const std::string base = "quickbrownfoxjumpsoverthelazydogandthelazycatnap";
  std::set<std::size_t> seen;
  std::size_t keys = 0;
  for (std::size_t n = 0; n <= base.size(); ++n) {
    const std::string k = base.substr(0, n);
    seen.insert(KeyIndex::hash(k));
    seen.insert(KeyIndex::hash(std::string(n, '\x01')));
    keys += 2;
    for (std::size_t i = 0; i < n; ++i) {
      std::string changed = k;
      changed[i] = static_cast<char>(changed[i] ^ 0x20);
      seen.insert(KeyIndex::hash(changed));
      ++keys;
    }
  }
  CHECK_EQ(seen.size(), keys - 1);  // "" appears twice
}

// Each length takes its own way through the comparison: a difference at
// any one byte is seen, and lengths apart never match.
TEST(same_bytes_sees_a_difference_at_every_byte) {
  const std::string base = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t n = 0; n <= base.size(); ++n) {
    const std::string a = base.substr(0, n);
    std::string b = a;
    CHECK(same_bytes(a, b));
    for (std::size_t i = 0; i < n; ++i) {
      b[i] = '#';
      CHECK(!same_bytes(a, b));
      b[i] = a[i];
    }
    if (n > 0) CHECK(!same_bytes(a, a.substr(0, n - 1)));
  }
}
