// quelbrand._native.TextEncoder: record batches (anything with
// __arrow_c_array__) written out as CSV or JSON Lines bytes by the XML
// core's text encoder, without the interpreter lock.
#pragma once

#include "py/boundary.h"

namespace qk::py {

// Creates the TextEncoder type and sets it on `module`; once, at import.
void add_text_encoder(PyObject* module);

}  // namespace qk::py
