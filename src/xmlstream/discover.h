// Finding a file's columns without building any values. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <memory>
#include <optional>
#include <vector>

#include "xmlstream/column.h"
#include "xmlstream/read_options.h"
#include "xmlstream/reader.h"
#include "xmlstream/split.h"
#include "xmlstream/types.h"

namespace qk::xml {

class XmlBatchInner;

struct Discovery {
  std::vector<std::string> columns;  // in order of first appearance
  std::uint64_t records = 0;
  // From discover_types only: each column's type over the whole file, and
  // its state (TypeState::packed), for merging with other ranges'.
  std::vector<ValueType> types;
  std::vector<std::uint16_t> type_states;
  // With ReadOptions::skip, after a fault: where it lies; the fields above
  // then hold what the complete records before it gave.
  std::optional<Fault> fault;
  // Split points, where asked for (XmlBatchInner::set_splits).
  std::vector<SplitPoint> splits;
};

// One pass over the file that reads and checks every record exactly as the
// batch loop does, but keeps no value: the names of the columns the whole
// file yields, and its record count (equal to count_xml_records).
// Returns false with `err` filled on an open, read or markup failure.
// With `check_text` off the text is skipped unread: the same columns, but
// errors in text are left to the reading pass.
bool discover_columns(std::string_view path, Discovery& out, XmlStreamError& err,
                      bool check_text = true, const Interrupt* interrupt = nullptr,
                      std::size_t chunk = Reader::kReadBufferSize,
                      const ReadOptions& options = {});
// The same over a batch loop that has not taken a step yet, read with the
// options it was given; it is used up.
bool discover_columns(XmlBatchInner& inner, Discovery& out, XmlStreamError& err,
                      bool check_text = true);

// The columns, the record count and the type of every column: the records
// are built as by the batch loop, values and all (every check applied to
// their text), and each value is classified. An error anywhere fails it.
bool discover_types(std::string_view path, Discovery& out, XmlStreamError& err,
                    const Interrupt* interrupt = nullptr, std::size_t chunk = Reader::kReadBufferSize,
                    const ReadOptions& options = {});
// The same over a reader that has not been read yet; with `split_every`,
// split points into out.splits as XmlBatchInner::set_splits takes them.
bool discover_types(std::unique_ptr<Reader> reader, std::string path, Discovery& out,
                    XmlStreamError& err, const Interrupt* interrupt = nullptr,
                    const ReadOptions& options = {}, std::uint64_t split_every = 0,
                    std::uint64_t split_align = 1);

// Column verdicts gathered batch by batch, merged by name.
class TypeTally {
 public:
  void add(const Batch& batch);
  // Names in order of first appearance, and each one's state.
  const std::vector<std::string>& names() const { return names_.names(); }
  std::vector<ValueType> decide() const;
  // The type of each of `columns` (String for one never seen).
  std::vector<ValueType> decide(const std::vector<std::string>& columns) const;
  std::vector<std::uint16_t> packed() const;

 private:
  ColumnSet names_;
  std::vector<TypeState> states_;
  std::vector<std::uint32_t> last_;  // positions of the last batch's columns
  std::vector<std::string> last_names_;
};

}  // namespace qk::xml
