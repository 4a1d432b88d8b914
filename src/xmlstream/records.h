// Flattening records into keys and values, column batches, the
// batch-stepping event loop and record counting. No Python here: the
// boundary only converts a finished Batch into lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/reader.h"

namespace qk::xml {

// ---- Record tree ------------------------------------------------------------

// A record element held as a tree, for callers that have one; the stream
// itself flattens records as they are read and builds no trees.
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
// bytes.decode('utf-8', 'replace')). `local_name_append` appends it to `out`.
std::string local_name(std::string_view raw);
void local_name_append(std::string_view raw, std::string& out);

// `s` without leading and trailing Unicode White_Space characters.
std::string_view trim_white_space(std::string_view s);

// Replaces the five predefined entities and decimal or hexadecimal
// character references in the tail of `s` from `from` on, rewriting it in
// place (a reference is never shorter than its character). On a bad
// reference returns false with `err` (Kind::Xml) filled and `s` cut back to
// `from`.
bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err);

// a == b, comparing short strings inline: keys are mostly a few bytes long,
// where a call to memcmp costs more than the comparison.
inline bool same_bytes(std::string_view a, std::string_view b) {
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
    for (std::size_t i = 0; i < n; ++i)
      if (x[i] != y[i]) return false;
    return true;
  }
  return std::memcmp(x, y, n) == 0;
}

// ---- Flattening ---------------------------------------------------------------

struct FlatRecord {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
};

// A record over the work limit of RecordBuilder::too_complex() flattens to
// no keys; the event loop reports such a record as an error instead.
FlatRecord flatten_record(const XmlNode& node);

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

// One key and its optional value in a flattened record, viewing storage
// owned by someone else.
struct FlatPair {
  std::string_view key;
  std::string_view value;
  std::uint64_t key_hash;  // KeyIndex::hash(key)
  bool has_value;  // false = null
};

// Flattens a record while its elements arrive: an element that closes is
// folded straight into its parent's level, so no tree is ever built. Names,
// keys and texts live in two byte arenas that keep their capacity from
// record to record, and the explicit stack of levels lets records nest to
// any depth. Usage: open() for each start tag, append text through text()
// then settle_text(), close() for each end tag; the close() of the record
// element returns true, and pairs() then holds the record until reset().
class RecordBuilder {
 public:
  // Opens an element named by the local name of `qualified_name`.
  void open(std::string_view qualified_name);
  // Opens an element whose name is already final.
  void open_local(std::string_view name);
  // True when the record element has closed.
  bool close();
  std::size_t depth() const { return frames_.size(); }

  // Text of the innermost element is appended to text(); settle_text(mark),
  // with `mark` the size before appending, then drops it unless it can still
  // become a value (only a leaf's text can, never the record element's).
  std::string& text() { return text_; }
  void settle_text(std::size_t mark);
  // Whether text appended now could become a value; settle_text drops it
  // otherwise.
  bool keeps_text() const { return frames_.size() >= 2 && !frames_.back().has_children; }

  // The finished record's pairs; views valid until reset() or open().
  std::span<const FlatPair> pairs();
  // True when the record repeats names so deeply that prefixing its keys
  // went over the work limit; its pairs are then incomplete and must not be
  // used. Cleared by reset().
  bool too_complex() const { return too_complex_; }
  // Forgets the record, keeping modest storage for the next one.
  void reset();

 private:
  // Keys carry their hash from the moment they are made, so searching a
  // level compares hashes and touches key bytes only on a match.
  struct Pair {
    std::size_t key_off, key_len;  // in names_
    std::size_t value_off, value_len;  // in text_
    std::uint64_t key_hash;
    bool has_value;
  };
  struct Frame {
    std::size_t name_off, name_len;  // in names_
    std::uint64_t name_hash;
    std::size_t begin;  // this level's pairs are pairs_[begin, end of level)
    std::size_t text_off;  // the element's own text starts here in text_
    std::int32_t index;  // slot in indexes_ once the level is large, else -1
    bool has_children;
    // One bit per key hash of the level's keys: most lookups are for keys
    // not there yet, and this answers them without a search.
    std::uint64_t seen[4];
    void note(std::uint64_t h) { seen[(h >> 6) & 3] |= std::uint64_t{1} << (h & 63); }
    bool may_hold(std::uint64_t h) const { return (seen[(h >> 6) & 3] >> (h & 63)) & 1; }
  };
  std::string_view key(const Pair& p) const { return {names_.data() + p.key_off, p.key_len}; }
  void push_frame(std::size_t name_off);
  bool same_key(const Pair& p, std::string_view k, std::uint64_t h) const {
    return p.key_hash == h && same_bytes(key(p), k);
  }
  std::uint32_t find(const Frame& f, std::string_view key, std::uint64_t h, std::size_t end) const;
  void take(Frame& f, const Pair& pair, std::size_t& end, const Frame& from);
  void append_new(Frame& f, const Pair& pair, std::size_t& end);
  void release_index(Frame& f);  // of a level that has an index
  void drop_dead_names(std::size_t from, std::size_t first, std::size_t end);

  std::string names_;  // element names and prefixed keys
  std::string text_;   // leaf texts, and the piece being appended
  std::vector<Pair> pairs_;
  std::vector<Frame> frames_;
  std::vector<KeyIndex> indexes_;
  std::vector<std::int32_t> free_indexes_;
  std::vector<FlatPair> views_;
  std::uint64_t fed_ = 0;       // bytes of names and leaf texts the record brought
  std::uint64_t prefixed_ = 0;  // bytes of prefixed keys made for it
  bool too_complex_ = false;
};

// ---- Batches ------------------------------------------------------------------

// One column of a batch: values packed back to back with an end offset per
// row, so a batch costs a few allocations rather than one per value. A null
// row has the top bit of its offset set.
struct Column {
  static constexpr std::uint64_t kNull = std::uint64_t{1} << 63;
  std::string bytes;
  std::vector<std::uint64_t> ends;  // ends[r] = end offset of row r in bytes, | kNull
  std::size_t rows() const { return ends.size(); }
  bool is_null(std::size_t r) const { return (ends[r] & kNull) != 0; }
  std::string_view value(std::size_t r) const {
    const std::uint64_t b = r ? ends[r - 1] & ~kNull : 0;
    return std::string_view(bytes).substr(b, (ends[r] & ~kNull) - b);
  }
  void push(std::string_view v) {
    bytes.append(v);
    ends.push_back(bytes.size());
  }
  void push_null() { ends.push_back(bytes.size() | kNull); }
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

  // Adds one row. Every key makes its column; a key without a value (null,
  // or past the end of `values`) is null in this row, and values past the
  // end of `keys` are ignored. A repeated key keeps its last value.
  void push_record(FlatRecord&& rec);
  std::uint64_t row_count() const { return row_count_; }
  const std::string& path() const { return path_; }
  bool finished() const { return finished_; }

 private:
  void reset_batch();
  void place_row(std::span<const FlatPair> pairs);
  std::uint32_t column_for(const FlatPair& pair, std::uint32_t guess);
  bool append_text(bool resolve, XmlStreamError& err);

  std::unique_ptr<Reader> reader_;
  std::string buf_;
  // The open elements of the record being read (the stack), already folded
  // into flattened levels as they close.
  RecordBuilder record_;
  std::vector<std::string> columns_;
  std::vector<std::uint64_t> column_hashes_;  // KeyIndex::hash of each name
  KeyIndex column_index_;  // name -> position in columns_
  std::vector<Column> column_values_;
  std::uint64_t depth_ = 0;
  std::uint64_t batch_rows_;
  std::uint64_t row_count_ = 0;
  std::string path_;
  bool finished_ = false;

  // Scratch kept across records so that steady-state streaming allocates
  // little.
  std::vector<FlatPair> record_pairs_;
  std::vector<std::uint32_t> row_columns_;  // per record pair: its column
  std::vector<std::uint32_t> row_slots_;    // per column: the record pair placed there
  bool discarding_ = false;  // the reader's discard-content setting
};

// Counts records (children of top-level elements) without building them.
// Returns false with `err` filled on an open, read or markup failure; `count`
// is set only on success.
bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       std::size_t chunk = Reader::kReadBufferSize);
// The same over a reader already opened (bytes in memory, for the fuzz target).
bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err);

}  // namespace qk::xml
