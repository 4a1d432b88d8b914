// Typed columns: value classification, the column verdict, and conversion.
#include "xmlstream/types.h"

#include "xmlstream/column.h"

#include <charconv>
#include <cstring>

namespace qk::xml {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The digits of `s` from `i` for exactly `n` places, as a number; false if
// one is not a digit or the text ends first.
bool fixed_digits(std::string_view s, std::size_t i, std::size_t n, int& out) {
  if (i + n > s.size()) return false;
  int v = 0;
  for (std::size_t k = i; k < i + n; ++k) {
    if (!is_digit(s[k])) return false;
    v = v * 10 + (s[k] - '0');
  }
  out = v;
  return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153u * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 +
                       static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t kMicrosPerDay = 86400LL * 1000000;
// Years 1 to 9999, the range every consumer's date and time types hold
// (Python's datetime among them): a value outside it stays text.
const std::int64_t kFirstDay = days_from_civil(1, 1, 1);
const std::int64_t kEndDay = days_from_civil(10000, 1, 1);

// YYYY-MM-DD at the start of `s`, a real calendar date.
bool date_prefix(std::string_view s, std::int64_t& days) {
  int y, m, d;
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  if (!fixed_digits(s, 0, 4, y) || !fixed_digits(s, 5, 2, m) || !fixed_digits(s, 8, 2, d)) return false;
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return false;
  days = days_from_civil(y, m, d);
  return true;
}

// The shape of a decimal number: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?,
// which is also exactly JSON's number syntax. `integral` says there is
// neither a fraction nor an exponent, `exponent` that there is an exponent.
bool decimal_shape(std::string_view s, bool& integral, bool& exponent) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  if (i < n && s[i] == '-') ++i;
  if (i == n || !is_digit(s[i])) return false;
  if (s[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(s[i])) ++i;
  }
  integral = true;
  exponent = false;
  if (i < n && s[i] == '.') {
    ++i;
    if (i == n || !is_digit(s[i])) return false;
    while (i < n && is_digit(s[i])) ++i;
    integral = false;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == n || !is_digit(s[i])) return false;
    while (i < n && is_digit(s[i])) ++i;
    integral = false;
    exponent = true;
  }
  return i == n;
}

// Without an exponent a decimal this short can neither overflow nor round
// to zero, so only longer ones, or ones with an exponent, are converted to
// see whether they fit.
constexpr std::size_t kSafeDecimalSize = 300;

bool float_in_range(std::string_view s) {
  double v;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  // Overflow to infinity and underflow to zero are both out of range here;
  // subnormal results are not, and keep their digits as well as a double can.
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

bool parse_int64(std::string_view s, std::int64_t& out) {
  std::size_t i = 0;
  const bool neg = !s.empty() && s[0] == '-';
  i += neg;
  const std::size_t digits = s.size() - i;
  if (digits == 0 || digits > 19) return false;
  if (s[i] == '0' && (digits > 1 || neg)) return false;  // 007 and -0 are not canonical
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');  // 19 digits cannot wrap
  }
  const std::uint64_t limit = neg ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  if (v > limit) return false;
  out = neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  return true;
}

bool parse_float64(std::string_view s, double& out) {
  bool integral, exponent;
  if (!decimal_shape(s, integral, exponent)) return false;
  if (integral) {
    // An integer too large for int64 would lose digits as a double.
    std::int64_t i;
    if (!parse_int64(s, i) && s != "-0") return false;
  }
  // from_chars is correctly rounded and ignores the locale.
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parse_date(std::string_view s, std::int32_t& days) {
  std::int64_t d;
  if (s.size() != 10 || !date_prefix(s, d)) return false;
  days = static_cast<std::int32_t>(d);
  return true;
}

bool parse_timestamp(std::string_view s, std::int64_t& micros, bool& has_offset) {
  std::int64_t days;
  if (s.size() < 16 || !date_prefix(s, days) || (s[10] != 'T' && s[10] != ' ')) return false;
  int hh, mm, ss = 0;
  if (!fixed_digits(s, 11, 2, hh) || s[13] != ':' || !fixed_digits(s, 14, 2, mm)) return false;
  if (hh > 23 || mm > 59) return false;
  std::size_t i = 16;
  std::int64_t frac = 0;
  if (i < s.size() && s[i] == ':') {
    if (!fixed_digits(s, i + 1, 2, ss) || ss > 59) return false;
    i += 3;
    if (i < s.size() && s[i] == '.') {
      ++i;
      std::size_t k = 0;
      for (; i < s.size() && is_digit(s[i]); ++i, ++k) {
        if (k == 6) return false;  // finer than a microsecond would be lost
        frac = frac * 10 + (s[i] - '0');
      }
      if (k == 0) return false;
      for (; k < 6; ++k) frac *= 10;
    }
  }
  std::int64_t offset_minutes = 0;
  has_offset = false;
  if (i < s.size()) {
    has_offset = true;
    if (s[i] == 'Z') {
      ++i;
    } else if (s[i] == '+' || s[i] == '-') {
      const int sign = s[i] == '-' ? -1 : 1;
      int oh, om;
      if (!fixed_digits(s, i + 1, 2, oh)) return false;
      i += 3;
      if (i < s.size() && s[i] == ':') ++i;
      if (!fixed_digits(s, i, 2, om)) return false;
      i += 2;
      if (oh > 23 || om > 59) return false;
      offset_minutes = sign * (oh * 60 + om);
    } else {
      return false;
    }
    if (i != s.size()) return false;
  }
  micros = days * kMicrosPerDay + (hh * 3600LL + mm * 60LL + ss) * 1000000 + frac -
           offset_minutes * 60 * 1000000;
  return micros >= kFirstDay * kMicrosPerDay && micros < kEndDay * kMicrosPerDay;
}

std::uint8_t classify(std::string_view s) {
  using namespace type_bits;
  if (s.empty()) return 0;
  const char c = s[0];
  if (c == 't' || c == 'f') return s == "true" || s == "false" ? kBool : 0;
  if (c != '-' && !is_digit(c)) return 0;
  // Four digits and a dash begin a date, never a decimal.
  if (s.size() >= 10 && s[4] == '-' && is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) &&
      is_digit(s[3])) {
    std::int32_t d;
    if (s.size() == 10) return parse_date(s, d) ? kDate32 : 0;
    std::int64_t us;
    bool tz;
    if (parse_timestamp(s, us, tz)) return tz ? kTimestampUtc : kTimestamp;
    return 0;
  }
  bool integral, exponent;
  if (!decimal_shape(s, integral, exponent)) return 0;
  if (integral) {
    std::int64_t v;
    if (parse_int64(s, v)) return kInt64 | kFloat64;
    return s == "-0" ? kFloat64 : 0;  // an integer past int64 would lose digits as a double
  }
  if (exponent || s.size() > kSafeDecimalSize) return float_in_range(s) ? kFloat64 : 0;
  return kFloat64;
}

ValueType TypeState::decide() const {
  using namespace type_bits;
  if (!seen_) return ValueType::String;
  if (mask_ & kInt64) return ValueType::Int64;
  if (mask_ & kFloat64) return ValueType::Float64;
  if (mask_ & kBool) return ValueType::Bool;
  if (mask_ & kDate32) return ValueType::Date32;
  if (mask_ & kTimestamp) return ValueType::Timestamp;
  if (mask_ & kTimestampUtc) return ValueType::TimestampUtc;
  return ValueType::String;
}

void TypeState::add_column(const Column& col) {
  if (settled()) return;
  const std::size_t rows = col.rows();
  if (col.nulls == rows) return;
  std::uint8_t mask = mask_;
  for (std::size_t r = 0; r < rows; ++r) {
    if (col.is_null(r)) continue;
    mask &= classify(col.value(r));
    if (mask == 0) break;
  }
  mask_ = mask;
  seen_ = true;
}

namespace {
struct Named {
  ValueType type;
  const char* name;
  const char* format;
};
constexpr Named kNames[] = {
    {ValueType::String, "string", "U"},
    {ValueType::Int64, "int64", "l"},
    {ValueType::Float64, "float64", "g"},
    {ValueType::Bool, "bool", "b"},
    {ValueType::Date32, "date32", "tdD"},
    {ValueType::Timestamp, "timestamp[us]", "tsu:"},
    {ValueType::TimestampUtc, "timestamp[us, tz=UTC]", "tsu:UTC"},
};
}  // namespace

const char* type_name(ValueType t) { return kNames[static_cast<int>(t)].name; }
const char* arrow_format(ValueType t) { return kNames[static_cast<int>(t)].format; }

bool type_from_name(std::string_view name, ValueType& out) {
  for (const Named& n : kNames)
    if (name == n.name) {
      out = n.type;
      return true;
    }
  return false;
}

bool convert_column(const Column& col, ValueType type, TypedColumn& out, std::string& bad) {
  const std::size_t rows = col.rows();
  out.type = type;
  out.data.clear();
  const auto fail = [&](std::size_t r) {
    bad = std::string(col.value(r));
    return false;
  };
  switch (type) {
    case ValueType::String:
      return true;
    case ValueType::Int64: {
      out.data.assign(rows, 0);
      auto* p = reinterpret_cast<std::int64_t*>(out.data.data());
      for (std::size_t r = 0; r < rows; ++r)
        if (!col.is_null(r) && !parse_int64(col.value(r), p[r])) return fail(r);
      return true;
    }
    case ValueType::Float64: {
      out.data.assign(rows, 0);
      for (std::size_t r = 0; r < rows; ++r) {
        if (col.is_null(r)) continue;
        double v;
        if (!parse_float64(col.value(r), v)) return fail(r);
        std::memcpy(&out.data[r], &v, sizeof v);
      }
      return true;
    }
    case ValueType::Bool: {
      out.data.assign((rows + 63) / 64, 0);
      for (std::size_t r = 0; r < rows; ++r) {
        if (col.is_null(r)) continue;
        const std::string_view v = col.value(r);
        if (v == "true") out.data[r >> 6] |= std::uint64_t{1} << (r & 63);
        else if (v != "false") return fail(r);
      }
      return true;
    }
    case ValueType::Date32: {
      out.data.assign((rows + 1) / 2, 0);
      auto* p = reinterpret_cast<std::int32_t*>(out.data.data());
      for (std::size_t r = 0; r < rows; ++r)
        if (!col.is_null(r) && !parse_date(col.value(r), p[r])) return fail(r);
      return true;
    }
    case ValueType::Timestamp:
    case ValueType::TimestampUtc: {
      out.data.assign(rows, 0);
      auto* p = reinterpret_cast<std::int64_t*>(out.data.data());
      const bool want_offset = type == ValueType::TimestampUtc;
      for (std::size_t r = 0; r < rows; ++r) {
        if (col.is_null(r)) continue;
        bool has_offset;
        if (!parse_timestamp(col.value(r), p[r], has_offset) || has_offset != want_offset)
          return fail(r);
      }
      return true;
    }
  }
  return false;
}

}  // namespace qk::xml
