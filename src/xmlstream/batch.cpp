// The pending batch (rows stored by column) and the event loop that fills
// it one iterator step at a time.
#include "xmlstream/records.h"

namespace qk::xml {

// ---- Columns ------------------------------------------------------------------

void Column::push(std::string_view v) {
  bytes.append(v);
  ends.push_back(bytes.size());
  present.push_back(1);
}

void Column::push_null() {
  ends.push_back(bytes.size());
  present.push_back(0);
}

void Column::push(const std::optional<std::string>& v) {
  if (v) push(std::string_view(*v)); else push_null();
}

// ---- Accumulator ----------------------------------------------------------------

namespace {
constexpr std::uint32_t kNoPair = UINT32_MAX;
}  // namespace

XmlBatchInner::XmlBatchInner(std::unique_ptr<Reader> reader, std::uint64_t batch_rows,
                             std::string path)
    : reader_(std::move(reader)), batch_rows_(batch_rows), path_(std::move(path)) {
  buf_.reserve(4096);
}

XmlBatchInner::~XmlBatchInner() = default;

void XmlBatchInner::reset_batch() {
  row_count_ = 0;
  columns_.clear();
  column_index_.clear();
  column_values_.clear();
}

Batch XmlBatchInner::take_batch() {
  Batch batch{std::move(columns_), std::move(column_values_)};
  reset_batch();
  return batch;
}

// Position of the column named `key`, created (null for every earlier row)
// if the batch has none yet. Records usually repeat the previous record's
// key order, so the column after the previous key's is tried first.
std::uint32_t XmlBatchInner::column_for(std::string_view key, std::uint32_t guess) {
  if (guess < columns_.size() && columns_[guess] == key) return guess;
  const std::size_t h = KeyIndex::hash(key);
  std::uint32_t p = column_index_.find(key, h, [&](std::uint32_t q) -> std::string_view {
    return columns_[q];
  });
  if (p != KeyIndex::npos) return p;
  p = static_cast<std::uint32_t>(columns_.size());
  columns_.emplace_back(key);
  column_index_.insert(h, p);
  Column& c = column_values_.emplace_back();
  c.ends.assign(row_count_, 0);
  c.present.assign(row_count_, 0);
  return p;
}

// Adds one row: columns are discovered in key order, then every column of
// the batch receives this record's value or null. Output order comes only
// from appending, never from a hash table.
void XmlBatchInner::place_row(std::span<const Flattener::Pair> pairs) {
  row_slots_.assign(columns_.size(), kNoPair);
  std::uint32_t guess = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::uint32_t p = column_for(pairs[i].key, guess);
    if (p >= row_slots_.size()) row_slots_.resize(p + 1, kNoPair);
    row_slots_[p] = static_cast<std::uint32_t>(i);  // a repeated key keeps its last value
    guess = p + 1;
  }
  for (std::size_t p = 0; p < column_values_.size(); ++p) {
    const std::uint32_t i = row_slots_[p];
    if (i != kNoPair && pairs[i].has_value) column_values_[p].push(pairs[i].value);
    else column_values_[p].push_null();
  }
  ++row_count_;
}

void XmlBatchInner::push_record(FlatRecord&& rec) {
  record_pairs_.clear();
  for (std::size_t i = 0; i < rec.keys.size(); ++i) {
    // Keys without a value still make their column; the row gets null there.
    const bool has = i < rec.values.size() && rec.values[i].has_value();
    record_pairs_.push_back({rec.keys[i], has ? std::string_view(*rec.values[i]) : "", has});
  }
  place_row(record_pairs_);
}

// ---- Record nodes ---------------------------------------------------------------

namespace {
// The record element's own text is never used; don't let one huge piece of
// it pin memory for the rest of the stream.
constexpr std::size_t kMaxKeptText = 64 * 1024;
}  // namespace

// Flattens the finished record into a row and clears the tree for the next
// record (the record node keeps its storage).
void XmlBatchInner::finish_record() {
  place_row(flattener_.run(record_));
  open_.clear();
  record_.children.clear();
  if (record_.text.capacity() > kMaxKeptText) std::string().swap(record_.text);
  else record_.text.clear();
}

// Decodes the event's bytes onto `node.text`, resolving references for
// character data (not CDATA). A failed piece leaves the text unchanged.
bool XmlBatchInner::append_text(XmlNode& node, bool resolve, XmlStreamError& err) {
  std::string& text = node.text;
  const std::size_t old_size = text.size();
  if (!reader_->decode(buf_, text, err)) {
    text.resize(old_size);
    return false;
  }
  if (!resolve) return true;
  const std::string_view added = std::string_view(text).substr(old_size);
  if (added.find('&') == std::string_view::npos) return true;
  text_scratch_.assign(added);
  text.resize(old_size);
  return resolve_references(text_scratch_, text, err);
}

// ---- Event loop -----------------------------------------------------------------

XmlBatchInner::Step XmlBatchInner::next_batch(XmlStreamError& err) {
  if (finished_) return Step::Finished;
  reset_batch();
  while (true) {
    buf_.clear();
    // Character data outside records is never looked at, so the reader
    // need not buffer it.
    if (discarding_ != open_.empty()) reader_->set_discard_content(discarding_ = open_.empty());
    Event ev;
    if (!reader_->read_event(buf_, ev, err)) return Step::Error;
    switch (ev) {
      case Event::Start:
        if (depth_ == 1) {
          local_name_into(tag_name(buf_), record_.name);
          open_.push_back(&record_);
        } else if (depth_ >= 2) {
          XmlNode& n = open_.back()->children.emplace_back();
          local_name_into(tag_name(buf_), n.name);
          open_.push_back(&n);
        }
        ++depth_;
        break;
      case Event::End:
        if (depth_ == 0) break;  // the reader rejects such a tag; keep the count sane
        --depth_;
        if (depth_ == 1) {
          finish_record();
          if (row_count_ >= batch_rows_) return Step::Batch;
        } else if (depth_ >= 2) {
          open_.pop_back();
        }
        break;
      case Event::Empty:
        if (depth_ == 1) {
          // A record without content flattens to no keys: a row of nulls.
          place_row({});
          if (row_count_ >= batch_rows_) return Step::Batch;
        } else if (depth_ >= 2) {
          local_name_into(tag_name(buf_), open_.back()->children.emplace_back().name);
        }
        break;
      case Event::Text:
      case Event::CData:
        if (!open_.empty() && !append_text(*open_.back(), ev == Event::Text, err))
          return Step::Error;
        break;
      case Event::Eof:
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
