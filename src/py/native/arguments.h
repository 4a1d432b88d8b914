// The arguments the companion's entry points share, read from Python: flags,
// split points and ranges, entities and the records chosen.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "py/boundary.h"
#include "py/native/input.h"
#include "xmlstream/entities.h"
#include "xmlstream/read_options.h"
#include "xmlstream/split.h"

namespace qk::py {

// Names (UTF-8) as a list of str.
Ref name_list(const std::vector<std::string>& names);

// A split point travels as (offset, records, state): the state is the whole
// point as bytes, the two numbers are there to plan ranges with.
Ref split_tuple(const xml::SplitPoint& at);
Ref split_list(const std::vector<xml::SplitPoint>& splits);
// A fault as (text, truncated, offset, record start or None, split point
// at the last complete record's end, the elements open there).
Ref fault_tuple(const xml::Fault& fault);
// The split point `obj` names: its state bytes, or the whole triple.
xml::SplitPoint split_from(PyObject* obj);
// A range of a split file from three optional arguments, start (a split
// point), records and end (only with records): the split point, with the
// last two into `options`.
std::optional<xml::SplitPoint> range_from(PyObject* const* slots, xml::ReadOptions& options, const char* fn);
// Resumes `reader` at `at`, raising as a failed read would.
void resume(xml::Reader& reader, const xml::SplitPoint& at, Inputs& inputs);

// An optional flag: false when not given.
bool truth(PyObject* obj);
// Null for an optional argument not given or None.
PyObject* given(PyObject* obj);

// The entities of four optional arguments: doctype (read the document's
// own declarations; on unless false), html (the HTML names), entities (a
// mapping of name to text, taken as it is) and dtd (the path of a local DTD
// file whose declarations are read). Null when doctype is false and nothing
// else is given: every name beyond the predefined ones is then an error.
std::shared_ptr<const xml::Entities> entities_from(PyObject* const* slots);
// The records of an optional argument `record` (a name, a path, or a
// sequence of them) and `record_column` (a str, or null), into `options`;
// a split point to resume at must lie outside their records.
void records_from(PyObject* record, PyObject* column, xml::ReadOptions& options,
                  const std::optional<xml::SplitPoint>& start);

}  // namespace qk::py
