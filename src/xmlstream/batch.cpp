// The pending batch (rows stored by column) and the event loop that fills
// it one iterator step at a time.
#include "xmlstream/batch.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <set>

#include "xmlstream/attributes.h"
#include "xmlstream/encoding.h"
#include "xmlstream/entities.h"
#include "xmlstream/split.h"
#include "xmlstream/text.h"

namespace qk::xml {

// ---- Accumulator ----------------------------------------------------------------

namespace {
constexpr std::uint32_t kNoPair = UINT32_MAX;

// Flattening never repeats a key within a record. place_row would fold a
// repeat into one cell without a trace, so sanitizer and fuzz builds (where
// assertions are on) check every record the event loop produces.
[[maybe_unused]] bool keys_unique(std::span<const FlatPair> pairs) {
  std::set<std::string_view> seen;
  for (const FlatPair& p : pairs)
    if (!seen.insert(p.key).second) return false;
  return true;
}
}  // namespace

XmlBatchInner::XmlBatchInner(std::unique_ptr<Reader> reader, std::uint64_t batch_rows,
                             std::string path)
    : reader_(std::move(reader)),
      path_(std::move(path)),
      // A reader resumed at a split point has its top-level elements open
      // (tests fill a loop without a reader through push_record).
      rule_(reader_ ? reader_->open_depth() : 0) {
  opts_.batch_rows = batch_rows;
  buf_.reserve(4096);
  // Beyond a million rows a batch is large anyway, and a huge batch_rows
  // must not reserve memory it will never fill.
  reserve_rows_ = static_cast<std::size_t>(std::min<std::uint64_t>(batch_rows, 1u << 20));
}

XmlBatchInner::~XmlBatchInner() = default;

void XmlBatchInner::set_options(const ReadOptions& options) {
  opts_.read = options;
  if (options.entities && reader_) reader_->set_entities(*options.entities);
  if (options.record_paths) {
    std::vector<std::string> open;
    for (std::size_t i = 0; reader_ && i < reader_->open_depth(); ++i)
      open.emplace_back(utf8_name(reader_->open_name(i), decoded_name_));
    rule_ = RecordRule(options.record_paths, open);
  }
  naming_ = options.record_column.has_value();
  name_values_ = Column();
  run_ = nullptr;
}

std::vector<std::string> XmlBatchInner::column_names() const {
  if (!naming_) return columns_;
  std::vector<std::string> out;
  out.reserve(columns_.size() + 1);
  out.push_back(*opts_.read.record_column);
  out.insert(out.end(), columns_.begin(), columns_.end());
  return out;
}

void XmlBatchInner::name_row() {
  if (opts_.names_only) return;
  // A record dropped whole made no row.
  while (name_values_.rows() < row_count_) name_values_.push(record_name_);
}

void XmlBatchInner::take_split() {
  SplitPoint& at = opts_.splits->emplace_back();
  reader_->split_here(at);
  at.records = records_;
  // Pacing counts stream bytes: a UTF-16 document's UTF-8 is about half its
  // file bytes where it is mostly ASCII.
  const std::uint64_t every = enc::is_utf16(*at.encoding) ? opts_.split_every / 2 : opts_.split_every;
  next_split_ = reader_->stream_offset() + std::max<std::uint64_t>(every, 1);
}

void XmlBatchInner::take_stop() {
  // The pacing may have noted this very point already.
  if (opts_.splits == nullptr || (!opts_.splits->empty() && opts_.splits->back().offset == reader_->file_offset())) return;
  SplitPoint& at = opts_.splits->emplace_back();
  reader_->split_here(at);
  at.records = records_;
}

bool XmlBatchInner::range_end_ok(XmlStreamError& err) {
  if (opts_.read.end == ReadOptions::kNoEnd) return true;
  const std::uint64_t at = reader_->file_offset();
  if (at == opts_.read.end) return true;
  err = {XmlStreamError::Kind::Io,
         "the range's last record ended at byte " + std::to_string(at) + ", not at byte " +
             std::to_string(opts_.read.end) + " where the next range begins: the file changed since it was split",
         false};
  return false;
}

void XmlBatchInner::reset_batch() {
  row_count_ = 0;
  batch_lost_values_ = batch_lost_records_ = 0;
  // Until a batch has been taken no column knows its size ahead, and
  // growing by doubling copies every value over and over.
  row_check_ = last_bytes_.empty() && opts_.batch_rows >= 4 * kSampleRows ? kSampleRows : opts_.batch_rows;
  columns_.clear();
  column_hashes_.clear();
  column_index_.clear();
  column_values_.clear();  // rows of a step that failed are dropped here
  name_values_ = Column();
  // Projected, a batch has the listed columns from its start, and no other.
  if (opts_.read.project) {
    for (const std::string& name : *opts_.read.project) {
      if (naming_ && name == *opts_.read.record_column) continue;  // made apart from the records' own
      const std::uint64_t h = KeyIndex::hash(name);
      if (column_index_.find(name, h, [&](std::uint32_t q) -> std::string_view { return columns_[q]; }) ==
          KeyIndex::npos)
        add_column(name, h);
    }
  }
}

Batch XmlBatchInner::take_batch() {
  lost_values_ += batch_lost_values_;
  lost_records_ += batch_lost_records_;
  last_bytes_.resize(column_values_.size());
  for (std::size_t i = 0; i < column_values_.size(); ++i)
    last_bytes_[i] = column_values_[i].bytes.size() + column_values_[i].bytes.size() / 8;
  if (later_rows_ != 0) {
    // Later batches are longer than this short first one: room in proportion.
    for (std::size_t& b : last_bytes_)
      b = static_cast<std::size_t>(static_cast<double>(b) * static_cast<double>(later_rows_) /
                                   static_cast<double>(std::max<std::uint64_t>(row_count_, 1)));
    opts_.batch_rows = later_rows_;
    later_rows_ = 0;
  }
  Batch batch{std::move(columns_), std::move(column_values_), row_count_};
  if (naming_) {
    batch.columns.insert(batch.columns.begin(), *opts_.read.record_column);
    if (!opts_.names_only) batch.column_values.insert(batch.column_values.begin(), std::move(name_values_));
  }
  reset_batch();
  return batch;
}

// The first batch's columns, sized from its first rows for the whole batch
// (an eighth more, as later batches get from the last one). Room that is
// never filled costs address space only. A sample whose values would need
// outsized room is taken as unrepresentative, and the columns grow as
// they go.
void XmlBatchInner::size_columns_ahead() {
  row_check_ = opts_.batch_rows;
  if (opts_.names_only) return;
  constexpr std::size_t kMostAhead = std::size_t{1} << 30;
  const double scale = static_cast<double>(reserve_rows_) / static_cast<double>(row_count_) * 1.125;
  double total = 0;
  for (const Column& c : column_values_) total += static_cast<double>(c.bytes.size()) * scale;
  if (total > kMostAhead) return;
  for (Column& c : column_values_) c.bytes.reserve(static_cast<std::size_t>(static_cast<double>(c.bytes.size()) * scale));
}

// Position of the column named by `pair`, created (null for every earlier
// row) if the batch has none yet. Records usually repeat the previous
// record's keys in order, perhaps skipping a few, so the columns just after
// the previous key's are tried before the index; the caller has tried the
// first of them, `guess`, inline.
std::uint32_t XmlBatchInner::column_for(const FlatPair& pair, std::uint32_t guess) {
  constexpr std::uint32_t kLookAhead = 4;
  const std::string_view key = pair.key;
  const std::uint64_t h = pair.key_hash;
  const std::size_t n = columns_.size();
  for (std::uint32_t q = guess + 1; q < n && q < guess + kLookAhead; ++q)
    if (column_hashes_[q] == h && same_bytes(columns_[q], key)) return q;
  std::uint32_t p = column_index_.find(key, h, [&](std::uint32_t q) -> std::string_view {
    return columns_[q];
  });
  if (p != KeyIndex::npos) return p;
  if (naming_ && key == *opts_.read.record_column) [[unlikely]]
    name_clash_ = true;
  if (opts_.read.project) return kSkipped;
  return add_column(key, h);
}

std::uint32_t XmlBatchInner::add_column(std::string_view key, std::uint64_t h) {
  const std::uint32_t p = static_cast<std::uint32_t>(columns_.size());
  columns_.emplace_back(key);
  column_hashes_.push_back(h);
  column_index_.insert(h, p);
  if (opts_.names_only) return p;
  column_values_.emplace_back(static_cast<std::size_t>(row_count_));
  // Only the first columns get room ahead: files with thousands of sparse
  // columns would otherwise reserve far more than they use.
  if (p < 512)
    column_values_.back().reserve(reserve_rows_, p < last_bytes_.size() ? last_bytes_[p] : 0);
  return p;
}

// Adds one row: columns are discovered in key order, and every column of
// the batch receives this record's value or null. Keys usually map to rising
// column positions, and then the row is written in one merge-like walk,
// nulls filling the columns skipped; otherwise (keys in another order than
// the columns, or a repeated key, whose last value wins) through a table of
// the pair placed in each column. Output order comes only from appending,
// never from a hash table.
void XmlBatchInner::place_row(std::span<const FlatPair> pairs) {
  if (opts_.names_only) {
    std::uint32_t guess = 0;
    for (const FlatPair& pair : pairs) {
      const std::uint32_t p = column_at(pair, guess);
      if (p != kSkipped) guess = p + 1;
    }
    ++row_count_;
    return;
  }
  row_columns_.clear();
  bool rising = true;
  std::uint32_t guess = 0;
  for (const FlatPair& pair : pairs) {
    const std::uint32_t p = column_at(pair, guess);
    row_columns_.push_back(p);
    if (p == kSkipped) continue;
    rising = rising && p >= guess;
    guess = p + 1;
  }
  const std::size_t n = column_values_.size();
  if (rising) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const std::uint32_t p = row_columns_[i];
      if (p == kSkipped) continue;
      for (; next < p; ++next) column_values_[next].push_null();
      if (pairs[i].has_value) column_values_[p].push(pairs[i].value);
      else column_values_[p].push_null();
      next = p + 1;
    }
    for (; next < n; ++next) column_values_[next].push_null();
  } else {
    row_slots_.assign(n, kNoPair);
    for (std::size_t i = 0; i < pairs.size(); ++i)
      if (row_columns_[i] != kSkipped) row_slots_[row_columns_[i]] = static_cast<std::uint32_t>(i);
    for (std::size_t p = 0; p < n; ++p) {
      const std::uint32_t i = row_slots_[p];
      if (i != kNoPair && pairs[i].has_value) column_values_[p].push(pairs[i].value);
      else column_values_[p].push_null();
    }
  }
  ++row_count_;
}

void XmlBatchInner::push_record(FlatRecord&& rec) {
  record_pairs_.clear();
  for (std::size_t i = 0; i < rec.keys.size(); ++i) {
    // Keys without a value still make their column; the row gets null there.
    const bool has = i < rec.values.size() && rec.values[i].has_value();
    record_pairs_.push_back({rec.keys[i], has ? std::string_view(*rec.values[i]) : "",
                             KeyIndex::hash(rec.keys[i]), has});
  }
  place_row(record_pairs_);
}

// ---- Record text ----------------------------------------------------------------

// Decodes the event's bytes onto the innermost element's text, resolving
// references for character data (not CDATA). A failed piece is not kept.
// Text that cannot become a value is still checked, for the same errors,
// but copied nowhere when it needs no conversion.
bool XmlBatchInner::resolve_here(std::string& s, std::size_t from, XmlStreamError& err) {
  Entities* entities = reader_->entities();
  if (resolve_references_in_place(s, from, err, entities)) return true;
  reader_->locate(err);
  // Where entities can be given, the error says how.
  if (entities && err.text.starts_with("unrecognized entity ")) err.text += Entities::kHint;
  return false;
}

// Text of a record that goes straight to the builder.
bool XmlBatchInner::append_direct(bool resolve, XmlStreamError& err) {
  std::string& text = record_.text();
  if (reader_->text_is_utf8()) {
    const Scan s = scan_piece(ev_);
    if (!s.high || enc::valid_utf8(ev_)) {
      const bool refs = resolve && s.amp;
      if (!record_.keeps_text()) {
        if (refs && !resolve_here(event_copy(), 0, err)) return false;
        if (!blank(refs ? std::string_view(buf_) : ev_)) record_.lose_text();
        return true;
      }
      const std::size_t mark = text.size();
      text.append(ev_);
      return !refs || resolve_here(text, mark, err);
    }
  }
  const std::size_t mark = text.size();
  if (!reader_->decode(ev_, text, err)) {
    text.resize(mark);
    return false;
  }
  if (resolve && !resolve_here(text, mark, err)) return false;
  record_.settle_text(mark);
  return true;
}

template <bool kNames>
bool XmlBatchInner::append_text(bool resolve, XmlStreamError& err) {
  if (direct_ && !kNames) return append_direct(resolve, err);
  // Only the text of an element inside the record can become a value; the
  // record element's own is checked and dropped.
  const bool keep = !kNames && log_depth_ >= 2;
  std::string& text = log_;
  if (reader_->text_is_utf8()) {
    const Scan s = scan_piece(ev_);
    // An invalid piece goes the general way, which reports it.
    if (!s.high || enc::valid_utf8(ev_)) {
      const bool refs = resolve && s.amp;
      if (!keep) {
        if (refs && !resolve_here(event_copy(), 0, err)) return false;
        if (!kNames && !blank(refs ? std::string_view(buf_) : ev_)) record_text_lost_ = true;
        return true;
      }
      const std::size_t mark = text.size();
      text.append(ev_);
      if (refs && !resolve_here(text, mark, err)) return false;
      log_text(mark);
      return true;
    }
  }
  const std::size_t mark = text.size();
  if (!reader_->decode(ev_, text, err)) {
    text.resize(mark);
    return false;
  }
  if (resolve && !resolve_here(text, mark, err)) return false;
  if (keep) {
    log_text(mark);
  } else {
    if (!kNames && !blank(std::string_view(text).substr(mark))) record_text_lost_ = true;
    text.resize(mark);
  }
  return true;
}

// ---- The record log -----------------------------------------------------------------
// A record's events are logged as they arrive, names and the texts that can
// become values. Most records are flat, their children all leaves with
// different names: such a record flattens to its children's names and
// trimmed texts, in order, and its row is made straight from the log. Any
// other record is replayed into the RecordBuilder, which applies every rule.

void XmlBatchInner::log_open(std::string_view qualified_name, bool lent) {
  if (log_depth_ == 0) {
    log_.clear();
    log_n_ = lent_from_ = 0;
    // Records of a file tend to be alike: after one that was not flat, the
    // next go straight to the builder, and only every 64th tries the log.
    direct_ = !opts_.flat_fast_path || (last_replayed_ && (++probe_ & 63) != 0);
    log_flat_ = !direct_;
    record_text_lost_ = false;
  } else if (!direct_ && log_depth_ >= 2) {
    // Nested, so not flat: what is logged goes to the builder, the rest
    // straight after it.
    replay();
    direct_ = true;
    log_flat_ = false;
  }
  if (direct_) {
    ++log_depth_;
    return record_.open(qualified_name);
  }
  // Counted once logged, should logging run out of memory.
  if (lent) {
    log_push({LogEntry::Open, qualified_name.data(), 0, qualified_name.size()});
  } else {
    const std::size_t at = log_.size();
    log_.append(qualified_name);
    log_push({LogEntry::Open, nullptr, at, qualified_name.size()});
  }
  ++log_depth_;
}

void XmlBatchInner::log_text(std::size_t mark) {
  if (log_.size() > mark) log_push({LogEntry::Text, nullptr, mark, log_.size() - mark});
}

bool XmlBatchInner::lend_text(bool utf8, XmlStreamError& err) {
  // Most values need neither decoding nor resolving: they stay in the
  // window until the record's row is made from them, copied once, into
  // their column.
  if (!direct_ && log_depth_ >= 2 && utf8) {
    const Scan s = scan_piece(ev_);
    if (!s.amp && (!s.high || enc::valid_utf8(ev_))) {
      log_push({LogEntry::Text, ev_.data(), 0, ev_.size()});
      return true;
    }
  }
  return append_text<false>(true, err);
}

void XmlBatchInner::keep_log() {
  for (std::size_t k = lent_from_; k < log_n_; ++k) {
    LogEntry& e = log_entries_[k];
    if (!e.lent) continue;
    e.off = log_.size();
    log_.append(e.lent, e.len);
    e.lent = nullptr;
  }
  lent_from_ = log_n_;
}

bool XmlBatchInner::log_close() {
  if (direct_) {
    record_.close();
    return --log_depth_ == 0;
  }
  log_push({LogEntry::Close, nullptr, 0, 0});
  return --log_depth_ == 0;
}

// Starts the row of a record that may be flat (see flat_key).
void XmlBatchInner::begin_flat_row() {
  // Each column records the last row that took a value from this record:
  // a second value for it means a repeated name, which is not flat.
  if (++stamp_ == 0) {
    std::fill(column_stamp_.begin(), column_stamp_.end(), 0);
    stamp_ = 1;
  }
  column_stamp_.resize(columns_.size(), 0);
  flat_names_.clear();
  flat_keys_.clear();
  flat_hashes_.clear();
  flat_values_.clear();
  row_columns_.clear();
  flat_guess_ = 0;
}

// The column of a flat record's child named `name` (qualified), tried first
// at `guess`: its position; or kNewColumn | k for the record's kth name that
// no column has yet (noted in flat_keys_); or KeyIndex::npos for one that
// repeats an earlier such name. Keys never hold ':', so a name equal to the
// expected column's key is its own local name: the usual case costs one
// comparison.
[[gnu::always_inline]] inline std::uint32_t XmlBatchInner::flat_column(std::string_view name, std::uint32_t guess) {
  if (guess < columns_.size() && same_bytes(columns_[guess], name)) return guess;
  const std::size_t at = flat_names_.size();
  local_name_append(name, flat_names_);
  const std::string_view key(flat_names_.data() + at, flat_names_.size() - at);
  const std::uint64_t h = KeyIndex::hash(key);
  for (std::uint32_t q = guess + 1; q < columns_.size() && q < guess + 4; ++q)
    if (column_hashes_[q] == h && same_bytes(columns_[q], key)) return q;
  const std::uint32_t p =
      column_index_.find(key, h, [&](std::uint32_t q) -> std::string_view { return columns_[q]; });
  if (p != KeyIndex::npos) return p;
  for (std::size_t k = 0; k < flat_keys_.size(); ++k)
    if (flat_hashes_[k] == h && same_bytes(flat_key(k), key)) return KeyIndex::npos;
  flat_keys_.push_back({at, key.size()});
  flat_hashes_.push_back(h);
  return kNewColumn | static_cast<std::uint32_t>(flat_keys_.size() - 1);
}

// The next child of a flat record, named `name` (qualified), with `value`
// (trimmed): false when the name repeats one of the record's, which makes
// the record not flat.
[[gnu::always_inline]] inline bool XmlBatchInner::flat_key(std::string_view name, std::string_view value) {
  std::uint32_t& guess = flat_guess_;
  const std::uint32_t p = flat_column(name, guess);
  if (p == KeyIndex::npos) return false;  // a repeat
  if (!(p & kNewColumn)) {
    if (column_stamp_[p] == stamp_) return false;  // a repeat
    column_stamp_[p] = stamp_;
    guess = p + 1;
  }
  row_columns_.push_back(p);
  flat_values_.push_back(value);
  return true;
}

// Places the flat record gathered by flat_key as a row.
void XmlBatchInner::place_flat_row() {
  // Its new columns join the batch, after all others; projected, they are
  // names not listed, whose values are dropped here.
  bool skipped = false;
  for (std::uint32_t& p : row_columns_) {
    if (!(p & kNewColumn)) continue;
    const std::size_t k = p & ~kNewColumn;
    const std::uint32_t at = static_cast<std::uint32_t>(columns_.size());
    p = column_for(FlatPair{flat_key(k), {}, flat_hashes_[k], false}, at);
    skipped |= p == kSkipped;
  }
  if (skipped) [[unlikely]] {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < row_columns_.size(); ++i) {
      if (row_columns_[i] == kSkipped) continue;
      row_columns_[kept] = row_columns_[i];
      flat_values_[kept++] = flat_values_[i];
    }
    row_columns_.resize(kept);
    flat_values_.resize(kept);
  }
  const std::size_t n = column_values_.size();
  const std::size_t m = row_columns_.size();
  bool rising = true;
  for (std::size_t i = 1; i < m && rising; ++i) rising = row_columns_[i] > row_columns_[i - 1];
  if (rising) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t p = row_columns_[i];
      for (; next < p; ++next) column_values_[next].push_null();
      if (!flat_values_[i].empty()) column_values_[p].push(flat_values_[i]);
      else column_values_[p].push_null();
      next = p + 1;
    }
    for (; next < n; ++next) column_values_[next].push_null();
  } else {
    row_slots_.assign(n, kNoPair);
    for (std::size_t i = 0; i < m; ++i) row_slots_[row_columns_[i]] = static_cast<std::uint32_t>(i);
    for (std::size_t p = 0; p < n; ++p) {
      const std::uint32_t i = row_slots_[p];
      if (i != kNoPair && !flat_values_[i].empty()) column_values_[p].push(flat_values_[i]);
      else column_values_[p].push_null();
    }
  }
  ++row_count_;
}

bool XmlBatchInner::flat_row() {
  if (!log_flat_) return false;
  begin_flat_row();
  // Entry 0 opens the record element; then each child is Open, its texts,
  // Close, and the record's Close ends the log.
  for (std::size_t i = 1; i + 1 < log_n_;) {
    const LogEntry& open = log_entries_[i++];
    std::string_view value;
    if (log_entries_[i].kind == LogEntry::Text) {
      value = log_bytes(log_entries_[i]);
      // Pieces of one text (around a comment, say) lie end to end in log_;
      // any others the builder joins.
      for (++i; log_entries_[i].kind == LogEntry::Text; ++i) {
        const LogEntry& e = log_entries_[i];
        if (e.lent || value.data() + value.size() != log_.data() + e.off) return false;
        value = std::string_view(value.data(), value.size() + e.len);
      }
    }
    ++i;  // the child's Close
    if (!flat_key(log_bytes(open), trim_white_space(value))) return false;
  }
  place_flat_row();
  return true;
}

void XmlBatchInner::replay() {
  for (std::size_t k = 0; k < log_n_; ++k) {
    const LogEntry& e = log_entries_[k];
    switch (e.kind) {
      case LogEntry::Open:
        record_.open(log_bytes(e));
        if (k == 0 && record_text_lost_) record_.lose_text();
        break;
      case LogEntry::Text: {
        std::string& text = record_.text();
        const std::size_t mark = text.size();
        text.append(log_bytes(e));
        record_.settle_text(mark);
        break;
      }
      case LogEntry::Close:
        record_.close();
        break;
    }
  }
}

// ---- Record shapes (discovery) ------------------------------------------------------
// A record's columns follow from its element names alone. Discovery keeps
// each record's names as a shape: a flat one is checked against the columns
// child by child, and any other flattened only if its shape has not been
// seen, so each element costs no more than appending its name.

std::string_view XmlBatchInner::shape_name(std::string_view shape, std::size_t at, std::size_t& next) {
  std::uint32_t n;
  std::memcpy(&n, shape.data() + at + 1, kShapeSize);
  next = at + 1 + kShapeSize + n;
  return shape.substr(at + 1 + kShapeSize, n);
}

template <bool kNames>
void XmlBatchInner::open(std::string_view qualified_name) {
  if (!kNames) return log_open(qualified_name);
  const auto n = static_cast<std::uint32_t>(qualified_name.size());
  shape_ += kShapeOpen;
  shape_.append(reinterpret_cast<const char*>(&n), kShapeSize);
  shape_.append(qualified_name);
  ++shape_depth_;
}

void XmlBatchInner::follow_walk(std::ptrdiff_t opened) {
  // Elements a walk left open, or closed, inside the record: the rule needs
  // no names for them.
  for (; opened > 0; --opened) rule_.start({});
  for (; opened < 0; ++opened) rule_.end();
}

bool XmlBatchInner::skim_names() {
  const std::size_t record_depth = reader_->open_depth() + 1 - shape_depth_;
  std::ptrdiff_t opened = 0;
  const bool closed = reader_->skim_names(record_depth, shape_, kShapeOpen, kShapeClose, opened);
  shape_depth_ = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(shape_depth_) + opened);
  follow_walk(opened);
  return closed;
}

bool XmlBatchInner::walk_values(bool& closed, XmlStreamError& err) {
  // Hands the record's events to the loop's own handlers, as the loop
  // would: text to append_text, tags to the log.
  struct Walk final : Reader::EventSink {
    XmlBatchInner& in;
    XmlStreamError& err;
    std::ptrdiff_t opened = 0;
    const bool utf8;  // the text's encoding, which a walk cannot change
    Walk(XmlBatchInner& i, XmlStreamError& e) : in(i), err(e), utf8(i.reader_->text_is_utf8()) {}
    bool on(Event ev, std::string_view bytes) override {
      switch (ev) {
        case Event::Text:
          in.ev_ = bytes;
          return in.lend_text(utf8, err);
        case Event::Start:
          in.log_open(bytes, true);
          ++opened;
          return true;
        case Event::Empty:
          in.log_open(bytes, true);
          in.log_close();
          return true;
        case Event::End:
          in.log_close();
          --opened;
          return true;
        default:
          return true;
      }
    }
  };
  // The record's start tag was read while nothing was open, its text
  // discarded; the record's own is not.
  if (discarding_) reader_->set_discard_content(discarding_ = false);
  Walk walk(*this, err);
  const std::size_t record_depth = reader_->open_depth() + 1 - log_depth_;
  bool failed = false;
  closed = reader_->skim_events(record_depth, walk, failed);
  // A record the walk closed is made into its row before the reader reads
  // again; any other keeps what it lent.
  if (!closed) keep_log();
  follow_walk(walk.opened);
  return !failed;
}

template <class M>
bool XmlBatchInner::walk_on(bool& closed, XmlStreamError& err) {
  if constexpr (M::kAttributes) {
    return true;
  } else if constexpr (M::kNames) {
    if (opts_.skip_text) closed = skim_names();
    return true;
  } else {
    return opts_.read.skip || walk_values(closed, err);
  }
}

bool XmlBatchInner::shape_close() {
  shape_ += kShapeClose;
  return --shape_depth_ == 0;
}

// Past the close that ends the element whose open entry ends at `at`.
std::size_t XmlBatchInner::subtree_end(std::string_view shape, std::size_t at) {
  for (std::size_t depth = 1; depth != 0 && at < shape.size();) {
    if (shape[at] == kShapeClose) {
      --depth;
      ++at;
    } else {
      ++depth;
      shape_name(shape, at, at);
    }
  }
  return at;
}

void XmlBatchInner::shape_into_record(std::string_view shape) {
  for (std::size_t i = 0; i < shape.size();) {
    if (shape[i] == kShapeClose) {
      record_.close();
      ++i;
      continue;
    }
    record_.open(shape_name(shape, i, i));
  }
}

namespace {
// Distinct child subtrees, and the bytes of their shapes and keys, kept at
// most; a cache that fills is emptied before the next record. A larger
// subtree is seldom repeated, and one deep in repeated names could reach the
// work limit alone, to be flattened again with its record: such a record is
// flattened whole at once.
constexpr std::size_t kMostChildren = 4096, kMostChildBytes = std::size_t{4} << 20;
constexpr std::size_t kMostChildShape = 4096;
}  // namespace

// The keys a child subtree of a record (its shape, from its open entry to
// its close) hands to the record's level: a child's keys depend on its own
// elements alone, and children repeat far more than whole records do. Its
// position in child_shapes_, flattened on first sight; kNoChild when it is
// too large to keep, goes over the work limit, or the cache is full.
std::uint32_t XmlBatchInner::child_keys(std::string_view subtree) {
  if (subtree.size() > kMostChildShape) return kNoChild;
  const std::uint64_t h = KeyIndex::hash(subtree);
  const auto shape_at = [&](std::uint32_t q) -> std::string_view {
    return {child_bytes_.data() + child_shapes_[q].off, child_shapes_[q].len};
  };
  const std::uint32_t found = child_index_.find(subtree, h, shape_at);
  if (found != KeyIndex::npos) return found;
  if (child_shapes_.size() >= kMostChildren || child_bytes_.size() + subtree.size() > kMostChildBytes)
    return kNoChild;
  // Flattened under a nameless root: the root's level starts empty, so it
  // takes the child's keys unchanged, in order.
  record_.open_local({});
  shape_into_record(subtree);
  record_.close();
  if (record_.too_complex()) {
    record_.reset();
    return kNoChild;
  }
  ChildShape c{child_bytes_.size(), subtree.size(), static_cast<std::uint32_t>(child_keys_.size()), 0,
               record_.prefixed(), 0};
  child_bytes_.append(subtree);
  for (const FlatPair& pair : record_.pairs()) {
    child_keys_.push_back({child_bytes_.size(), pair.key.size(), pair.key_hash});
    child_bytes_.append(pair.key);
    c.key_bytes += pair.key.size();
    ++c.count;
  }
  record_.reset();
  const auto pos = static_cast<std::uint32_t>(child_shapes_.size());
  child_shapes_.push_back(c);
  child_index_.insert(h, pos);
  return pos;
}

// Folds one of the record's keys into its row as the record's level takes
// it: a key the record holds already is prefixed once (with the local name
// of `prefix`, the child it came through, or the record for a leaf), and a
// prefixed key the record holds too overwrites that value, making no column.
void XmlBatchInner::fold_key(std::string_view key, std::uint64_t h, std::string_view prefix) {
  const auto column = [&](std::string_view k, std::uint64_t kh) {
    const std::uint32_t p = column_at(FlatPair{k, {}, kh, false}, flat_guess_);
    if (p >= column_stamp_.size()) column_stamp_.resize(columns_.size(), 0);
    return p;
  };
  std::uint32_t p = column(key, h);
  if (column_stamp_[p] == stamp_) {
    fold_prefixed_.assign(local_name_in(prefix, fold_prefix_));
    fold_prefixed_ += '_';
    fold_prefixed_.append(key);
    p = column(fold_prefixed_, KeyIndex::hash(fold_prefixed_));
    if (column_stamp_[p] == stamp_) return;  // an overwritten value
  }
  column_stamp_[p] = stamp_;
  flat_guess_ = p + 1;
}

// A record folded from its children's keys, making its columns in the order
// flattening it whole makes them (see RecordBuilder::take). A leaf's key is
// its name; a branch's keys are its subtree's, flattened once per distinct
// subtree. Records mostly repeat the columns' order, so a leaf whose name is
// the next column costs one comparison (keys hold no ':', so the name is its
// own local name). False, with nothing registered, where the record must be
// flattened whole: with a projection (keys that make no column still
// collide), a subtree the cache cannot take, or prefixing that could reach
// the work limit.
bool XmlBatchInner::fold_record() {
  if (opts_.read.project) return false;
  if (child_shapes_.size() >= kMostChildren / 2 || child_bytes_.size() >= kMostChildBytes / 2) {
    child_bytes_.clear();
    child_keys_.clear();
    child_shapes_.clear();
    child_index_.clear();
  }
  const std::string_view shape(shape_);
  std::size_t first;
  const std::string_view record = shape_name(shape, 0, first);
  // The branches' keys first, and a bound on the prefixing the record could
  // make: each key prefixed once, on top of what its subtree made. A local
  // name is at most three times its raw bytes (each invalid byte becomes
  // U+FFFD).
  fold_branches_.clear();
  std::uint64_t prefixing = 0;
  for (std::size_t i = first; i < shape.size() && shape[i] == kShapeOpen;) {
    const std::size_t from = i;
    const std::string_view name = shape_name(shape, i, i);
    if (i < shape.size() && shape[i] == kShapeClose) {
      prefixing += 3 * (record.size() + name.size()) + 1;
      ++i;
      continue;
    }
    i = subtree_end(shape, i);
    const std::uint32_t c = child_keys(shape.substr(from, i - from));
    if (c == kNoChild) return false;
    const ChildShape& child = child_shapes_[c];
    prefixing += child.prefixed + child.key_bytes + child.count * (3 * name.size() + 1);
    fold_branches_.push_back({c, i});
  }
  if (prefixing > RecordBuilder::kPrefixFloor) return false;
  begin_flat_row();
  std::size_t branch = 0;
  for (std::size_t i = first; i < shape.size() && shape[i] == kShapeOpen;) {
    const std::string_view name = shape_name(shape, i, i);
    if (shape[i] == kShapeClose) {
      ++i;
      const std::uint32_t guess = flat_guess_;
      if (guess < columns_.size() && same_bytes(columns_[guess], name) && column_stamp_[guess] != stamp_) {
        column_stamp_[guess] = stamp_;
        flat_guess_ = guess + 1;
        continue;
      }
      const std::string_view key = local_name_in(name, fold_names_);
      fold_key(key, KeyIndex::hash(key), record);
      continue;
    }
    const auto [c, end] = fold_branches_[branch++];
    i = end;
    const ChildShape& child = child_shapes_[c];
    for (std::uint32_t k = child.first; k < child.first + child.count; ++k)
      fold_key({child_bytes_.data() + child_keys_[k].off, child_keys_[k].len}, child_keys_[k].hash, name);
  }
  return true;
}

bool XmlBatchInner::shape_record(XmlStreamError& err) {
  constexpr std::size_t kMaxShapes = 4096;
  // Remembering shapes pays where records repeat them. Where nearly every
  // record has one of its own (optional fields, varying repeats), each
  // lookup hashes the whole shape and walks a bucket for nothing: after
  // enough lookups, a cache that seldom finds is dropped.
  constexpr std::uint64_t kJudgeAfter = 2048;
  if (fold_record()) {
    shape_.clear();
    ++row_count_;
    return true;
  }
  if (shape_cache_) {
    const bool hit = shapes_.find(shape_) != shapes_.end();
    shape_hits_ += hit;
    if (++shape_lookups_ == kJudgeAfter && shape_hits_ * 4 < shape_lookups_) {
      shape_cache_ = false;
      std::unordered_set<std::string>().swap(shapes_);
    }
    if (hit) {
      shape_.clear();
      ++row_count_;
      return true;
    }
  }
  shape_into_record(shape_);
  if (record_.too_complex()) {
    record_.reset();
    shape_.clear();
    err = XmlStreamError{XmlStreamError::Kind::Xml,
                         "record too deeply nested with repeated element names to flatten"};
    reader_->locate(err);
    return false;
  }
  place_row(record_.pairs());  // counts the row
  record_.reset();
  if (shape_cache_ && shapes_.size() < kMaxShapes) shapes_.insert(shape_);
  shape_.clear();
  return true;
}

// ---- Attributes ------------------------------------------------------------------
// Read only when asked for: each attribute becomes a leaf, as if the element
// held a child of that name with the value as its text, so every rule of
// flattening (prefixes, collisions, the flat fast path) applies unchanged.

template <bool kNames>
void XmlBatchInner::attribute_leaf(std::string_view qualified_name, std::string_view value) {
  open<kNames>(qualified_name);
  if (kNames) {
    shape_close();
    return;
  }
  if (!value.empty()) {
    if (direct_) {
      std::string& text = record_.text();
      const std::size_t mark = text.size();
      text.append(value);
      record_.settle_text(mark);
    } else {
      const std::size_t mark = log_.size();
      log_.append(value);
      log_text(mark);
    }
  }
  log_close();
}

// One attribute as a leaf: its raw value decoded and resolved straight into
// the text of the record's log (or builder), where a leaf's text goes. A
// discovery that checks text only checks the value.
template <bool kNames>
bool XmlBatchInner::attribute_value(std::string_view name, std::string_view raw, bool amp, bool high,
                                    XmlStreamError& err) {
  open<kNames>(name);
  std::string& out = kNames ? attr_value_ : direct_ ? record_.text() : log_;
  const std::size_t mark = kNames ? 0 : out.size();
  if (kNames) out.clear();
  bool ok = true;
  if (reader_->text_is_utf8() && (!high || enc::valid_utf8(raw))) {
    // Checking needs no copy unless references are to be resolved.
    if (!kNames || amp) out.append(raw);
  } else {
    ok = reader_->decode(raw, out, err);
  }
  if (ok && amp) ok = resolve_here(out, mark, err);
  if (kNames) {
    shape_close();
    return ok;
  }
  if (!ok) out.resize(mark);
  else if (direct_) record_.settle_text(mark);
  else log_text(mark);
  log_close();
  return ok;
}

// The attributes of the start or empty-element tag in ev_, whose element
// has just been opened.
template <bool kNames>
bool XmlBatchInner::open_attributes(bool empty, XmlStreamError& err) {
  reader_->mark_tag(ev_.size(), empty);
  const std::string_view tag(ev_);
  const std::size_t name_size = reader_->last_name_size();
  const auto malformed = [&](const char* what) {
    err = XmlStreamError{XmlStreamError::Kind::Xml,
                         std::string(what) + " in tag <" + std::string(tag.substr(0, name_size)) + ">"};
    reader_->locate(err);
    return false;
  };
  // Says which value a decoding or reference error was found in.
  const auto in_value = [&](std::string_view name) {
    std::string text = std::move(err.text);
    if (const std::size_t at = text.find(" in text"); at != std::string::npos) text.erase(at, 8);
    err.text = "attribute " + std::string(name) + " of <" + std::string(tag.substr(0, name_size)) + ">: " + text;
    return false;
  };
  // Values are checked as text is; a discovery that skims text skips them.
  const bool values = !kNames || !opts_.skip_text;
  bool any = false;
  if (!kNames && own_text_open_) lose_own_text();
  own_text_open_ = false;
  tokenize_attributes(tag, name_size, values, attrs_);
  for (const Attribute& at : attrs_.items) {
    if (is_namespace_declaration(at.name)) continue;
    any = true;
    if (!values) attribute_leaf<kNames>(at.name, {});
    else if (!attribute_value<kNames>(at.name, at.raw, at.amp, at.high, err)) return in_value(at.name);
  }
  if (attrs_.error) return malformed(attrs_.error);
  own_text_.clear();
  own_text_unsure_ = false;
  own_text_open_ = any;
  return true;
}

// An empty record element whose attributes are all it holds, as most
// attribute-only files are, made into its row straight from the tag: its
// keys are the attributes' names, so it is flat unless two names share a
// local name. Values without references are used in place; discovery
// registers the names only, checking the values unless it skims text.
// False leaves the record to the general way, which also reports what is
// wrong with it.
template <bool kNames>
bool XmlBatchInner::attribute_row() {
  const std::string_view tag(ev_);
  begin_flat_row();
  // A discovery that skims text takes the names alone.
  const bool values = !kNames || !opts_.skip_text;
  // Resolved values are never longer than their references, and all fit
  // in the tag's size.
  if (values && tag.size() > attr_values_size_) {
    attr_values_size_ = std::max(tag.size(), 2 * attr_values_size_);
    attr_values_ = std::make_unique_for_overwrite<char[]>(attr_values_size_);
  }
  char* resolved = attr_values_.get();
  tokenize_attributes(tag, reader_->last_name_size(), values, attrs_);
  for (const Attribute& at : attrs_.items) {
    if (is_namespace_declaration(at.name)) continue;
    if (at.high && !enc::valid_utf8(at.raw)) return false;
    std::string_view value = at.raw;
    if (at.amp) {
      const std::size_t n = copy_resolving(at.raw.data(), at.raw.size(), resolved);
      if (n == std::string_view::npos) return false;
      value = std::string_view(resolved, n);
      resolved += n;
    }
    if (!flat_key(at.name, kNames ? std::string_view{} : trim_white_space(value))) return false;
  }
  if (attrs_.error) return false;
  if (!kNames) {
    place_flat_row();
    return true;
  }
  for (const std::uint32_t p : row_columns_) {
    if (!(p & kNewColumn)) continue;
    const std::size_t k = p & ~kNewColumn;
    column_for(FlatPair{flat_key(k), {}, flat_hashes_[k], false}, static_cast<std::uint32_t>(columns_.size()));
  }
  ++row_count_;
  return true;
}

// Text of an element with attributes and no child element yet.
bool XmlBatchInner::append_own_text(bool resolve, XmlStreamError& err) {
  const std::size_t mark = own_text_.size();
  bool ok;
  if (reader_->text_is_utf8() && enc::valid_utf8(ev_)) {
    own_text_.append(ev_);
    ok = true;
  } else {
    ok = reader_->decode(ev_, own_text_, err);
  }
  if (ok && resolve) ok = resolve_here(own_text_, mark, err);
  if (ok) return true;
  own_text_.resize(mark);
  // Skimming, errors are the reading pass's to report: the text is only
  // known not to be blank.
  if (!opts_.skip_text) return false;
  err = XmlStreamError{};
  own_text_unsure_ = true;
  return true;
}

// A child opens in an element with attributes that had none so far: its
// text gathered until now can no longer become a leaf. The child has been
// opened already, so that element is the one around the innermost.
void XmlBatchInner::lose_own_text() {
  if (blank(own_text_)) return;
  // Not straight to the builder, the record is still logged, and the
  // log holds no element below the record with a child.
  if (direct_) record_.lose_outer_text();
  else record_text_lost_ = true;
}

// At the end tag in ev_ of an element with attributes and no children.
template <bool kNames>
void XmlBatchInner::close_own_text() {
  own_text_open_ = false;
  const std::string_view text = trim_white_space(own_text_);
  if (!text.empty() || own_text_unsure_) attribute_leaf<kNames>(ev_, text);
  own_text_.clear();
  own_text_unsure_ = false;
}

// Closes the innermost element; Record when that was the record element,
// whose row is then placed (or dropped, after an interrupt cut its text).
template <bool kNames>
[[gnu::always_inline]] inline XmlBatchInner::Closed XmlBatchInner::close_element(XmlStreamError& err) {
  if (kNames) {
    if (!shape_close()) return Closed::Inside;
    return shape_record(err) ? Closed::Record : Closed::Error;
  }
  if (!log_close()) return Closed::Inside;
  if (drop_record_) {
    drop_record_ = false;
    record_.reset();
    return Closed::Record;
  }
  if (!direct_ && flat_row()) {
    // A flat record can lose only the record element's own text.
    if (record_text_lost_) [[unlikely]] count_loss(1);
    last_replayed_ = false;
    return Closed::Record;
  }
  if (!direct_) replay();
  last_replayed_ = true;
  if (record_.too_complex()) {
    record_.reset();
    err = XmlStreamError{XmlStreamError::Kind::Xml,
                         "record too deeply nested with repeated element names to flatten"};
    reader_->locate(err);
    return Closed::Error;
  }
  assert(keys_unique(record_.pairs()));
  place_row(record_.pairs());
  count_loss(record_.lost());
  record_.reset();
  return Closed::Record;
}

// ---- Event loop -----------------------------------------------------------------

// The loop is compiled once per mode, and the mode picked once, at the
// first step: reading without attributes pays for none of their checks,
// reading values for none of discovery's, and reading a whole file for no
// range or split point.
XmlBatchInner::Run XmlBatchInner::pick_run() const {
  const bool names = opts_.names_only, attributes = opts_.read.attributes;
  const bool stops = opts_.splits != nullptr || opts_.read.records != UINT64_MAX ||
                     opts_.read.until != ReadOptions::kNoEnd || opts_.read.skip || opts_.read.pass_over != 0;
  if (nested_) return stops ? &XmlBatchInner::run_nested<true> : &XmlBatchInner::run_nested<false>;
  const int mode = (names ? 4 : 0) | (attributes ? 2 : 0) | (stops ? 1 : 0);
  switch (mode) {
    case 0: return &XmlBatchInner::run<Mode<false, false, false>>;
    case 1: return &XmlBatchInner::run<Mode<false, false, true>>;
    case 2: return &XmlBatchInner::run<Mode<false, true, false>>;
    case 3: return &XmlBatchInner::run<Mode<false, true, true>>;
    case 4: return &XmlBatchInner::run<Mode<true, false, false>>;
    case 5: return &XmlBatchInner::run<Mode<true, false, true>>;
    case 6: return &XmlBatchInner::run<Mode<true, true, false>>;
    default: return &XmlBatchInner::run<Mode<true, true, true>>;
  }
}

XmlBatchInner::Step XmlBatchInner::next_batch(XmlStreamError& err) {
  if (pending_) {
    err = std::move(*pending_);
    pending_.reset();
    return Step::Error;
  }
  if (finished_) return Step::Finished;
  if (run_ == nullptr) {
    run_ = pick_run();
    if (opts_.read.skip) note_good();
  }
  reset_batch();
  const Step step = (this->*run_)(err);
  if (name_clash_ && step != Step::Error) [[unlikely]] {
    err = {XmlStreamError::Kind::Xml,
           "a record holds an element or attribute named '" + *opts_.read.record_column +
               "', the name of the record-name column: choose another name for that column",
           false};
    finished_ = true;
    return Step::Error;
  }
  const bool truncated = fault_ && fault_->truncated;
  // Input with no element at all is not XML: nothing to skip to.
  if (step == Step::Error && err.kind == XmlStreamError::Kind::Xml && ((opts_.read.skip && !empty_) || truncated)) {
    if (!fault_) note_fault(false);
    fault_->text = err.text;
    finished_ = true;
    // The complete rows come first; a nested batch was dropped with its record.
    if (row_count_ != 0 && !opts_.names_only && nested_ == nullptr) {
      pending_ = std::move(err);
      return Step::Batch;
    }
  }
  return step;
}

void XmlBatchInner::note_fault(bool truncated) {
  Fault f;
  f.truncated = truncated;
  f.at = truncated ? reader_->file_offset() : reader_->offset();
  f.in_record = started_;
  f.record_start = record_start_;
  reader_->split_here(f.good);
  f.good.offset = good_end_;
  f.good.records = good_records_;
  // A later record resumes among the elements the faulty one had around it.
  if (started_ && record_depth_ < f.good.open.size()) f.good.open.resize(record_depth_);
  fault_ = std::move(f);
}

bool XmlBatchInner::end_ok(XmlStreamError& err) {
  const std::size_t open = reader_->open_depth();
  if (open == 0 && (!opts_.read.check_element || records_ != 0 || reader_->any_element())) return true;
  const std::string where = reader_->position_at(reader_->file_offset());
  if (open != 0) {
    err = {XmlStreamError::Kind::Xml,
           "the document ends inside <" + std::string(reader_->open_name(0)) + ">" + where + "; truncated?", false};
    note_fault(true);
  } else {
    err = {XmlStreamError::Kind::Xml, "the input holds no XML element" + where + ": it is empty or not XML", false};
    empty_ = true;
  }
  opts_.read.check_end = false;  // said once
  return false;
}

template <class M>
XmlBatchInner::Step XmlBatchInner::run(XmlStreamError& err) {
  // Inside a record, the reader's tag walk passes over its insides (see
  // walk_on), leaving the loop at the record's end tag, consumed, or at
  // whatever the walk left to read_event.
  bool skimmed_end = false;
  while (true) {
    Event ev;
    if (skimmed_end) {
      skimmed_end = false;
      ev = Event::End;
    } else {
      buf_.clear();
      // Character data outside records is never looked at, so the reader
      // need not buffer it; nor any, in a discovery that skips text, but for
      // the text that may become a leaf beside attributes.
      const bool discard =
          depth<M::kNames>() == 0 || ((M::kNames && opts_.skip_text) && !(M::kAttributes && own_text_open_));
      if (discarding_ != discard) reader_->set_discard_content(discarding_ = discard);
      if (!reader_->read_event(buf_, ev_, ev, err)) {
        if (err.kind == XmlStreamError::Kind::Interrupted && err.mid_event && depth<M::kNames>() != 0)
          drop_record_ = true;
        return Step::Error;
      }
    }
    switch (ev) {
      case Event::Start: {
        const std::string_view name = ev_.substr(0, reader_->last_name_size());
        const RecordRule::Role role = rule_.start(rule_name(name));
        if (role != RecordRule::Role::Outside) {
          if constexpr (M::kStops) {
            if (passed_ != opts_.read.pass_over && role == RecordRule::Role::Record) [[unlikely]] {
              ++passed_;
              if (!reader_->skip_element(ev, err)) return Step::Error;
              if (ev == Event::End) rule_.end();  // else the input ended, which the next event says
              break;
            }
            if (opts_.read.skip && role == RecordRule::Role::Record) note_record_start(false);
          }
          note_record(role);
          open<M::kNames>(name);
          if (M::kAttributes && !open_attributes<M::kNames>(false, err)) return Step::Error;
          if (!walk_on<M>(skimmed_end, err)) return Step::Error;
        }
        break;
      }
      case Event::End:
        if (rule_.end() == RecordRule::Role::Outside) break;
        if (M::kAttributes && own_text_open_) close_own_text<M::kNames>();
        switch (close_element<M::kNames>(err)) {
          case Closed::Inside:
            if (!walk_on<M>(skimmed_end, err)) return Step::Error;
            break;
          case Closed::Record:
            if (record_done<M::kStops>()) return finished_ && !range_end_ok(err) ? Step::Error : Step::Batch;
            break;
          case Closed::Error:
            return Step::Error;
        }
        break;
      case Event::Empty: {
        const std::string_view name = ev_.substr(0, reader_->last_name_size());
        switch (rule_.empty(rule_name(name))) {
          case RecordRule::Role::Record:
            if constexpr (M::kStops) {
              if (passed_ != opts_.read.pass_over) [[unlikely]] {
                ++passed_;
                break;
              }
            }
            if constexpr (M::kStops) {
              if (opts_.read.skip) note_record_start(true);
            }
            note_record(RecordRule::Role::Record);
            if (M::kAttributes) {
              if (opts_.flat_fast_path && reader_->text_is_utf8() && attribute_row<M::kNames>()) {
                last_replayed_ = false;
                if (record_done<M::kStops>()) return finished_ && !range_end_ok(err) ? Step::Error : Step::Batch;
                break;
              }
              // Its attributes may make a row of values, flattened as any
              // other record; one with a bad attribute is dropped whole.
              open<M::kNames>(name);
              const bool ok = open_attributes<M::kNames>(true, err);
              own_text_open_ = false;
              if (!ok) {
                if (M::kNames) {
                  shape_close();
                  shape_.clear();
                } else {
                  drop_record_ = true;
                  XmlStreamError ignored;
                  close_element<M::kNames>(ignored);
                  // Still a record where the file is cut into ranges: a
                  // survey that skims values counted it.
                  record_done<M::kStops>();
                }
                return Step::Error;
              }
              if (close_element<M::kNames>(err) == Closed::Error) return Step::Error;
              if (record_done<M::kStops>()) return finished_ && !range_end_ok(err) ? Step::Error : Step::Batch;
              break;
            }
            // A record without content flattens to no keys: a row of nulls.
            place_row({});
            if (record_done<M::kStops>()) return finished_ && !range_end_ok(err) ? Step::Error : Step::Batch;
            break;
          case RecordRule::Role::InRecord: {
            open<M::kNames>(name);
            const bool ok = !M::kAttributes || open_attributes<M::kNames>(true, err);
            own_text_open_ = false;
            if (M::kNames) shape_close();
            else log_close();
            if (!ok) return Step::Error;
            if (!walk_on<M>(skimmed_end, err)) return Step::Error;
            break;
          }
          case RecordRule::Role::Outside:
            break;
        }
        break;
      }
      case Event::Text:
      case Event::CData:
        if (depth<M::kNames>() != 0 && !(M::kAttributes && own_text_open_ ? append_own_text(ev == Event::Text, err)
                                             : append_text<M::kNames>(ev == Event::Text, err)))
          return Step::Error;
        break;
      case Event::Eof:
        if (opts_.read.check_end && !end_ok(err)) return Step::Error;
        if (row_count_ == 0) {
          finished_ = true;
          return Step::Finished;
        }
        return Step::Batch;
      case Event::Comment:
      case Event::Decl:
      case Event::PI:
      case Event::DocType:
        break;
    }
  }
}

}  // namespace qk::xml
