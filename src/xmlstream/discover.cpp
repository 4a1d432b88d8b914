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

}  // namespace qk::xml
