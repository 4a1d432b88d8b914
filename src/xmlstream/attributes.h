// The attributes of a start or empty-element tag, tokenized. They are read
// only when asked for, and then for every tag of a record, so a whole tag is
// tokenized in one call. No Python here.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace qk::xml {

struct Attribute {
  std::string_view name, raw;  // raw: between the quotes, references unresolved
  bool amp, high;              // raw holds a '&' / a byte above 0x7F (when asked for)
};

// A tag's attributes in order, up to the first malformed or repeated one,
// which `error` then names (null when the whole tag was well formed). Kept
// by its user across tags, so that tokenizing allocates nothing once warm.
struct AttributeList {
  std::vector<Attribute> items;
  const char* error = nullptr;
};

// Tokenizes the attributes of `tag` (an event's bytes: the qualified name,
// then the attributes) from `from`, just past the name. `flags` asks for
// each value's `amp` and `high`; without, both are false and only where a
// value ends is found, which is quicker.
void tokenize_attributes(std::string_view tag, std::size_t from, bool flags, AttributeList& out);

// xmlns and xmlns:*, which declare namespaces rather than hold values.
inline bool is_namespace_declaration(std::string_view name) {
  return name.substr(0, 5) == "xmlns" && (name.size() == 5 || name[5] == ':');
}

}  // namespace qk::xml
