// Typed columns: what each text value could be read as, the type a whole
// column settles on, and the conversion of a finished string column into
// that type's Arrow layout. No Python here.
//
// A column takes a type only when every one of its values reads as that
// type without losing anything a reader of the text would miss; otherwise
// it stays a string. Nulls say nothing either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qk::xml {

struct Column;

enum class ValueType : std::uint8_t {
  String,
  Int64,
  Float64,
  Bool,
  Date32,
  Timestamp,     // naive, microseconds
  TimestampUtc,  // microseconds since the epoch in UTC, from values with an offset
};

// The candidate types of one value, as bits; a column's candidates are the
// AND over its values.
namespace type_bits {
constexpr std::uint8_t kInt64 = 1, kFloat64 = 2, kBool = 4, kDate32 = 8, kTimestamp = 16,
                       kTimestampUtc = 32, kAll = 63;
}

// Candidate bits of one (trimmed, non-null) value.
std::uint8_t classify(std::string_view value);

// A column's verdict so far.
class TypeState {
 public:
  void add(std::uint8_t bits) {
    mask_ &= bits;
    seen_ = true;
  }
  void merge(const TypeState& other) {
    if (!other.seen_) return;
    mask_ &= other.mask_;
    seen_ = true;
  }
  // Nothing further can change the verdict: a string whatever comes.
  bool settled() const { return seen_ && mask_ == 0; }
  // The state as one number (0x100 once a value was seen, with the mask of
  // types every value so far reads as in the low byte), and back: states
  // found apart merge as numbers by OR on 0x100 and AND on the low byte.
  std::uint16_t packed() const { return static_cast<std::uint16_t>((seen_ ? 0x100 : 0) | mask_); }
  static TypeState unpacked(std::uint16_t v) {
    TypeState s;
    s.mask_ = static_cast<std::uint8_t>(v & 0xFF);
    s.seen_ = (v & 0x100) != 0;
    return s;
  }
  ValueType decide() const;
  // Every non-null value of `col` (stops early once settled).
  void add_column(const Column& col);

 private:
  std::uint8_t mask_ = type_bits::kAll;
  bool seen_ = false;
};

// Names as the Python side spells them ("int64", "timestamp[us, tz=UTC]"),
// and back; false for an unknown name.
const char* type_name(ValueType t);
bool type_from_name(std::string_view name, ValueType& out);
// The Arrow C data interface format string.
const char* arrow_format(ValueType t);

// A column converted to a fixed-width type: 8-byte values (int64, float64,
// days as int32 pairs packed two to a word for date32, microseconds), or
// bits for bool; the string column's validity bitmap is reused as it is.
struct TypedColumn {
  ValueType type = ValueType::String;
  std::vector<std::uint64_t> data;  // 8-byte aligned, whatever the width
};

// Converts every non-null value of `col`. Returns false, with the first value
// that does not read as `type` in `bad`, when one does not (the file changed
// under the reader, or the column was typed from other data).
bool convert_column(const Column& col, ValueType type, TypedColumn& out, std::string& bad);

// The exact value of a canonical integer, a decimal, a date (days since
// 1970-01-01) or a date-time (microseconds since 1970-01-01T00:00, in UTC
// when it carries an offset); false when `text` is not one. Exposed for
// the tests.
bool parse_int64(std::string_view text, std::int64_t& out);
bool parse_float64(std::string_view text, double& out);
bool parse_date(std::string_view text, std::int32_t& days);
bool parse_timestamp(std::string_view text, std::int64_t& micros, bool& has_offset);

}  // namespace qk::xml
