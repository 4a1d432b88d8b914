// Flattening a record into keys and values. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/key_index.h"

namespace qk::xml {

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

struct FlatRecord {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
};

// A record over the work limit of RecordBuilder::too_complex() flattens to
// no keys; the event loop reports such a record as an error instead.
FlatRecord flatten_record(const XmlNode& node);

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
  // Text the caller drops itself for the innermost element (or the one
  // around it, `outer`) was not blank: that element loses its text.
  void lose_text() { frames_.back().lost_text = true; }
  void lose_outer_text() { frames_[frames_.size() - 2].lost_text = true; }

  // The finished record's pairs; views valid until reset() or open().
  std::span<const FlatPair> pairs();
  // True when the record repeats names so deeply that prefixing its keys
  // went over the work limit; its pairs are then incomplete and must not be
  // used. Cleared by reset().
  bool too_complex() const { return too_complex_; }
  // Values the record lost so far: each non-null value a later one with
  // the same key replaced, and each element whose non-blank text was
  // dropped because it has child elements (or is the record element).
  // Cleared by reset().
  std::uint64_t lost() const { return lost_; }
  // Bytes of prefixed keys made for the record so far. A record never goes
  // over the work limit while this stays within kPrefixFloor.
  std::uint64_t prefixed() const { return prefixed_; }
  static constexpr std::uint64_t kPrefixFloor = std::uint64_t{1} << 30;
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
    bool lost_text;  // non-blank text of its own was dropped
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
  std::uint64_t lost_ = 0;
  bool too_complex_ = false;
};

}  // namespace qk::xml
