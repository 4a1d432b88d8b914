// Counting records without building them. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "xmlstream/reader.h"
#include "xmlstream/record_rule.h"

namespace qk::xml {

// Counts records (children of top-level elements) without building them.
// Returns false with `err` filled on an open, read or markup failure; `count`
// is set only on success.
// `interrupt`, if set, may stop the count (Kind::Interrupted).
bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       const Interrupt* interrupt = nullptr,
                       std::size_t chunk = Reader::kReadBufferSize);
// The same over a reader already opened (bytes in memory, for the fuzz target).
bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err);
// The same, noting split points into `splits` as XmlBatchInner::set_splits
// does: the cheapest way to cut a file into ranges, when the columns are
// left for the ranges to find.
// With `paths`, the records are the elements they name (see record_rule.h).
// With `until`, counting ends after the first record that ends at or past
// that file offset, whose state is noted last in `splits` (see
// ReadOptions::until).
bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err, std::uint64_t split_every,
                   std::uint64_t split_align, std::vector<SplitPoint>& splits,
                   std::uint64_t until = UINT64_MAX, std::shared_ptr<const RecordPaths> paths = {});

}  // namespace qk::xml
