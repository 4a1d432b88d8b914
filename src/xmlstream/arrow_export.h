// Finished batches as Arrow record batches, through the C data interface:
// a struct array of nullable strings (32-bit offsets: a batch is cut into
// pieces first where a column outgrew them, see cut_wide), or of typed
// columns where types were asked for. Buffers are the batch's own; every
// exported array shares them and frees nothing until the last release. No
// Python here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xmlstream/arrow_c.h"
#include "xmlstream/column.h"
#include "xmlstream/types.h"

namespace qk::xml {

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
