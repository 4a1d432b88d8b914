// Column batches and the event loop that fills them one iterator step at a
// time. No Python here: the boundary only converts a finished Batch into
// lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/flatten.h"
#include "xmlstream/key_index.h"
#include "xmlstream/reader.h"
#include "xmlstream/record_rule.h"

namespace qk::xml {

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
  const std::string& path() const { return path_; }
  bool finished() const { return finished_; }

 private:
  void reset_batch();
  void place_row(std::span<const FlatPair> pairs);
  std::uint32_t column_for(const FlatPair& pair, std::uint32_t guess);
  bool append_text(bool resolve, XmlStreamError& err);
  // Resolves references like resolve_references_in_place, saying where.
  bool resolve_here(std::string& s, std::size_t from, XmlStreamError& err);

  std::unique_ptr<Reader> reader_;
  std::string buf_;
  // The open elements of the record being read (the stack), already folded
  // into flattened levels as they close.
  RecordBuilder record_;
  std::vector<std::string> columns_;
  std::vector<std::uint64_t> column_hashes_;  // KeyIndex::hash of each name
  KeyIndex column_index_;  // name -> position in columns_
  std::vector<Column> column_values_;
  RecordRule rule_;
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
  // An interrupt cut into the text of the record being read: that record is
  // dropped when it closes rather than delivered with part of a value.
  bool drop_record_ = false;
};

}  // namespace qk::xml
