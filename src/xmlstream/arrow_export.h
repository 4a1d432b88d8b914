// Finished batches as Arrow record batches, through the C data interface:
// a struct array of nullable large strings (64-bit offsets, so no batch or
// value size can overflow them), or of typed columns where types were asked
// for. Buffers are the batch's own; every
// exported array shares them and frees nothing until the last release. No
// Python here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xmlstream/arrow_c.h"
#include "xmlstream/batch.h"
#include "xmlstream/key_index.h"
#include "xmlstream/types.h"

namespace qk::xml {

// Column names in order, with a name -> position index.
class ColumnSet {
 public:
  ColumnSet() = default;
  explicit ColumnSet(std::vector<std::string> names);
  // Position of `name`, or KeyIndex::npos.
  std::uint32_t find(std::string_view name) const;
  // Adds `name` at the end unless present; its position either way.
  std::uint32_t add(std::string_view name, std::uint64_t hash);
  std::uint32_t add(std::string_view name) { return add(name, KeyIndex::hash(name)); }
  const std::vector<std::string>& names() const { return names_; }
  std::size_t size() const { return names_.size(); }
  std::uint64_t hash_at(std::uint32_t p) const { return hashes_[p]; }

 private:
  std::vector<std::string> names_;
  std::vector<std::uint64_t> hashes_;
  KeyIndex index_;
};

// A batch's columns lined up against a fixed column list: a listed column
// the batch lacks is all null. Returns false, with the offending name in
// `stray`, when the batch has a column that is not listed.
bool align_batch(Batch& batch, const ColumnSet& columns, std::string& stray);

// A batch ready for export any number of times.
class ArrowBatch {
 public:
  explicit ArrowBatch(Batch&& batch);
  // Each column converted to its type (one per column). Returns false, with
  // `err` naming the column and the value, when a value does not read as
  // its column's type; `out` is then left empty.
  static bool typed(Batch&& batch, const std::vector<ValueType>& types, std::optional<ArrowBatch>& out,
                    std::string& err);
  std::uint64_t rows() const;
  const std::vector<std::string>& names() const;
  // Empty when every column is a string.
  const std::vector<ValueType>& types() const;
  // Fills `out` (not yet released by anyone, or zeroed); never fails but
  // for memory.
  void export_array(ArrowArray* out) const;
  void export_schema(ArrowSchema* out) const;

 private:
  struct Data {
    Batch batch;
    std::vector<ValueType> types;     // empty: all strings
    std::vector<TypedColumn> typed;   // per column, with `types`
  };
  explicit ArrowBatch(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// The schema of a batch with these columns, all strings, or of these types
// (one per column; empty means all strings).
void export_schema(const std::vector<std::string>& names, ArrowSchema* out);
void export_schema(const std::vector<std::string>& names, const std::vector<ValueType>& types,
                   ArrowSchema* out);

}  // namespace qk::xml
