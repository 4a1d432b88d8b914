// Record trees, flattening into columns, column batches, the batch-stepping
// event loop and record counting. No Python here: the boundary only converts
// a finished Batch into lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xmlstream/reader.h"

namespace qk::xml {

struct XmlNode {
  std::string name;
  std::string text;
  std::vector<XmlNode> children;
  XmlNode() = default;
  XmlNode(XmlNode&&) noexcept = default;
  XmlNode& operator=(XmlNode&&) noexcept = default;
  ~XmlNode();  // releases deep trees without recursion
};

std::string local_name(std::string_view raw);

struct FlatRecord {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
};

FlatRecord flatten_record(const XmlNode& node);

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
  Batch take_batch();

  void push_record(FlatRecord&& rec);
  std::uint64_t row_count() const { return row_count_; }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<Reader> reader_;
  std::string buf_;
  std::vector<XmlNode> stack_;
  std::vector<std::string> columns_;
  std::unordered_map<std::string, std::size_t> column_index_;
  std::vector<Column> column_values_;
  std::uint64_t depth_ = 0;
  std::uint64_t batch_rows_;
  std::uint64_t row_count_ = 0;
  std::string path_;
  bool finished_ = false;
};

// Counts records (children of top-level elements) without building them.
// Returns false with `err` filled on an open, read or markup failure.
bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       std::size_t chunk = Reader::kReadBufferSize);

}  // namespace qk::xml
