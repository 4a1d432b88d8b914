// Split points: where a reading of one file can be cut so that each piece
// is read on its own, and the pieces together give exactly the whole
// reading. No Python here.
//
// A split point is taken between two records, right after the `>` that
// ends one, by the reader that got there from the file's start: it holds
// all that reader knew that the bytes after it do not repeat (the encoding
// and whether it was declared, the open elements), so a reader resumed
// there goes on as the first one would have. Searching the bytes for a tag
// instead would cut inside comments and CDATA sections.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/encoding.h"

namespace qk::xml {

struct SplitPoint {
  std::uint64_t offset = 0;   // file byte just past the record's `>`
  std::uint64_t records = 0;  // records read before it, from where reading began
  // The line (from 1) at `offset`, when known (0: not), so that a reader
  // resumed there gives error lines without counting from the start.
  std::uint64_t line = 0;
  const enc::Encoding* encoding = nullptr;
  bool declared = false;           // the encoding came from an XML declaration
  std::string unsupported;        // a declared encoding not known here (read as UTF-8)
  std::vector<std::string> open;   // open elements' qualified names, outermost first
  // The document's internal subset in UTF-8, when the reader read it for its
  // entity declarations (shared: every split point of a file holds the same).
  std::shared_ptr<const std::string> subset;
};

// Where a reading failed, for a caller that goes on past the fault: the
// error's offset, the start of the record it fell in (if any), and the
// state at the end of the last complete record, with the open elements the
// faulty record had around it, for resuming at a later record's end.
struct Fault {
  bool truncated = false;  // the input ended inside open elements
  std::uint64_t at = 0;
  bool in_record = false;
  std::uint64_t record_start = 0;
  SplitPoint good;
  std::string text;  // the error's
};

// A self-contained byte string, for sending a split point to another
// process; parse_split reads it back, refusing anything else.
std::string serialize_split(const SplitPoint& at);
bool parse_split(std::string_view bytes, SplitPoint& out);

}  // namespace qk::xml
