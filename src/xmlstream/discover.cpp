// Column discovery: the batch loop itself, keeping names and no values, so
// that the columns and the errors found are exactly those of reading.
#include "xmlstream/discover.h"

#include <memory>

#include "xmlstream/batch.h"

namespace qk::xml {

bool discover_columns(std::string_view path, Discovery& out, XmlStreamError& err,
                      bool check_text, const Interrupt* interrupt, std::size_t chunk,
                      const ReadOptions& options) {
  std::unique_ptr<Reader> reader = Reader::open(path, err, chunk);
  if (!reader) return false;
  reader->set_interrupt(interrupt);
  XmlBatchInner inner(std::move(reader), 0, std::string(path));
  inner.set_options(options);
  return discover_columns(inner, out, err, check_text);
}

bool discover_columns(XmlBatchInner& inner, Discovery& out, XmlStreamError& err,
                      bool check_text) {
  inner.set_names_only(check_text);
  switch (inner.next_batch(err)) {
    case XmlBatchInner::Step::Error:
      if (inner.options().read.skip && inner.fault()) {
        out.columns = inner.column_names();
        out.records = inner.fault()->good.records;
        out.fault = *inner.fault();
      }
      return false;
    case XmlBatchInner::Step::Batch:
      out.columns = inner.column_names();
      out.records = inner.row_count();
      return true;
    case XmlBatchInner::Step::Finished:
      out.columns.clear();
      out.records = 0;
      return true;
  }
  return false;
}

// ---- Types ----------------------------------------------------------------------

void TypeTally::add(const Batch& batch) {
  // Batches of a file mostly repeat the last one's columns.
  if (batch.columns != last_names_) {
    last_.clear();
    for (const std::string& name : batch.columns) last_.push_back(names_.add(name));
    last_names_ = batch.columns;
    states_.resize(names_.size());
  }
  for (std::size_t i = 0; i < batch.column_values.size(); ++i)
    states_[last_[i]].add_column(batch.column_values[i]);
}

std::vector<ValueType> TypeTally::decide() const {
  std::vector<ValueType> out;
  out.reserve(states_.size());
  for (const TypeState& s : states_) out.push_back(s.decide());
  return out;
}

std::vector<std::uint16_t> TypeTally::packed() const {
  std::vector<std::uint16_t> out;
  out.reserve(states_.size());
  for (const TypeState& s : states_) out.push_back(s.packed());
  return out;
}

std::vector<ValueType> TypeTally::decide(const std::vector<std::string>& columns) const {
  std::vector<ValueType> out;
  out.reserve(columns.size());
  for (const std::string& name : columns) {
    const std::uint32_t p = names_.find(name);
    out.push_back(p == KeyIndex::npos ? ValueType::String : states_[p].decide());
  }
  return out;
}

namespace {
// Small batches stay in cache while they are classified, and cost little
// memory beside the reading pass's.
constexpr std::uint64_t kTypeBatchRows = 4096;
}  // namespace

bool discover_types(std::unique_ptr<Reader> reader, std::string path, Discovery& out,
                    XmlStreamError& err, const Interrupt* interrupt, const ReadOptions& options,
                    std::uint64_t split_every, std::uint64_t split_align) {
  reader->set_interrupt(interrupt);
  XmlBatchInner inner(std::move(reader), kTypeBatchRows, std::move(path));
  inner.set_options(options);
  out.splits.clear();
  if (split_every != 0) inner.set_splits(split_every, split_align, &out.splits);
  TypeTally tally;
  std::uint64_t records = 0;
  while (true) {
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Error:
        if (options.skip && inner.fault()) {
          out.columns = tally.names();
          out.types = tally.decide();
          out.type_states = tally.packed();
          out.records = records;
          out.fault = *inner.fault();
        }
        return false;
      case XmlBatchInner::Step::Batch: {
        const Batch batch = inner.take_batch();
        records += batch.rows;
        tally.add(batch);
        break;
      }
      case XmlBatchInner::Step::Finished:
        out.columns = tally.names();
        out.types = tally.decide();
        out.type_states = tally.packed();
        out.records = records;
        return true;
    }
  }
}

bool discover_types(std::string_view path, Discovery& out, XmlStreamError& err,
                    const Interrupt* interrupt, std::size_t chunk, const ReadOptions& options) {
  std::unique_ptr<Reader> reader = Reader::open(path, err, chunk);
  if (!reader) return false;
  return discover_types(std::move(reader), std::string(path), out, err, interrupt, options);
}

}  // namespace qk::xml
