// How records are read, beyond what every reading does: the options a batch
// loop, a discovery and a batch source share. No Python here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qk::xml {

class Entities;
struct RecordPaths;

struct ReadOptions {
  // Attributes as values; see XmlBatchInner::set_attributes.
  bool attributes = false;
  // A range of a split file: reading ends right after this many records,
  // and then, unless it is kNoEnd, must stand at file offset `end` (the next
  // split point's), or the file changed since it was split.
  static constexpr std::uint64_t kNoEnd = UINT64_MAX;
  std::uint64_t records = UINT64_MAX;
  std::uint64_t end = kNoEnd;
  // Records passed over first, read as a counter reads them (markup
  // checked, no values), before the `records` read: a batch of a split file
  // that begins inside a range, whose records before it another batch reads.
  std::uint64_t pass_over = 0;
  // Reading ends after the first record that ends at or past this file
  // offset, and the state there is noted as a split point (see set_splits,
  // which must be set): for a guessed range, whose reader then tells where
  // the next one truly begins.
  std::uint64_t until = kNoEnd;
  // Projection: only these columns are built. Every batch has exactly them,
  // in this order (a repeated name counts once), all null where a batch has
  // no value; a column of the file not listed costs no value at all. Records
  // are still read and checked whole, and flattened by the same rules, so a
  // listed column holds what it would without projection.
  std::optional<std::vector<std::string>> project{};
  // Entities beyond the predefined ones, and whether the document's own
  // DOCTYPE declares more (see entities.h and Reader::set_entities). Null:
  // any other name is an error.
  std::shared_ptr<const Entities> entities{};
  // The records: null for the children of top-level elements, else the
  // elements these name (see record_rule.h).
  std::shared_ptr<const RecordPaths> record_paths{};
  // A first column of this name holding each record element's local name,
  // for records of several names read into one table.
  std::optional<std::string> record_column{};
  // The end of the input is checked (off for the kernels module, which ends
  // leniently): input that ends with elements still open fails after the
  // rows read so far, and with `check_element`, so does input that held no
  // element at all (a reading from the start of a document, not a range).
  bool check_end = false;
  bool check_element = false;
  // Recovery: a failed step still hands over the complete rows it read
  // (the error follows at the next step, which then ends the reading), and
  // the batch loop notes where the fault lies (see XmlBatchInner::fault).
  bool skip = false;
};

}  // namespace qk::xml
