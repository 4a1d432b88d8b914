// Column batches and the event loop that fills them one iterator step at a
// time. No Python here: the boundary only converts a finished Batch into
// lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "xmlstream/attributes.h"
#include "xmlstream/column.h"
#include "xmlstream/flatten.h"
#include "xmlstream/key_index.h"
#include "xmlstream/read_options.h"
#include "xmlstream/reader.h"
#include "xmlstream/record_rule.h"
#include "xmlstream/split.h"
#include "xmlstream/text.h"

namespace qk::xml {

class NestedSink;


// Everything a batch loop is told before its first step, which picks its
// mode from them (see XmlBatchInner::Mode).
struct BatchOptions {
  std::uint64_t batch_rows = UINT64_MAX;
  ReadOptions read;
  // Discovery: names only (see XmlBatchInner::set_names_only).
  bool names_only = false;
  bool skip_text = false;  // names only: text is not even read
  bool flat_fast_path = true;
  // Split points (see XmlBatchInner::set_splits); none while null.
  std::vector<SplitPoint>* splits = nullptr;
  std::uint64_t split_every = 1, split_align = 1;
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
  // Passed on to the reader (see Reader::set_interrupt). An interrupted step
  // is a Step::Error of Kind::Interrupted: the batch in progress is dropped,
  // as for any error, and the next step goes on from where reading stopped.
  void set_interrupt(const Interrupt* interrupt) { reader_->set_interrupt(interrupt); }
  // Moves the pending batch out and leaves it empty (row_count() becomes 0).
  Batch take_batch();

  // Adds one row. Every key makes its column; a key without a value (null,
  // or past the end of `values`) is null in this row, and values past the
  // end of `keys` are ignored. A repeated key keeps its last value.
  void push_record(FlatRecord&& rec);
  std::uint64_t row_count() const { return row_count_; }
  // Column discovery: records make their columns and are counted, with every
  // check applied to their text, but no value is kept; the whole input is
  // one batch, whose columns are column_names(). Set before the first step.
  // With `check_text` off, text is not even read (the reader discards it),
  // so errors in text go unreported: for a discovery beside a reading pass,
  // which reports them itself.
  void set_names_only(bool check_text = true) {
    opts_.names_only = true;
    opts_.skip_text = !check_text;
    opts_.batch_rows = UINT64_MAX;
    run_ = nullptr;
  }
  // The first batch ends after `rows` rows (if fewer than batch_rows), the
  // others after batch_rows: a range that begins inside a batch of the
  // whole file's reading then ends that batch where the whole reading would.
  // The records the reading will meet, where known (a surveyed range's
  // count): columns get room ahead for no more rows than that, since a
  // short range's batch would otherwise reserve a whole batch's room.
  void expect_rows(std::uint64_t rows) {
    if (rows != 0 && rows < reserve_rows_) reserve_rows_ = static_cast<std::size_t>(rows);
  }
  void set_first_batch_rows(std::uint64_t rows) {
    if (rows == 0 || rows >= opts_.batch_rows) return;
    later_rows_ = opts_.batch_rows;
    opts_.batch_rows = rows;
  }
  // The batch's columns (with ReadOptions::record_column, that one first).
  std::vector<std::string> column_names() const;
  // Attributes as values (off by default): each attribute of an element in
  // a record, namespace declarations aside, is read as a leaf of that
  // element, named by its local name and placed before the element's
  // children; and an element with attributes but no child elements keeps
  // its own text as a leaf named after itself, after its attributes. Off,
  // attributes are never even parsed. Set before the first step.
  void set_attributes(bool on) {
    opts_.read.attributes = on;
    run_ = nullptr;
  }
  // All of ReadOptions; set before the first step.
  void set_options(const ReadOptions& options);
  // Split points (see split.h): after a record that ends `every` bytes or
  // more past the last split point (or the start), when the records read
  // are a multiple of `align`, the state there is appended to `out`, which
  // must outlive the reading. Set before the first step.
  void set_splits(std::uint64_t every, std::uint64_t align, std::vector<SplitPoint>* out) {
    opts_.split_every = every == 0 ? 1 : every;
    opts_.split_align = align == 0 ? 1 : align;
    opts_.splits = out;
    next_split_ = reader_->stream_offset() + opts_.split_every;
    run_ = nullptr;
  }
  // Records read so far, in all steps.
  std::uint64_t records_read() const { return records_; }
  // What flattening lost in the batches taken so far: values (a non-null
  // value a later one under the same key replaced, and the non-blank text
  // of an element with child elements, or of the record element), and the
  // records that lost any. Projection leaves these as they would be
  // without it; discovery counts nothing.
  std::uint64_t values_lost() const { return lost_values_; }
  std::uint64_t records_with_loss() const { return lost_records_; }
  // Whether flat records skip the general flattening (on by default); off,
  // every record takes the general way, which tests compare against.
  void set_flat_fast_path(bool on) { opts_.flat_fast_path = on; }
  // Nested reading (see nested.h): each record goes whole to `sink`, which
  // outlives the reading, instead of being flattened; the batch itself gets
  // no columns, only its row count. Set before the first step.
  void set_nested(NestedSink* sink) {
    nested_ = sink;
    run_ = nullptr;
  }
  const BatchOptions& options() const { return opts_; }
  const std::string& path() const { return path_; }
  // How far into the file reading has got (see Reader::offset).
  std::uint64_t offset() const { return reader_->offset(); }
  bool finished() const { return finished_; }
  // With ReadOptions::skip, or after a truncated input: where the failed
  // step's fault lies; null before any.
  const Fault* fault() const { return fault_ ? &*fault_ : nullptr; }

 private:
  // The loop's modes, one compiled copy each: names only (discovery) or
  // values; attributes read or never parsed; and stops, for a loop that
  // takes split points or reads a range, which then checks after every
  // record whether to note a split point or end there. Everything else a
  // step does is the same in every mode.
  template <bool NamesOnly, bool Attributes, bool Stops>
  struct Mode {
    static constexpr bool kNames = NamesOnly, kAttributes = Attributes, kStops = Stops;
  };
  using Run = Step (XmlBatchInner::*)(XmlStreamError&);
  Run pick_run() const;
  Run run_ = nullptr;  // picked at the first step from opts_

  void reset_batch();
  // Nested reading's loop and its steps; see nested_loop.cpp.
  template <bool kStops>
  Step run_nested(XmlStreamError& err);
  bool nested_open(std::string_view tag, std::size_t name_size, bool empty, XmlStreamError& err);
  bool nested_text(bool resolve, XmlStreamError& err);
  NestedSink* nested_ = nullptr;
  std::size_t nested_depth_ = 0;   // open elements of the record
  std::size_t nested_gather_ = 0;  // open elements of a whole-text element, itself included
  std::string nested_name_;        // the opening element's local name
  // After each record: true when the batch ends here (full, or the range's
  // last record).
  template <bool kStops>
  bool record_done() {
    ++records_;
    if (naming_) [[unlikely]]
      name_row();
    if constexpr (kStops) {
      if (opts_.read.skip) note_good();
      if (opts_.splits && reader_->stream_offset() >= next_split_ && records_ % opts_.split_align == 0)
        take_split();
      const std::uint64_t until = opts_.read.until;
      if (records_ == opts_.read.records || (until != ReadOptions::kNoEnd && reader_->file_offset() >= until))
          [[unlikely]] {
        if (until != ReadOptions::kNoEnd) take_stop();
        finished_ = true;
        return true;
      }
    }
    return batch_full();
  }
  void take_split();
  void take_stop();
  // Recovery (ReadOptions::skip): the end of the last complete record, the
  // start of the record being read, and the fault of a failed step.
  void note_good() {
    good_end_ = reader_->file_offset();
    good_records_ = records_;
    started_ = false;
  }
  void note_record_start(bool empty) {
    reader_->mark_tag(ev_.size(), empty);
    record_start_ = reader_->offset();
    record_depth_ = reader_->open_depth() - (empty ? 0 : 1);
    started_ = true;
  }
  void note_fault(bool truncated);
  // The input has ended: false, with `err`, when it ended inside open
  // elements or held none (see ReadOptions::check_end).
  bool end_ok(XmlStreamError& err);
  std::uint64_t passed_ = 0;  // records passed over (see ReadOptions::pass_over)
  std::uint64_t good_end_ = 0, good_records_ = 0, record_start_ = 0;
  std::size_t record_depth_ = 0;
  bool started_ = false;  // a record began since good_end_ (or the start)
  bool saw_element_ = false;  // an element outside records was read
  std::optional<Fault> fault_;
  bool empty_ = false;  // the input held no element
  // The error of a step whose complete rows were handed over first.
  std::optional<XmlStreamError> pending_;
  // The record-name column: the record just read names its row, if it made
  // one; and the record's name, when its element opens.
  void name_row();
  void note_record(RecordRule::Role role) {
    if (naming_ && role == RecordRule::Role::Record) [[unlikely]] {
      record_name_.clear();
      // A column holds UTF-8, whatever the document's encoding.
      local_name_append(utf8_name(ev_.substr(0, reader_->last_name_size()), decoded_name_),
                        record_name_);
    }
  }
  // The range's last record has been read: false, with `err`, when it did
  // not end where the next range begins.
  bool range_end_ok(XmlStreamError& err);
  template <class M>
  Step run(XmlStreamError& err);
  // Discovery's record shapes; see batch.cpp.
  // A shape is a sequence of entries: kShapeOpen, the name's size (four
  // bytes, native order) and the name; or kShapeClose. Sizes, not markers
  // around names, since a name may hold any byte the reader lets through.
  static constexpr char kShapeOpen = '\x01', kShapeClose = '\x02';
  static constexpr std::size_t kShapeSize = 4;
  // The name of the open entry at `at`, and the entry after it.
  static std::string_view shape_name(std::string_view shape, std::size_t at, std::size_t& next);
  static std::size_t subtree_end(std::string_view shape, std::size_t at);
  template <bool kNames>
  void open(std::string_view qualified_name);
  bool shape_close();  // true when the record element closed
  // Names only, text skipped: the rest of the open record's tags walked by
  // the reader into its shape; true when its end tag was consumed, for the
  // loop to handle as an End event.
  bool skim_names();
  // Values, no attributes: the rest of the open record read by the
  // reader's walk, `closed` set when its end tag was consumed (for the loop
  // to handle as an End event); false with `err` on an error in its text.
  bool walk_values(bool& closed, XmlStreamError& err);
  // After a tag inside a record: the walk the mode takes, if any (names
  // without text, or values; none with attributes, whose tags it does not
  // deliver whole, nor while skipping faults, which needs the events' marks).
  template <class M>
  bool walk_on(bool& closed, XmlStreamError& err);
  // The rule told of the elements a walk opened (or closed) inside the record.
  void follow_walk(std::ptrdiff_t opened);
  bool shape_record(XmlStreamError& err);
  bool fold_record();
  void shape_into_record(std::string_view shape);  // the shape's entries, opened and closed in record_
  std::uint32_t child_keys(std::string_view subtree);
  void fold_key(std::string_view key, std::uint64_t h, std::string_view prefix);
  std::string_view flat_key(std::size_t k) const {
    return {flat_names_.data() + flat_keys_[k].first, flat_keys_[k].second};
  }
  template <bool kNames>
  std::size_t depth() const { return kNames ? shape_depth_ : log_depth_; }
  struct LogEntry {
    enum Kind : std::uint8_t { Open, Text, Close } kind;
    // The bytes: at `off` in log_, or, when `lent` is set, there in the
    // reader's window, which holds them until the reader next reads.
    const char* lent;
    std::size_t off, len;
  };
  std::string_view log_bytes(const LogEntry& e) const {
    return e.lent ? std::string_view(e.lent, e.len) : std::string_view(log_).substr(e.off, e.len);
  }
  // `lent`: the name stays in the window (the walk's own names only).
  void log_open(std::string_view qualified_name, bool lent = false);
  void log_text(std::size_t mark);  // log_ grew from `mark` by a piece of text
  // A piece of the walk's text, logged where it lies if it needs no change.
  bool lend_text(bool utf8, XmlStreamError& err);
  // The lent entries' bytes copied into log_, before the reader may read.
  void keep_log();
  bool log_close();                 // true when the record element closed
  bool flat_row();                  // the row of a flat record; false if not flat
  void begin_flat_row();
  std::uint32_t flat_column(std::string_view name, std::uint32_t guess);
  bool flat_key(std::string_view name, std::string_view value);
  void place_flat_row();
  static constexpr std::uint32_t kNewColumn = 0x80000000u;  // a column the batch lacks yet
  void replay();                    // the logged record into record_
  bool append_direct(bool resolve, XmlStreamError& err);
  void place_row(std::span<const FlatPair> pairs);
  std::uint32_t column_for(const FlatPair& pair, std::uint32_t guess);
  // The column of `pair`, tried at `guess` inline first (see column_for).
  [[gnu::always_inline]] std::uint32_t column_at(const FlatPair& pair, std::uint32_t guess) {
    const bool hit = guess < columns_.size() && column_hashes_[guess] == pair.key_hash &&
                     same_bytes(columns_[guess], pair.key);
    return hit ? guess : column_for(pair, guess);
  }
  std::uint32_t add_column(std::string_view key, std::uint64_t hash);
  // column_for's answer for a name projection leaves out.
  static constexpr std::uint32_t kSkipped = 0x7FFFFFFFu;
  template <bool kNames>
  bool append_text(bool resolve, XmlStreamError& err);
  enum class Closed : std::uint8_t { Inside, Record, Error };
  template <bool kNames>
  Closed close_element(XmlStreamError& err);
  // Attributes (see set_attributes): the tag in ev_ read as leaves, an
  // element's own text gathered while it may still become one, and that
  // leaf made when the element ends.
  template <bool kNames>
  bool open_attributes(bool empty, XmlStreamError& err);
  template <bool kNames>
  void attribute_leaf(std::string_view qualified_name, std::string_view value);
  template <bool kNames>
  bool attribute_value(std::string_view name, std::string_view raw, bool amp, bool high,
                       XmlStreamError& err);
  bool append_own_text(bool resolve, XmlStreamError& err);
  void lose_own_text();
  template <bool kNames>
  bool attribute_row();
  template <bool kNames>
  void close_own_text();
  // Resolves references like resolve_references_in_place, saying where.
  bool resolve_here(std::string& s, std::size_t from, XmlStreamError& err);

  // Row counting, and sizing the first batch's columns from a sample.
  static constexpr std::uint64_t kSampleRows = 1024;
  bool batch_full() {
    if (row_count_ < row_check_) [[likely]] return false;
    if (row_count_ >= opts_.batch_rows) return true;
    size_columns_ahead();
    return false;
  }
  void size_columns_ahead();
  void log_push(const LogEntry& e) {
    if (log_n_ == log_entries_.size()) log_entries_.resize(2 * log_n_ + 64);
    log_entries_[log_n_++] = e;
  }

  // ---- Every mode: the input, the options and the batch being built.
  std::unique_ptr<Reader> reader_;
  std::string buf_;  // the last event's bytes, when the reader did not lend them
  // The last event's bytes: in buf_, or in the reader's window, where they
  // stay valid until the next read; values are appended from there with no
  // copy between.
  std::string_view ev_;
  // The event's bytes in buf_, for resolving references in place.
  std::string& event_copy() {
    if (ev_.data() != buf_.data()) buf_.assign(ev_);
    return buf_;
  }
  BatchOptions opts_;
  std::string path_;
  RecordRule rule_;
  // A name as UTF-8, as chosen record names, the record-name column and
  // nested fields are: a document in another encoding names its elements in
  // its own bytes. (Flat keys keep the name's bytes, shown as UTF-8 with
  // replacement characters, as the kernels module has always named them.)
  // An ASCII name is the same in every encoding read here, so only one with
  // other bytes (or ISO-2022's escape) is looked at again.
  std::string_view utf8_name(std::string_view raw, std::string& scratch) {
    for (const char c : raw)
      if (static_cast<unsigned char>(c) >= 0x80 || c == '\x1b') return reader_->utf8_name(raw, scratch);
    return raw;
  }
  std::string decoded_name_, attr_name_;
  std::string_view rule_name(std::string_view raw) { return rule_.named() ? utf8_name(raw, decoded_name_) : raw; }
  // The open elements of the record being read (the stack), already folded
  // into flattened levels as they close.
  RecordBuilder record_;
  std::uint64_t records_ = 0;
  // Losses of the batch being built, added to the totals when it is taken:
  // a failed step's rows, dropped, count for nothing.
  std::uint64_t batch_lost_values_ = 0, batch_lost_records_ = 0;
  std::uint64_t lost_values_ = 0, lost_records_ = 0;
  void count_loss(std::uint64_t values) {
    batch_lost_values_ += values;
    batch_lost_records_ += values != 0;
  }
  bool finished_ = false;
  bool discarding_ = false;  // the reader's discard-content setting
  // An interrupt cut into the text of the record being read: that record is
  // dropped when it closes rather than delivered with part of a value.
  bool drop_record_ = false;
  std::vector<std::string> columns_;
  std::vector<std::uint64_t> column_hashes_;  // KeyIndex::hash of each name
  KeyIndex column_index_;  // name -> position in columns_
  std::vector<Column> column_values_;  // none in names-only mode
  std::uint64_t row_count_ = 0;
  std::uint64_t later_rows_ = 0;  // batch_rows after a short first batch
  // The row count at which the batch is next looked at: opts_.batch_rows,
  // or in the first batch the sample after which its columns are sized.
  std::uint64_t row_check_ = 0;
  // Rows a column is given room for up front, and the value bytes each
  // column position held in the last batch: batches tend to look alike.
  std::size_t reserve_rows_ = 0;
  std::vector<std::size_t> last_bytes_;
  // Scratch kept across records so that steady-state streaming allocates
  // little.
  std::vector<FlatPair> record_pairs_;
  std::vector<std::uint32_t> row_columns_;  // per record pair: its column
  std::vector<std::uint32_t> row_slots_;    // per column: the record pair placed there
  // A flat record's keys, made as its children open (shapes) or close
  // (the log): in names-only mode and in values mode alike.
  std::string flat_names_;
  std::vector<std::pair<std::size_t, std::size_t>> flat_keys_;  // in flat_names_
  std::vector<std::uint64_t> flat_hashes_;

  // ---- The record-name column (ReadOptions::record_column) only.
  bool naming_ = false;
  std::string record_name_;  // the local name of the record being read
  Column name_values_;       // of the batch's rows so far (none in names-only mode)
  // A record's own element or attribute made a column of the record-name
  // column's name: the step fails rather than give two columns one name.
  bool name_clash_ = false;

  // ---- Stops only: where the next split point is due.
  std::uint64_t next_split_ = 0;

  // ---- Values only: the record log, and rows made straight from it.
  std::string log_;
  // The log's entries are log_entries_[0, log_n_): the vector only grows, so
  // that appending is a store and an increment.
  std::vector<LogEntry> log_entries_;
  std::size_t log_n_ = 0;
  // Entries from here on may be lent (log_n_ when none is).
  std::size_t lent_from_ = 0;
  std::size_t log_depth_ = 0;
  bool log_flat_ = false;
  // The record element's non-blank text was dropped while it was logged.
  bool record_text_lost_ = false;
  bool direct_ = false;         // the open record goes straight to record_, not to the log
  bool last_replayed_ = false;  // the last record was not flat
  std::uint32_t probe_ = 0;
  std::uint32_t flat_guess_ = 0;
  std::vector<std::string_view> flat_values_;
  std::vector<std::uint32_t> column_stamp_;  // per column: the last flat row that filled it
  std::uint32_t stamp_ = 0;

  // ---- Names only: record shapes.
  std::string shape_;  // the open record's names (see kShapeOpen)
  std::size_t shape_depth_ = 0;
  std::unordered_set<std::string> shapes_;
  // Lookups in shapes_ and how many found their shape; see shape_record.
  std::uint64_t shape_lookups_ = 0, shape_hits_ = 0;
  bool shape_cache_ = true;
  // A record element's children, each flattened once per distinct subtree
  // and then folded into the record (see fold_record). A child's keys are
  // child_keys_[first, first + count), their bytes in child_bytes_.
  struct ChildKey {
    std::size_t off, len;
    std::uint64_t hash;
  };
  struct ChildShape {
    std::size_t off, len;  // the subtree's shape, in child_bytes_
    std::uint32_t first, count;
    std::uint64_t prefixed;  // bytes of keys prefixed inside it
    std::uint64_t key_bytes;
  };
  std::string child_bytes_;
  std::vector<ChildKey> child_keys_;
  std::vector<ChildShape> child_shapes_;
  KeyIndex child_index_;
  // The record being folded: its branches' entries in child_shapes_, each
  // with where it ends in the shape, and scratch for local names and
  // prefixed keys.
  static constexpr std::uint32_t kNoChild = UINT32_MAX;
  std::vector<std::pair<std::uint32_t, std::size_t>> fold_branches_;
  std::string fold_names_, fold_prefix_, fold_prefixed_;

  // ---- Attributes only.
  // The innermost open element has attributes and no child element so far:
  // its text, in own_text_, may become a leaf. `own_text_unsure_`: a text
  // discovery skims could not be decoded, so it is taken as not blank.
  bool own_text_open_ = false;
  bool own_text_unsure_ = false;
  std::string own_text_;
  std::string attr_value_;
  std::string attr_arena_;  // the nested loop's attribute names
  // attribute_row's resolved values: as large as the largest tag so far,
  // never moved while a row's views into it are held.
  std::unique_ptr<char[]> attr_values_;
  std::size_t attr_values_size_ = 0;
  AttributeList attrs_;     // the tag in ev_, tokenized
};

}  // namespace qk::xml
