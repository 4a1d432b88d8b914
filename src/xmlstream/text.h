// Record text: element names, white space and references. No Python here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "xmlstream/errors.h"

namespace qk::xml {

// The part of a qualified name after its last ':', decoded as UTF-8 with each
// invalid sequence replaced by U+FFFD (maximal subparts, like Python's
// bytes.decode('utf-8', 'replace')). `local_name_append` appends it to `out`.
std::string local_name(std::string_view raw);
void local_name_append(std::string_view raw, std::string& out);

// `s` without leading and trailing Unicode White_Space characters.
std::string_view trim_white_space(std::string_view s);

// Replaces the five predefined entities and decimal or hexadecimal
// character references in the tail of `s` from `from` on, rewriting it in
// place (a reference is never shorter than its character). On a bad
// reference returns false with `err` (Kind::Xml) filled and `s` cut back to
// `from`.
bool resolve_references_in_place(std::string& s, std::size_t from, XmlStreamError& err);

}  // namespace qk::xml
