// Column lists, and batches lined up against one.
#include "xmlstream/column.h"

#include <utility>

namespace qk::xml {

ColumnSet::ColumnSet(std::vector<std::string> names) {
  for (std::string& n : names) add(n);
}

std::uint32_t ColumnSet::find(std::string_view name) const {
  return index_.find(name, KeyIndex::hash(name),
                     [&](std::uint32_t p) -> std::string_view { return names_[p]; });
}

std::uint32_t ColumnSet::add(std::string_view name, std::uint64_t hash) {
  std::uint32_t p = index_.find(name, hash, [&](std::uint32_t q) -> std::string_view {
    return names_[q];
  });
  if (p != KeyIndex::npos) return p;
  p = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  hashes_.push_back(hash);
  index_.insert(hash, p);
  return p;
}

bool align_batch(Batch& batch, const ColumnSet& columns, std::string& stray) {
  const std::size_t rows = static_cast<std::size_t>(batch.rows);
  // The common case: the batch already has exactly the listed columns.
  if (batch.columns == columns.names()) return true;
  std::vector<Column> out(columns.size());
  std::vector<bool> filled(columns.size(), false);
  for (std::size_t i = 0; i < batch.columns.size(); ++i) {
    const std::uint32_t p = columns.find(batch.columns[i]);
    if (p == KeyIndex::npos) {
      stray = batch.columns[i];
      return false;
    }
    out[p] = std::move(batch.column_values[i]);
    filled[p] = true;
  }
  for (std::size_t p = 0; p < out.size(); ++p)
    if (!filled[p]) out[p] = Column(rows);
  batch.columns = columns.names();
  batch.column_values = std::move(out);
  return true;
}

}  // namespace qk::xml
