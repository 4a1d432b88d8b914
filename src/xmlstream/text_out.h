// Record batches written out as CSV or JSON Lines bytes, straight from the
// Arrow buffers (the C data interface), with no Python and no object per
// value, so a caller can run it without the interpreter lock.
//
// The output style, which is the package's documented one:
//
// CSV (RFC 4180)
//   - Fields are separated by `,` and every record ends with CRLF (`\r\n`).
//   - A field is quoted with `"` only when it holds `,`, `"`, CR or LF, or
//     when it is the empty string: `""` is an empty string, while a missing
//     value (null) is an empty field with nothing in it, so the two stay
//     apart on the way back in. A `"` inside a quoted field is doubled.
//   - The header line holds the column names, quoted by the same rule, and
//     ends with CRLF; with no columns there is no header (an empty line
//     would read back as one column with an empty name).
//   - A batch without columns writes nothing for its rows: CSV cannot show
//     a record of zero fields.
//   - Only string columns (Arrow `string` and `large_string`) are written.
//
// JSON Lines
//   - One JSON object per record, then `\n`, members in column order:
//     `{"name": "value", "other": "x"}`. Members are separated by `, ` and a
//     name is followed by `: `, byte for byte what Python's
//     `json.dumps(record, ensure_ascii=False)` writes.
//   - A null is left out of its object, or written as `null` when nulls are
//     kept. A record with no members is `{}`.
//   - Strings are escaped as that same call escapes them: `\"`, `\\`, `\n`,
//     `\r`, `\t`, `\b`, `\f`, the other bytes below 0x20 as `\u00XX` with
//     lowercase hex; every other byte, UTF-8 and DEL alike, is copied as is.
//   - A struct column is an object of its children in their order, under
//     the same rule for nulls; a list column (`list` or `large_list`) is an
//     array, its null items written as `null`. They nest to any depth, with
//     strings at the leaves.
//   - A column marked literal holds text that is already JSON (a number,
//     `true`, `false`), copied bare. An empty string there has no JSON
//     reading and is taken as null. In a nested column the mark applies to
//     every string within it.
//
// Null records of the batch itself (a struct array with a validity bitmap)
// are refused: a record batch has none, and the children's values under a
// null record mean nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "xmlstream/arrow_c.h"

namespace qk::xml {

enum class TextFormat { Csv, JsonLines };

// Bytes written out: a buffer grown without clearing, since every byte of
// it is written before it is read, and output runs to tens of megabytes a
// batch.
class TextOut {
 public:
  TextOut() = default;
  ~TextOut() { std::free(data_); }
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }

  // Room for `n` more bytes past size(); throws std::bad_alloc.
  char* reserve(std::size_t n);
  void set_size(std::size_t n) { size_ = n; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Why a batch cannot be encoded: the caller maps these to its own errors.
enum class TextFault {
  None,
  Shape,  // the batch's columns are not the encoder's, or its arrays are malformed
  Type,   // not a record batch, or a column of a type the format does not write
};

// A JSON member's `"name": `, escaped once, then zeros up to a multiple
// of 16 bytes, so that it is copied in whole blocks.
struct TextKey {
  std::string text;
  std::size_t size = 0;
};

// One array of the batch, as the encoder reads it.
struct TextNode {
  enum Kind : std::uint8_t { String, LargeString, Struct, List, LargeList };
  Kind kind = String;
  bool literal = false;
  const std::uint8_t* validity = nullptr;  // null when nothing is null
  std::int64_t offset = 0;
  const void* offsets = nullptr;  // strings and lists
  const char* data = nullptr;     // strings
  const char* data_end = nullptr;  // how far past a value reads may go
  std::vector<TextNode> children;  // struct children or the list's items
  std::vector<TextKey> keys;       // struct children's
};

class TextEncoder {
 public:
  // `literal` is empty (no column literal) or holds one flag per column.
  TextEncoder(TextFormat format, std::vector<std::string> columns, std::vector<bool> literal, bool nulls);

  TextFormat format() const { return format_; }
  const std::vector<std::string>& columns() const { return columns_; }

  // The CSV header line; empty for JSON Lines and for CSV without columns.
  std::string header() const;

  // A batch checked against the encoder and ready to encode: the checks
  // walk the schema and the top-level bitmap only, the encoding walks the
  // values. It points into the arrays, which must outlive it.
  class Plan;

  // Checks `schema`/`array` (a struct array, a record batch) against the
  // columns and types. Returns None and fills `plan`, or a fault with `why`.
  TextFault prepare(const ArrowSchema& schema, const ArrowArray& array, Plan& plan, std::string& why) const;

  // Appends the encoded rows of a prepared batch to `out`.
  void encode(const Plan& plan, TextOut& out) const;

 private:
  TextFormat format_;
  std::vector<std::string> columns_;
  std::vector<bool> literal_;
  bool nulls_;
  // JSON: each column's member prefix.
  std::vector<TextKey> keys_;
};

class TextEncoder::Plan {
 public:
  std::int64_t rows() const { return rows_; }

 private:
  friend class TextEncoder;
  std::int64_t rows_ = 0;
  std::int64_t row0_ = 0;  // the struct array's own offset
  std::vector<TextNode> columns_;
  std::size_t data_bytes_ = 0;  // string bytes in reach, to size the output
};

// JSON string escaping and CSV field quoting of one value, as encode()
// does them: appended to `out`.
void append_json_string(std::string& out, const char* s, std::size_t n);
void append_csv_field(std::string& out, const char* s, std::size_t n);

}  // namespace qk::xml
