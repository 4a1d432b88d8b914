// Column buffers keep their bytes whichever way they grow or shrink: within
// malloc, from malloc into a mapping, within mappings, and back.
#include <cstring>
#include <vector>

#include "check.h"
#include "xmlstream/column.h"

using namespace qk::xml;

namespace {
bool holds_pattern(const char* p, std::size_t n, unsigned seed) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != static_cast<char>((i * 31 + seed) & 0xFF)) return false;
  return true;
}
}  // namespace

TEST(buffer_keeps_its_bytes_through_every_size) {
  const std::size_t sizes[] = {0, 1, 4096, 100 << 10, 128 << 10, (128 << 10) + 1, 3 << 20, 200 << 10, 64, 5 << 20, 10};
  void* p = nullptr;
  std::size_t cap = 0, kept = 0;
  for (std::size_t want : sizes) {
    std::size_t got = want;
    p = resize_buffer(p, cap, &got);
    CHECK(got >= want);
    const std::size_t n = kept < want ? kept : want;
    CHECK(holds_pattern(static_cast<char*>(p), n, 7));
    for (std::size_t i = 0; i < want; ++i) static_cast<char*>(p)[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    cap = got;
    kept = want;
  }
  free_buffer(p, cap);
}

TEST(columns_of_mapped_size_grow_and_copy_like_small_ones) {
  Bytes b;
  std::string expect;
  for (int i = 0; i < 200000; ++i) {
    const std::string v = std::to_string(i * 7919);
    b.append(v.data(), v.size());
    expect += v;
  }
  CHECK_EQ(std::string(b.data(), b.size()), expect);
  Bytes copy = b;
  Bytes moved = std::move(b);
  CHECK_EQ(std::string(copy.data(), copy.size()), expect);
  CHECK_EQ(std::string(moved.data(), moved.size()), expect);
  Buffer<std::int32_t> offsets;
  for (std::int32_t i = 0; i < 300000; ++i) offsets.push_back(i);
  Buffer<std::int32_t> other = offsets;
  CHECK_EQ(other.size(), offsets.size());
  CHECK_EQ(other[299999], 299999);
}
