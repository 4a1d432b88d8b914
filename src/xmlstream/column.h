// Columns of values as Arrow lays them out, the batch that holds them, and a
// list of column names. The bottom of everything that builds, types or
// exports batches; it knows nothing of reading. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xmlstream/buffer_memory.h"
#include "xmlstream/key_index.h"

namespace qk::xml {

// A column's values, back to back: a growable byte buffer whose appends
// are inlined, with short ones (most values are a few bytes) copied by two
// overlapping moves, where a vector's insert calls memmove through the PLT.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes& o) { append(o.p_, o.n_); }
  Bytes(Bytes&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)), cap_(std::exchange(o.cap_, 0)) {}
  Bytes& operator=(Bytes o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~Bytes() { free_buffer(p_, cap_); }

  const char* data() const { return p_; }  // null while nothing was ever held
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  std::size_t capacity() const { return cap_; }
  void reserve(std::size_t n) {
    if (n > cap_) grow_to(n);
  }
  void append(const char* s, std::size_t n) {
    if (cap_ - n_ < n) [[unlikely]]
      grow_to(std::max({n_ + n, 2 * cap_, std::size_t{64}}));
    char* d = p_ + n_;
    n_ += n;
    if (n > 16) {
      std::memcpy(d, s, n);
    } else if (n >= 8) {
      move_word<std::uint64_t>(d, s, n);
    } else if (n >= 4) {
      move_word<std::uint32_t>(d, s, n);
    } else if (n != 0) {
      d[0] = s[0];
      d[n / 2] = s[n / 2];
      d[n - 1] = s[n - 1];
    }
  }

 private:
  // A word from each end of [s, s + n), sizeof(W) <= n <= 2 * sizeof(W).
  template <class W>
  static void move_word(char* d, const char* s, std::size_t n) {
    W a, b;
    std::memcpy(&a, s, sizeof a);
    std::memcpy(&b, s + n - sizeof b, sizeof b);
    std::memcpy(d, &a, sizeof a);
    std::memcpy(d + n - sizeof b, &b, sizeof b);
  }
  void grow_to(std::size_t n) {
    p_ = static_cast<char*>(resize_buffer(p_, cap_, &n));
    cap_ = n;
  }
  char* p_ = nullptr;
  std::size_t n_ = 0, cap_ = 0;
};

// A column's offsets or bitmap, in buffers like its values' (see
// buffer_memory.h).
template <class T>
using Buffer = std::vector<T, BufferAllocator<T>>;

// One column of a batch, held the way Arrow lays out a nullable string
// column: values packed back to back, rows+1 offsets from 0, and a
// validity bitmap (bit set = has a value, least significant bit first). A
// finished column is handed to Arrow as it stands, with no copy.
//
// Offsets are 32-bit, half the room of 64-bit ones. A column whose values
// pass kNarrowBytes in one batch (rare: 2 GiB) goes on in `wide` instead,
// every offset 64-bit, and `offsets` empties; such a batch is cut into
// pieces that fit (cut_wide) before it becomes Arrow strings.
//
// Only a null writes the bitmap: rows past its end are valid, so a value
// costs no store there, and seal() completes it before Arrow reads it.
struct Column {
  static constexpr std::size_t kNarrowBytes = 0x7FFFFFFF;
  Bytes bytes;
  Buffer<std::int32_t> offsets = {0};
  Buffer<std::int64_t> wide;
  Buffer<std::uint8_t> validity;
  std::uint64_t nulls = 0;

  Column() = default;
  // `rows` nulls: a column that first appears after the batch's start.
  explicit Column(std::size_t rows) : offsets(rows + 1, 0), validity(rows / 8, 0), nulls(rows) {
    if (rows & 7) validity.push_back(static_cast<std::uint8_t>(0xFFu << (rows & 7)));
  }

  // Room for `rows` rows and `bytes` bytes of values, so that a full batch
  // does not grow its vectors by doubling into twice the memory it needs.
  void reserve(std::size_t rows, std::size_t bytes_hint) {
    offsets.reserve(rows + 1);
    validity.reserve((rows + 7) / 8);
    bytes.reserve(bytes_hint);
  }
  bool is_wide() const { return !wide.empty(); }
  std::size_t rows() const { return (is_wide() ? wide.size() : offsets.size()) - 1; }
  std::size_t begin(std::size_t r) const {
    return is_wide() ? static_cast<std::size_t>(wide[r]) : static_cast<std::size_t>(offsets[r]);
  }
  // The values' buffer for Arrow, which takes no null data buffer even
  // when it holds no bytes.
  const char* data() const {
    static constexpr char kNone = 0;
    return bytes.data() == nullptr ? &kNone : bytes.data();
  }
  bool is_null(std::size_t r) const {
    return (r >> 3) < validity.size() && ((validity[r >> 3] >> (r & 7)) & 1) == 0;
  }
  std::string_view value(std::size_t r) const {
    const std::size_t b = begin(r);
    return std::string_view(bytes.data(), bytes.size()).substr(b, begin(r + 1) - b);
  }
  void push(std::string_view v) {
    bytes.append(v.data(), v.size());
    end_row();
  }
  void push_null() {
    const std::size_t r = rows();
    if ((r >> 3) >= validity.size()) validity.resize((r >> 3) + 1, 0xFF);
    validity[r >> 3] &= static_cast<std::uint8_t>(~(1u << (r & 7)));
    ++nulls;
    end_row();
  }
  // The bitmap covers every row, for Arrow (which needs it only with nulls).
  void seal() {
    if (nulls != 0) validity.resize((rows() + 7) / 8, 0xFF);
  }
  // Every offset 64-bit (as Arrow's large strings have them), once no more
  // rows come.
  void widen();

 private:
  void end_row() {
    if (bytes.size() <= kNarrowBytes) [[likely]]
      offsets.push_back(static_cast<std::int32_t>(bytes.size()));
    else
      end_wide_row();
  }
  void end_wide_row();
};

// A finished batch: its columns in order of first appearance, and its row
// count, which a batch of records without values has too.
struct Batch {
  std::vector<std::string> columns;
  std::vector<Column> column_values;
  std::uint64_t rows = 0;
};

// `batch` as batches of consecutive rows whose columns are none of them
// wide, in order (the batch itself when none is), each column's values in
// a piece at most `limit` bytes. False, with `err`, when a single value is
// longer.
bool cut_wide(Batch&& batch, std::vector<Batch>& out, std::string& err,
              std::size_t limit = Column::kNarrowBytes);

// Column names in order, with a name -> position index.
class ColumnSet {
 public:
  ColumnSet() = default;
  explicit ColumnSet(std::vector<std::string> names);
  // Position of `name`, or KeyIndex::npos.
  std::uint32_t find(std::string_view name) const;
  // Adds `name` at the end unless present; its position either way.
  std::uint32_t add(std::string_view name, std::uint64_t hash);
  std::uint32_t add(std::string_view name) { return add(name, KeyIndex::hash(name)); }
  const std::vector<std::string>& names() const { return names_; }
  std::size_t size() const { return names_.size(); }
  std::uint64_t hash_at(std::uint32_t p) const { return hashes_[p]; }

 private:
  std::vector<std::string> names_;
  std::vector<std::uint64_t> hashes_;
  KeyIndex index_;
};

// A batch's columns lined up against a fixed column list: a listed column
// the batch lacks is all null. Returns false, with the offending name in
// `stray`, when the batch has a column that is not listed.
bool align_batch(Batch& batch, const ColumnSet& columns, std::string& stray);

}  // namespace qk::xml
