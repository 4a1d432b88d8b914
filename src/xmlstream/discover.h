// Finding a file's columns without building any values. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/batch.h"
#include "xmlstream/reader.h"

namespace qk::xml {

struct Discovery {
  std::vector<std::string> columns;  // in order of first appearance
  std::uint64_t records = 0;
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

}  // namespace qk::xml
