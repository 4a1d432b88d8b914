// quelbrand._native's nested reading: discover_nested, open_nested,
// merge_shapes and nested_schema (see xmlstream/nested.h).
#pragma once

#include "py/boundary.h"

namespace qk::py {

// Adds the functions and types to `module`; once, at import.
void add_nested(PyObject* module);

}  // namespace qk::py
