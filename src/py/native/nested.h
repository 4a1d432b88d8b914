// quelbrand._native's nested reading: discover_nested, open_nested,
// merge_shapes and nested_schema (see xmlstream/nested.h).
#pragma once

#include <memory>
#include <optional>

#include "py/boundary.h"
#include "py/native/input.h"
#include "xmlstream/entities.h"
#include "xmlstream/read_options.h"
#include "xmlstream/split.h"

namespace qk::py {

// Adds the functions and types to `module`; once, at import.
void add_nested(PyObject* module);

// From module.cpp, shared by both: the entities of the four arguments
// doctype, html, entities and dtd; a range from start, records and end; a
// reader resumed at a split point; a split point as Python sees it; an
// optional flag; and the record paths of `record`.
std::shared_ptr<const xml::Entities> entity_options(PyObject* const* slots);
std::optional<xml::SplitPoint> range_options(PyObject* const* slots, xml::ReadOptions& options, const char* fn);
void resume_at(xml::Reader& reader, const xml::SplitPoint& at, Inputs& inputs);
Ref split_point(const xml::SplitPoint& at);
bool flag(PyObject* obj);
// The records an optional argument `record` chooses, into `options`.
void record_paths(PyObject* record, xml::ReadOptions& options, const std::optional<xml::SplitPoint>& start);

}  // namespace qk::py
