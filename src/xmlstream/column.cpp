// Column lists, and batches lined up against one.
#include "xmlstream/column.h"

#include <string>
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

void Column::widen() {
  if (is_wide()) return;
  wide.assign(offsets.begin(), offsets.end());
  Buffer<std::int32_t>().swap(offsets);
}

void Column::end_wide_row() {
  widen();
  wide.push_back(static_cast<std::int64_t>(bytes.size()));
}

namespace {

// Rows [a, b) of `c`, its offsets 32-bit.
Column rows_of(const Column& c, std::size_t a, std::size_t b) {
  Column out;
  const std::size_t base = c.begin(a);
  out.bytes.append(c.bytes.data() + base, c.begin(b) - base);
  out.offsets.resize(b - a + 1);
  for (std::size_t r = a; r <= b; ++r) out.offsets[r - a] = static_cast<std::int32_t>(c.begin(r) - base);
  out.validity.assign((b - a + 7) / 8, 0xFF);
  for (std::size_t r = a; r < b; ++r) {
    if (!c.is_null(r)) continue;
    out.validity[(r - a) >> 3] &= static_cast<std::uint8_t>(~(1u << ((r - a) & 7)));
    ++out.nulls;
  }
  return out;
}

}  // namespace

bool cut_wide(Batch&& batch, std::vector<Batch>& out, std::string& err, std::size_t limit) {
  bool any = false;
  for (const Column& c : batch.column_values) any |= c.is_wide();
  if (!any) {
    out.push_back(std::move(batch));
    return true;
  }
  const std::size_t rows = static_cast<std::size_t>(batch.rows);
  for (std::size_t i = 0; i < batch.column_values.size(); ++i) {
    const Column& c = batch.column_values[i];
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t n = c.begin(r + 1) - c.begin(r);
      if (n <= limit) continue;
      err = "a value of column '" + batch.columns[i] + "' is " + std::to_string(n) +
            " bytes long, more than an Arrow string holds (" + std::to_string(limit) + " bytes)";
      return false;
    }
  }
  // Each piece takes rows while every column's values still fit.
  for (std::size_t a = 0; a < rows;) {
    std::size_t b = a + 1;
    for (; b < rows; ++b) {
      bool fits = true;
      for (const Column& c : batch.column_values) fits = fits && c.begin(b + 1) - c.begin(a) <= limit;
      if (!fits) break;
    }
    Batch piece{batch.columns, {}, b - a};
    for (const Column& c : batch.column_values) piece.column_values.push_back(rows_of(c, a, b));
    out.push_back(std::move(piece));
    a = b;
  }
  return true;
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
