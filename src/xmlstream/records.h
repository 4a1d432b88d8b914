// Record trees, flattening into columns, column batches, the batch-stepping
// event loop and record counting. No Python here: the boundary only converts
// a finished Batch into lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/reader.h"

namespace qk::xml {

// ---- Record tree ------------------------------------------------------------

struct XmlNode {
  std::string name;
  std::string text;
  std::vector<XmlNode> children;
  XmlNode() = default;
  XmlNode(XmlNode&&) noexcept = default;
  XmlNode& operator=(XmlNode&&) noexcept = default;
  ~XmlNode();  // releases deep trees without recursion
};

// The part of a qualified name after its last ':', decoded as UTF-8 with each
// invalid sequence replaced by U+FFFD (maximal subparts, like Python's
// bytes.decode('utf-8', 'replace')). `local_name_into` reuses `out`'s storage.
std::string local_name(std::string_view raw);
void local_name_into(std::string_view raw, std::string& out);

// `s` without leading and trailing Unicode White_Space characters.
std::string_view trim_white_space(std::string_view s);

// Appends `text` to `out` with the five predefined entities and decimal or
// hexadecimal character references replaced. On a bad reference returns
// false with `err` (Kind::Xml) filled and `out` left as it was.
bool resolve_references(std::string_view text, std::string& out, XmlStreamError& err);

// ---- Flattening ---------------------------------------------------------------

struct FlatRecord {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
};

FlatRecord flatten_record(const XmlNode& node);

// Exact-string lookup table from a key to a position in some caller-owned
// sequence of keys. Keys are not stored here, only their hashes and
// positions, so callers keep one copy of each key and the table keeps its
// capacity across clear().
class KeyIndex {
 public:
  static constexpr std::uint32_t npos = UINT32_MAX;
  // FNV-1a with a final mix: keys are short, and a call into a general
  // hash costs more than the hashing itself.
  static std::size_t hash(std::string_view key) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }

  // `key_at(pos)` returns the key stored at `pos`.
  template <class KeyAt>
  std::uint32_t find(std::string_view key, std::size_t h, KeyAt key_at) const {
    if (slots_.empty()) return npos;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.pos_plus1 == 0) return npos;
      if (s.hash == static_cast<std::uint32_t>(h) && key_at(s.pos_plus1 - 1) == key)
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
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

// Flattens record trees with an explicit stack (records may nest to any
// depth) and scratch storage that lives across records, so flattening a
// record in steady state allocates nothing. The result holds views into the
// tree and into this object, valid until the next run() or the tree changes.
class Flattener {
 public:
  struct Pair {
    std::string_view key;
    std::string_view value;
    bool has_value;  // false = null
  };
  std::span<const Pair> run(const XmlNode& node);

 private:
  struct Frame {
    const XmlNode* node;
    std::size_t next_child;
    std::size_t begin;  // this level's pairs are pairs_[begin, end of level)
    std::int32_t index;  // slot in indexes_ once the level is large, else -1
  };
  std::uint32_t find(const Frame& f, std::string_view key, std::size_t end) const;
  void assign(Frame& f, std::string_view key, const Pair& value, std::size_t& end);
  void append_new(Frame& f, const Pair& pair, std::size_t& end);
  std::string_view prefixed(std::string_view prefix, std::string_view key);
  void release_index(Frame& f);

  std::vector<Pair> pairs_;
  std::vector<Frame> frames_;
  std::deque<std::string> owned_keys_;  // prefixed keys; a deque keeps views stable
  std::size_t owned_used_ = 0;
  std::vector<KeyIndex> indexes_;
  std::vector<std::int32_t> free_indexes_;
};

// ---- Batches ------------------------------------------------------------------

// One column of a batch: values packed back to back, with an offset table
// and a presence flag per row, so a batch costs a few allocations rather
// than one per value.
struct Column {
  std::string bytes;
  std::vector<std::uint64_t> ends;  // ends[r] = end offset of row r in bytes
  std::vector<std::uint8_t> present;  // 0 = null
  std::size_t rows() const { return ends.size(); }
  bool is_null(std::size_t r) const { return present[r] == 0; }
  std::string_view value(std::size_t r) const {
    std::uint64_t b = r ? ends[r - 1] : 0;
    return std::string_view(bytes).substr(b, ends[r] - b);
  }
  void push(const std::optional<std::string>& v);
  void push(std::string_view v);
  void push_null();
};

struct Batch {
  std::vector<std::string> columns;
  std::vector<Column> column_values;
};

class XmlBatchInner {
 public:
  XmlBatchInner(std::unique_ptr<Reader> reader, std::uint64_t batch_rows, std::string path);
  ~XmlBatchInner();

  enum class Step : std::uint8_t { Batch, Finished, Error };

  // One iterator step: batch reset, then events until the batch is full or
  // input ends. On Step::Batch, take_batch() hands the rows over; on
  // Step::Error, `err` holds the failure. Finished is sticky.
  Step next_batch(XmlStreamError& err);
  // Moves the pending batch out and leaves it empty (row_count() becomes 0).
  Batch take_batch();

  // Adds one row. Keys and values pair up to the shorter of the two; a
  // repeated key keeps its last value.
  void push_record(FlatRecord&& rec);
  std::uint64_t row_count() const { return row_count_; }
  const std::string& path() const { return path_; }

 private:
  void reset_batch();
  void place_row(std::span<const Flattener::Pair> pairs);
  std::uint32_t column_for(std::string_view key, std::uint32_t guess);
  bool append_text(XmlNode& node, bool resolve, XmlStreamError& err);
  void finish_record();

  std::unique_ptr<Reader> reader_;
  std::string buf_;
  // The open elements of the record being read, outermost (record_) first.
  // Each is the last child of the one before it, and a parent's children
  // only grow while it is innermost, so the pointers stay valid. Nodes are
  // built in place: closing an element moves nothing.
  XmlNode record_;
  std::vector<XmlNode*> open_;
  std::vector<std::string> columns_;
  KeyIndex column_index_;  // name -> position in columns_
  std::vector<Column> column_values_;
  std::uint64_t depth_ = 0;
  std::uint64_t batch_rows_;
  std::uint64_t row_count_ = 0;
  std::string path_;
  bool finished_ = false;

  // Scratch kept across records so that steady-state streaming allocates
  // little: the flattener and per-row tables.
  Flattener flattener_;
  std::vector<std::uint32_t> row_slots_;  // per column: the record pair placed there
  std::vector<Flattener::Pair> record_pairs_;
  std::string text_scratch_;
  bool discarding_ = false;  // the reader's discard-content setting
};

// Counts records (children of top-level elements) without building them.
// Returns false with `err` filled on an open, read or markup failure; `count`
// is set only on success.
bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       std::size_t chunk = Reader::kReadBufferSize);

}  // namespace qk::xml
