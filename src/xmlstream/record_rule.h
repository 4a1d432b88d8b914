// Which elements are records. The batch loop and the counter both follow
// this one rule, since callers rely on a count equal to the rows streamed.
// No Python here.
#pragma once

#include <cstdint>

namespace qk::xml {

// Every child element of a top-level element is a record; an empty-element
// tag directly inside a top-level element is a record without values. Feed
// it every start, end and empty-element tag; each call says what the tag's
// element is.
class RecordRule {
 public:
  enum class Role : std::uint8_t {
    TopLevel,  // a top-level element, or an end tag the reader refused
    Record,    // the record element itself
    InRecord,  // an element nested inside a record
  };

  // Begins with `depth` elements open: a reading resumed at a split point.
  explicit RecordRule(std::uint64_t depth = 0) : depth_(depth) {}

  Role start() { return role(depth_++); }
  Role end() { return depth_ == 0 ? Role::TopLevel : role(--depth_); }
  Role empty() const { return role(depth_); }

 private:
  static Role role(std::uint64_t depth) {
    return depth == 0 ? Role::TopLevel : depth == 1 ? Role::Record : Role::InRecord;
  }
  std::uint64_t depth_ = 0;  // open elements
};

}  // namespace qk::xml
