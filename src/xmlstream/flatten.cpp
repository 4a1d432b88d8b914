// Flattening a record into keys and values as its elements arrive, and
// record trees for callers that hold one.
#include "xmlstream/flatten.h"

#include <algorithm>
#include <cstring>

#include "xmlstream/text.h"

namespace qk::xml {

// ---- Tree release -------------------------------------------------------------

// Records may nest arbitrarily deep, so descendants are released from a
// work list rather than by the recursive default destructor.
XmlNode::~XmlNode() {
  if (children.empty()) return;
  std::vector<XmlNode> work = std::move(children);
  while (!work.empty()) {
    XmlNode n = std::move(work.back());
    work.pop_back();
    for (XmlNode& c : n.children) work.push_back(std::move(c));
    n.children.clear();  // only moved-from shells with no children remain
  }
}


// ---- Flattening -----------------------------------------------------------------

namespace {
// Levels with few keys are searched linearly; a hash index is built only
// when a level grows past this, so narrow deep records cost no tables.
constexpr std::size_t kLinearKeys = 64;
// An index larger than this is not kept for reuse by later records.
constexpr std::size_t kKeepIndexSlots = 1024;
// Storage a huge record needed is not kept for the rest of the stream.
constexpr std::size_t kKeepBytes = 1 << 20;
constexpr std::size_t kKeepEntries = 1 << 14;
// Each level re-prefixes the keys that collide, so n levels that repeat one
// name copy about n^3 bytes of keys: a 60 KB record would take most of a
// minute, and a few hundred KB would never finish. Prefixing is therefore
// limited per record to a floor plus a multiple of the names and texts the
// record fed in; real records, even deep ones with many repeats, stay far
// below both, while the worst case becomes linear in the input.
constexpr std::uint64_t kPrefixPerInputByte = 256;
}  // namespace

std::uint32_t RecordBuilder::find(const Frame& f, std::string_view k, std::uint64_t h,
                                  std::size_t end) const {
  if (!f.may_hold(h)) return KeyIndex::npos;
  if (f.index >= 0)
    return indexes_[f.index].find(k, h, [&](std::uint32_t p) { return key(pairs_[p]); });
  for (std::size_t p = f.begin; p < end; ++p)
    if (same_key(pairs_[p], k, h)) return static_cast<std::uint32_t>(p);
  return KeyIndex::npos;
}

// Writes a pair whose key level `f` does not hold yet at `end`. The pair
// is taken by value: it may come from at or after `end`.
void RecordBuilder::append_new(Frame& f, const Pair& pair, std::size_t& end) {
  const Pair v = pair;
  if (end == pairs_.size()) pairs_.push_back(v); else pairs_[end] = v;
  ++end;
  f.note(v.key_hash);
  if (f.index >= 0) {
    indexes_[f.index].insert(v.key_hash, static_cast<std::uint32_t>(end - 1));
  } else if (end - f.begin > kLinearKeys) {
    if (free_indexes_.empty()) {
      f.index = static_cast<std::int32_t>(indexes_.size());
      indexes_.emplace_back();
    } else {
      f.index = free_indexes_.back();
      free_indexes_.pop_back();
    }
    KeyIndex& idx = indexes_[f.index];
    for (std::size_t q = f.begin; q < end; ++q)
      idx.insert(pairs_[q].key_hash, static_cast<std::uint32_t>(q));
  }
}

// Folds `pair`, named inside element `from`, into level `f` whose pairs end
// at `end`. A taken key is prefixed once with `from`'s name and then
// assigned: if that is taken too, the value moves to its earlier position.
void RecordBuilder::take(Frame& f, const Pair& pair, std::size_t& end, const Frame& from) {
  if (too_complex_) return;  // the record is lost already: fold nothing more
  if (find(f, key(pair), pair.key_hash, end) == KeyIndex::npos) return append_new(f, pair, end);
  Pair v = pair;
  prefixed_ += from.name_len + 1 + pair.key_len;
  if (prefixed_ > RecordBuilder::kPrefixFloor + kPrefixPerInputByte * fed_) {
    too_complex_ = true;
    return;
  }
  const std::size_t off = names_.size();
  v.key_off = off;
  v.key_len = from.name_len + 1 + pair.key_len;
  names_.resize(off + v.key_len);
  char* d = names_.data();
  std::memcpy(d + off, d + from.name_off, from.name_len);
  d[off + from.name_len] = '_';
  std::memcpy(d + off + from.name_len + 1, d + pair.key_off, pair.key_len);
  v.key_hash = KeyIndex::hash(key(v));
  const std::uint32_t p = find(f, key(v), v.key_hash, end);
  if (p == KeyIndex::npos) return append_new(f, v, end);
  lost_ += pairs_[p].has_value;  // the earlier value is overwritten
  pairs_[p].value_off = v.value_off;
  pairs_[p].value_len = v.value_len;
  pairs_[p].has_value = v.has_value;
}

void RecordBuilder::release_index(Frame& f) {
  KeyIndex& idx = indexes_[f.index];
  if (idx.capacity() > kKeepIndexSlots) idx.release(); else idx.clear();
  free_indexes_.push_back(f.index);
  f.index = -1;
}

void RecordBuilder::push_frame(std::size_t name_off) {
  if (!frames_.empty()) {
    Frame& parent = frames_.back();
    // Once an element has a child its own text can never be a value.
    if (!parent.has_children) {
      const std::string_view dropped(text_.data() + parent.text_off, text_.size() - parent.text_off);
      if (!blank(dropped)) parent.lost_text = true;
      text_.resize(parent.text_off);
    }
    parent.has_children = true;
  }
  // Filled field by field in place: a frame built aside and copied in
  // makes the copy wait on the stores that built it.
  Frame& f = frames_.emplace_back();
  f.name_off = name_off;
  f.name_len = names_.size() - name_off;
  fed_ += f.name_len + 1;
  f.name_hash = KeyIndex::hash({names_.data() + name_off, f.name_len});
  f.begin = pairs_.size();
  f.text_off = text_.size();
  f.index = -1;
}

void RecordBuilder::open(std::string_view qualified_name) {
  const std::size_t off = names_.size();
  local_name_append(qualified_name, names_);
  push_frame(off);
}

void RecordBuilder::open_local(std::string_view name) {
  const std::size_t off = names_.size();
  names_.append(name);
  push_frame(off);
}

void RecordBuilder::settle_text(std::size_t mark) {
  if (keeps_text()) return;
  if (!blank(std::string_view(text_).substr(mark))) frames_.back().lost_text = true;
  text_.resize(mark);
}

bool RecordBuilder::close() {
  // The child is folded in where it lies and popped last: frames are large,
  // and taking pairs never touches frames_.
  Frame& child = frames_.back();
  if (child.index >= 0) release_index(child);
  lost_ += child.lost_text;
  if (frames_.size() == 1) {
    frames_.pop_back();
    return true;
  }
  Frame& parent = frames_[frames_.size() - 2];
  std::size_t end = child.begin;
  if (!child.has_children) {
    // A leaf: its trimmed text is the value, under its own name.
    const std::string_view raw(text_.data() + child.text_off, text_.size() - child.text_off);
    fed_ += raw.size();
    const std::string_view value = trim_white_space(raw);
    const std::size_t value_off = child.text_off + static_cast<std::size_t>(value.data() - raw.data());
    text_.resize(value.empty() ? child.text_off : value_off + value.size());
    take(parent,
         Pair{child.name_off, child.name_len, value_off, value.size(), child.name_hash, !value.empty()},
         end, parent);
    frames_.pop_back();
    return false;
  }
  // A branch: its pairs, at the end of pairs_, are taken over by the parent
  // level, prefixed with the branch's name on a collision. New parent pairs
  // are compacted in place over the branch's pairs.
  const std::size_t stop = pairs_.size();
  for (std::size_t i = child.begin; i < stop; ++i) take(parent, pairs_[i], end, child);
  pairs_.resize(end);
  const std::size_t names_from = child.name_off, handed = child.begin;
  frames_.pop_back();
  drop_dead_names(names_from, handed, end);
  return false;
}

// Names written since a branch opened are dead once it has been folded,
// except the keys of the pairs it handed to its parent, pairs_[first, end).
// Each level re-prefixes the keys that collide, so without this a narrow
// record nested n deep leaves about n^3 bytes of dead keys behind
// (gigabytes from a file of a few kilobytes). Packing only when the dead
// bytes dominate keeps ordinary records free of the extra pass.
void RecordBuilder::drop_dead_names(std::size_t from, std::size_t first, std::size_t end) {
  constexpr std::size_t kSlack = 4096;
  if (names_.size() - from <= kSlack) return;
  std::size_t live = 0;
  for (std::size_t i = first; i < end; ++i) live += pairs_[i].key_len;
  if (names_.size() - from <= 2 * live + kSlack) return;
  std::string kept;
  kept.reserve(live);
  for (std::size_t i = first; i < end; ++i) {
    Pair& p = pairs_[i];
    const std::size_t off = from + kept.size();
    kept.append(names_, p.key_off, p.key_len);
    p.key_off = off;
  }
  names_.resize(from);
  names_.append(kept);
}

std::span<const FlatPair> RecordBuilder::pairs() {
  views_.clear();
  for (const Pair& p : pairs_)
    views_.push_back(FlatPair{key(p), std::string_view(text_.data() + p.value_off, p.value_len),
                              p.key_hash, p.has_value});
  return views_;
}

void RecordBuilder::reset() {
  for (Frame& f : frames_)
    if (f.index >= 0) release_index(f);
  frames_.clear();
  pairs_.clear();
  names_.clear();
  text_.clear();
  fed_ = prefixed_ = lost_ = 0;
  too_complex_ = false;
  if (names_.capacity() > kKeepBytes) std::string().swap(names_);
  if (text_.capacity() > kKeepBytes) std::string().swap(text_);
  if (pairs_.capacity() > kKeepEntries) std::vector<Pair>().swap(pairs_);
  if (frames_.capacity() > kKeepEntries) std::vector<Frame>().swap(frames_);
  if (views_.capacity() > kKeepEntries) std::vector<FlatPair>().swap(views_);
}

FlatRecord flatten_record(const XmlNode& node) {
  // Replays the tree as the events that built it, without recursion.
  RecordBuilder b;
  std::vector<std::pair<const XmlNode*, std::size_t>> work{{&node, 0}};
  b.open_local(node.name);
  while (true) {
    auto& [n, next] = work.back();
    if (next == 0) {
      const std::size_t mark = b.text().size();
      b.text().append(n->text);
      b.settle_text(mark);
    }
    if (next < n->children.size()) {
      const XmlNode* c = &n->children[next++];
      b.open_local(c->name);
      work.emplace_back(c, 0);
      continue;
    }
    work.pop_back();
    if (b.close()) break;
  }
  FlatRecord rec;
  if (b.too_complex()) return rec;  // over the work limit: nothing usable
  for (const FlatPair& p : b.pairs()) {
    rec.keys.emplace_back(p.key);
    if (p.has_value) rec.values.emplace_back(std::string(p.value));
    else rec.values.emplace_back(std::nullopt);
  }
  return rec;
}

}  // namespace qk::xml

