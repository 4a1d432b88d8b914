#include "xmlstream/text_out.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace qk::xml {

namespace {

// ---- Bytes that need care --------------------------------------------------------

// kJson[b]: the escape after the backslash, 'u' for \u00XX, 0 for a byte
// copied as is. kCsv[b]: 1 for a byte that makes a field quoted.
struct Tables {
  char json[256] = {};
  bool csv[256] = {};
  constexpr Tables() {
    for (int b = 0; b < 0x20; ++b) json[b] = 'u';
    json['\b'] = 'b';
    json['\f'] = 'f';
    json['\n'] = 'n';
    json['\r'] = 'r';
    json['\t'] = 't';
    json['"'] = '"';
    json['\\'] = '\\';
    csv[','] = csv['"'] = csv['\r'] = csv['\n'] = true;
  }
};
constexpr Tables kTables;

// Eight bytes at a time: a word with a high bit set in each byte lane that
// needs care. Only the lowest set lane is exact (a borrow can mark lanes
// above a true one), which is all the scans below use, so they take it only
// on little-endian machines, where the lowest lane is the first byte.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
constexpr bool kLittle = std::endian::native == std::endian::little;

inline std::uint64_t zero_lanes(std::uint64_t x) { return (x - kOnes) & ~x & kHighs; }
inline std::uint64_t lanes_equal(std::uint64_t x, char c) { return zero_lanes(x ^ (kOnes * static_cast<std::uint8_t>(c))); }

inline std::uint64_t json_lanes(std::uint64_t x) {
  // Below 0x20, or a quote, or a backslash.
  return ((x - kOnes * 0x20) & ~x & kHighs) | lanes_equal(x, '"') | lanes_equal(x, '\\');
}
inline std::uint64_t csv_lanes(std::uint64_t x) {
  return lanes_equal(x, ',') | lanes_equal(x, '"') | lanes_equal(x, '\r') | lanes_equal(x, '\n');
}

inline std::uint64_t load8(const char* s) {
  std::uint64_t x;
  std::memcpy(&x, s, 8);
  return x;
}

// Sixteen bytes read at `s` (two words), of which the first `left` are
// the value's: the index of the first one that `lanes` marks, or 16 when
// none is. A value's last block is read whole when the buffer goes on that
// far, so most short values are one block; the lanes past the value are
// dropped, and with no true lane among those kept none is set, a borrow
// only marking lanes above a true one. No branch on the value's length.
constexpr std::uint64_t kKeep[9] = {0,
                                    0xFFULL,
                                    0xFFFFULL,
                                    0xFFFFFFULL,
                                    0xFFFFFFFFULL,
                                    0xFFFFFFFFFFULL,
                                    0xFFFFFFFFFFFFULL,
                                    0xFFFFFFFFFFFFFFULL,
                                    ~0ULL};

template <std::uint64_t (*Lanes)(std::uint64_t)>
inline unsigned first_of_16(const char* s, std::size_t left) {
  const std::size_t l = left < 16 ? left : 16;
  const std::size_t l0 = l < 8 ? l : 8;
  const std::uint64_t m0 = Lanes(load8(s)) & kKeep[l0];
  const std::uint64_t m1 = Lanes(load8(s + 8)) & kKeep[l - l0];
  const unsigned k0 = static_cast<unsigned>(std::countr_zero(m0)) >> 3;  // 8 when none
  const unsigned k1 = static_cast<unsigned>(std::countr_zero(m1)) >> 3;
  return k0 < 8 ? k0 : 8 + k1;
}

// The first byte of [s, e) that makes a CSV field quoted, or e. Bytes up
// to `limit` may be read.
inline const char* csv_special(const char* s, const char* e, const char* limit) {
  if constexpr (kLittle) {
    while (s < e && limit - s >= 16) {
      const std::size_t left = static_cast<std::size_t>(e - s);
      const unsigned k = first_of_16<csv_lanes>(s, left);
      if (k < 16) return s + k;
      if (left <= 16) return e;
      s += 16;
    }
  }
  while (s < e && !kTables.csv[static_cast<unsigned char>(*s)]) ++s;
  return s;
}

// ---- The output ----------------------------------------------------------------------

// Writes through a raw pointer into a buffer grown ahead of need: each
// value asks once for its worst case, then writes without further checks.
class Sink {
 public:
  Sink(TextOut& out, std::size_t expect) : out_(out) {
    p_ = out_.reserve(expect);
    end_ = p_ + expect;
  }
  ~Sink() { out_.set_size(static_cast<std::size_t>(p_ - out_.data())); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  char* ensure(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  void done(char* p) { p_ = p; }

 private:
  void grow(std::size_t n) {
    out_.set_size(static_cast<std::size_t>(p_ - out_.data()));
    const std::size_t more = std::max(out_.size(), n + 4096);
    p_ = out_.reserve(more);
    end_ = p_ + more;
  }

  TextOut& out_;
  char* p_;
  char* end_;
};

inline char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

// Room a JSON string of n bytes may take: six per byte (\u00XX), the
// quotes, and a whole block stored past the end.
constexpr std::size_t json_room(std::size_t n) { return n * 6 + 2 + 16; }
// The same for a CSV field: doubled quotes, the quotes, a block.
constexpr std::size_t csv_room(std::size_t n) { return n * 2 + 2 + 16; }

inline char* escape(char* p, unsigned char b) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char how = kTables.json[b];
  *p++ = '\\';
  *p++ = how;
  if (how == 'u') {
    *p++ = '0';
    *p++ = '0';
    *p++ = kHex[b >> 4];
    *p++ = kHex[b & 15];
  }
  return p;
}

// Escapes [s, e) into p, which has json_room. Plain bytes go sixteen at a
// time, stored whole before the check is known: the room is there, and a
// store cut short is simply written over. Bytes up to `limit` may be read.
char* json_body(char* p, const char* s, const char* e, const char* limit) {
  if constexpr (kLittle) {
    while (s < e && limit - s >= 16) {
      std::memcpy(p, s, 16);
      const std::size_t left = static_cast<std::size_t>(e - s);
      const unsigned k = first_of_16<json_lanes>(s, left);
      if (k == 16) {
        const std::size_t step = left < 16 ? left : 16;
        p += step;
        s += step;
        continue;
      }
      p = escape(p + k, static_cast<unsigned char>(s[k]));
      s += k + 1;
    }
  }
  for (; s < e; ++s) {
    const unsigned char b = static_cast<unsigned char>(*s);
    if (kTables.json[b])
      p = escape(p, b);
    else
      *p++ = static_cast<char>(b);
  }
  return p;
}

char* json_string(char* p, const char* s, std::size_t n, const char* limit) {
  *p++ = '"';
  p = json_body(p, s, s + n, limit);
  *p++ = '"';
  return p;
}

// A field into p, which has csv_room.
char* csv_field(char* p, const char* s, std::size_t n, const char* limit) {
  const char* e = s + n;
  const char* q = csv_special(s, e, limit);
  if (q == e && n != 0) {
    if (n <= 16 && limit - s >= 16)
      std::memcpy(p, s, 16);
    else
      std::memcpy(p, s, n);
    return p + n;
  }
  *p++ = '"';
  // Only quotes need more than copying once the field is quoted.
  for (;;) {
    const void* hit = std::memchr(s, '"', static_cast<std::size_t>(e - s));
    const char* stop = hit ? static_cast<const char*>(hit) + 1 : e;
    std::memcpy(p, s, static_cast<std::size_t>(stop - s));
    p += stop - s;
    s = stop;
    if (!hit) break;
    *p++ = '"';
  }
  *p++ = '"';
  return p;
}

// ---- Reading the arrays ----------------------------------------------------------------

inline bool bit(const std::uint8_t* bits, std::int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// Item `j`'s begin and end in the node's offsets (logical, before the
// node's offset), 64-bit for the large kinds and 32-bit otherwise.
inline void offsets_at(const TextNode& node, bool large, std::int64_t j, std::int64_t& b, std::int64_t& e) {
  const std::int64_t i = node.offset + j;
  if (large) {
    const auto* o = static_cast<const std::int64_t*>(node.offsets);
    b = o[i];
    e = o[i + 1];
  } else {
    const auto* o = static_cast<const std::int32_t*>(node.offsets);
    b = o[i];
    e = o[i + 1];
  }
}

// The bytes of string `j`.
inline std::string_view string_at(const TextNode& node, std::int64_t j) {
  std::int64_t b, e;
  offsets_at(node, node.kind == TextNode::LargeString, j, b, e);
  return {node.data + b, static_cast<std::size_t>(e - b)};
}

// Rows are written across every column, so the reads run along one stream
// of offsets and one of bytes per column: more streams than the hardware
// follows on its own once there are a dozen columns or so. Each value read
// asks for what lies a few cache lines on in both.
inline void read_ahead(const TextNode& node, std::int64_t j, std::string_view v) {
  __builtin_prefetch(v.data() + 512);
  const std::int64_t i = node.offset + j;
  if (node.kind == TextNode::LargeString)
    __builtin_prefetch(static_cast<const std::int64_t*>(node.offsets) + i + 64);
  else
    __builtin_prefetch(static_cast<const std::int32_t*>(node.offsets) + i + 128);
}

inline void list_range(const TextNode& node, std::int64_t j, std::int64_t& b, std::int64_t& e) {
  offsets_at(node, node.kind == TextNode::LargeList, j, b, e);
}

inline bool is_null(const TextNode& node, std::int64_t j) {
  return node.validity && !bit(node.validity, node.offset + j);
}

// Null, or a literal column's empty string, which has no JSON reading.
inline bool json_absent(const TextNode& node, std::int64_t j) {
  if (is_null(node, j)) return true;
  return node.literal && node.kind <= TextNode::LargeString && string_at(node, j).empty();
}

void json_value(Sink& sink, const TextNode& node, std::int64_t j, bool nulls);

// The members of a struct (or of a record) at logical index `j` of every
// child, between braces.
void json_members(Sink& sink, const std::vector<TextNode>& children, const std::vector<TextKey>& keys,
                  std::int64_t j, bool nulls) {
  char* p = sink.ensure(1);
  *p++ = '{';
  sink.done(p);
  bool first = true;
  for (std::size_t c = 0; c < children.size(); ++c) {
    const TextNode& child = children[c];
    const bool absent = json_absent(child, j);
    if (absent && !nulls) continue;
    const TextKey& key = keys[c];
    p = sink.ensure(key.text.size() + 6);
    if (!first) {
      *p++ = ',';
      *p++ = ' ';
    }
    first = false;
    for (std::size_t i = 0; i < key.size; i += 16) std::memcpy(p + i, key.text.data() + i, 16);
    p += key.size;
    if (absent) {
      p = put(p, "null");
      sink.done(p);
      continue;
    }
    sink.done(p);
    json_value(sink, child, j, nulls);
  }
  p = sink.ensure(1);
  *p++ = '}';
  sink.done(p);
}

void json_value(Sink& sink, const TextNode& node, std::int64_t j, bool nulls) {
  switch (node.kind) {
    case TextNode::String:
    case TextNode::LargeString: {
      const std::string_view v = string_at(node, j);
      read_ahead(node, j, v);
      if (node.literal) {
        char* p = sink.ensure(v.size() + 16);
        if (v.size() <= 16 && node.data_end - v.data() >= 16)
          std::memcpy(p, v.data(), 16);
        else
          std::memcpy(p, v.data(), v.size());
        sink.done(p + v.size());
      } else {
        sink.done(json_string(sink.ensure(json_room(v.size())), v.data(), v.size(), node.data_end));
      }
      return;
    }
    case TextNode::Struct:
      json_members(sink, node.children, node.keys, node.offset + j, nulls);
      return;
    case TextNode::List:
    case TextNode::LargeList: {
      std::int64_t b, e;
      list_range(node, j, b, e);
      const TextNode& item = node.children[0];
      char* p = sink.ensure(1);
      *p++ = '[';
      sink.done(p);
      for (std::int64_t t = b; t < e; ++t) {
        if (t != b) {
          p = sink.ensure(2);
          *p++ = ',';
          *p++ = ' ';
          sink.done(p);
        }
        if (json_absent(item, t))
          sink.done(put(sink.ensure(4), "null"));
        else
          json_value(sink, item, t, nulls);
      }
      p = sink.ensure(1);
      *p++ = ']';
      sink.done(p);
      return;
    }
  }
}

// ---- Checking a batch -----------------------------------------------------------------

std::string quoted(std::string_view s) {
  std::string q = "'";
  q.append(s);
  q += '\'';
  return q;
}

std::string name_list(const std::vector<std::string>& names) {
  std::string s = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) s += ", ";
    s += quoted(names[i]);
  }
  return s + "]";
}

// A readable name for an Arrow format string, for messages.
std::string type_of(const ArrowSchema& schema) {
  if (schema.dictionary) return "dictionary";
  static const std::pair<const char*, const char*> kNames[] = {
      {"n", "null"},        {"b", "bool"},        {"c", "int8"},          {"C", "uint8"},
      {"s", "int16"},       {"S", "uint16"},      {"i", "int32"},         {"I", "uint32"},
      {"l", "int64"},       {"L", "uint64"},      {"e", "float16"},       {"f", "float"},
      {"g", "double"},      {"z", "binary"},      {"Z", "large_binary"},  {"vz", "binary_view"},
      {"vu", "string_view"}, {"u", "string"},     {"U", "large_string"},  {"+s", "struct"},
      {"+l", "list"},       {"+L", "large_list"}, {"+m", "map"},          {"+vl", "list_view"},
      {"tdD", "date32"},    {"tdm", "date64"},
  };
  const std::string_view f(schema.format ? schema.format : "");
  for (const auto& [format, name] : kNames)
    if (f == format) return name;
  return "with format " + quoted(f);
}

TextKey json_key(std::string_view name) {
  TextKey key;
  key.text.assign(json_room(name.size()) + 2, '\0');
  char* p = json_string(key.text.data(), name.data(), name.size(), name.data() + name.size());
  *p++ = ':';
  *p++ = ' ';
  key.size = static_cast<std::size_t>(p - key.text.data());
  key.text.resize((key.size + 15) / 16 * 16);
  std::fill(key.text.begin() + static_cast<std::ptrdiff_t>(key.size), key.text.end(), '\0');
  return key;
}

// Whether any of `length` bits from `offset` is clear.
bool any_clear(const std::uint8_t* bits, std::int64_t offset, std::int64_t length) {
  for (std::int64_t i = offset; i < offset + length; ++i)
    if (!bit(bits, i)) return true;
  return false;
}

struct Builder {
  TextFormat format;
  std::string why;

  TextFault type_fault(const std::string& path, const ArrowSchema& schema) {
    why = "column " + quoted(path) + " is of Arrow type " + type_of(schema) + ", which ";
    why += format == TextFormat::Csv
               ? "CSV does not write: only strings, and structs and lists of them (as their JSON text)"
               : "JSON Lines does not write: only strings, and structs and lists of them";
    return TextFault::Type;
  }
  TextFault malformed(const std::string& path) {
    why = "column " + quoted(path) + " is not a well-formed Arrow array for its type";
    return TextFault::Shape;
  }

  // Fills `node` from one array whose logical rows [0, need) are read.
  TextFault build(const ArrowSchema& s, const ArrowArray& a, std::int64_t need, bool literal,
                  const std::string& path, TextNode& node, std::size_t* bytes) {
    if (s.dictionary || !s.format) return type_fault(path, s);
    const std::string_view f(s.format);
    node.literal = literal;
    node.offset = a.offset;
    if (a.length < need || a.offset < 0) return malformed(path);
    const auto* validity = a.n_buffers > 0 ? static_cast<const std::uint8_t*>(a.buffers[0]) : nullptr;
    node.validity = a.null_count != 0 ? validity : nullptr;
    static const char kEmpty[1] = {0};
    if (f == "u" || f == "U") {
      node.kind = f == "U" ? TextNode::LargeString : TextNode::String;
      if (a.n_buffers != 3) return malformed(path);
      node.offsets = a.buffers[1];
      node.data = a.buffers[2] ? static_cast<const char*>(a.buffers[2]) : kEmpty;
      if (need > 0 && !node.offsets) return malformed(path);
      node.data_end = node.data;
      if (need > 0) {
        // Offsets only grow, so the last value read ends the bytes read.
        const std::int64_t first = a.offset, last = a.offset + need;
        const bool large = node.kind == TextNode::LargeString;
        const std::int64_t b = large ? static_cast<const std::int64_t*>(node.offsets)[first]
                                     : static_cast<const std::int32_t*>(node.offsets)[first];
        const std::int64_t e = large ? static_cast<const std::int64_t*>(node.offsets)[last]
                                     : static_cast<const std::int32_t*>(node.offsets)[last];
        if (b < 0 || e < b) return malformed(path);
        node.data_end = node.data + e;
        if (bytes) *bytes += static_cast<std::size_t>(e - b);
      }
      return TextFault::None;
    }
    // CSV writes a struct or a list as its JSON text.
    if (f == "+s") {
      node.kind = TextNode::Struct;
      if (a.n_buffers < 1 || a.n_children != s.n_children) return malformed(path);
      node.children.resize(static_cast<std::size_t>(s.n_children));
      for (std::int64_t k = 0; k < s.n_children; ++k) {
        const std::string name = s.children[k]->name ? s.children[k]->name : "";
        node.keys.push_back(json_key(name));
        const TextFault fault = build(*s.children[k], *a.children[k], a.offset + need, literal,
                                      path + "." + name, node.children[static_cast<std::size_t>(k)], nullptr);
        if (fault != TextFault::None) return fault;
      }
      return TextFault::None;
    }
    if (f == "+l" || f == "+L") {
      node.kind = f == "+L" ? TextNode::LargeList : TextNode::List;
      if (a.n_buffers != 2 || a.n_children != 1 || s.n_children != 1) return malformed(path);
      node.offsets = a.buffers[1];
      if (need > 0 && !node.offsets) return malformed(path);
      std::int64_t last = 0;
      if (need > 0) {
        const std::int64_t i = a.offset + need;
        last = node.kind == TextNode::LargeList ? static_cast<const std::int64_t*>(node.offsets)[i]
                                                : static_cast<const std::int32_t*>(node.offsets)[i];
      }
      node.children.resize(1);
      return build(*s.children[0], *a.children[0], last, literal, path + "[]", node.children[0], nullptr);
    }
    return type_fault(path, s);
  }
};

}  // namespace

char* TextOut::reserve(std::size_t n) {
  if (capacity_ - size_ < n) {
    const std::size_t want = std::max(capacity_ * 2, size_ + n);
    char* grown = static_cast<char*>(std::realloc(data_, want));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = want;
  }
  return data_ + size_;
}

void append_json_string(std::string& out, const char* s, std::size_t n) {
  std::string buf(json_room(n), '\0');
  buf.resize(static_cast<std::size_t>(json_string(buf.data(), s, n, s + n) - buf.data()));
  out += buf;
}

void append_csv_field(std::string& out, const char* s, std::size_t n) {
  std::string buf(csv_room(n), '\0');
  buf.resize(static_cast<std::size_t>(csv_field(buf.data(), s, n, s + n) - buf.data()));
  out += buf;
}

TextEncoder::TextEncoder(TextFormat format, std::vector<std::string> columns, std::vector<bool> literal, bool nulls)
    : format_(format), columns_(std::move(columns)), literal_(std::move(literal)), nulls_(nulls) {
  literal_.resize(columns_.size(), false);
  if (format_ == TextFormat::JsonLines)
    for (const std::string& name : columns_) keys_.push_back(json_key(name));
}

std::string TextEncoder::header() const {
  std::string out;
  if (format_ != TextFormat::Csv || columns_.empty()) return out;
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (c) out += ',';
    append_csv_field(out, columns_[c].data(), columns_[c].size());
  }
  out += "\r\n";
  return out;
}

TextFault TextEncoder::prepare(const ArrowSchema& schema, const ArrowArray& array, Plan& plan,
                               std::string& why) const {
  plan = Plan();
  const std::string_view f(schema.format ? schema.format : "");
  if (f != "+s" || schema.dictionary || array.n_children != schema.n_children || array.n_buffers < 1 ||
      array.length < 0 || array.offset < 0) {
    why = "encode() takes a record batch (an Arrow struct array), not Arrow type " + type_of(schema);
    return f == "+s" ? TextFault::Shape : TextFault::Type;
  }
  std::vector<std::string> names;
  for (std::int64_t k = 0; k < schema.n_children; ++k)
    names.emplace_back(schema.children[k]->name ? schema.children[k]->name : "");
  if (names.size() != columns_.size()) {
    why = "the batch has " + std::to_string(names.size()) + " columns " + name_list(names) + ", the encoder " +
          std::to_string(columns_.size()) + ": " + name_list(columns_);
    return TextFault::Shape;
  }
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (names[c] != columns_[c]) {
      why = "the batch's column " + std::to_string(c) + " is " + quoted(names[c]) + " where the encoder has " +
            quoted(columns_[c]) + " (batch " + name_list(names) + ", encoder " + name_list(columns_) + ")";
      return TextFault::Shape;
    }
  }
  const auto* validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (array.null_count != 0 && validity && any_clear(validity, array.offset, array.length)) {
    why = "the batch has null records; a record batch has none";
    return TextFault::Shape;
  }
  Builder builder{format_, {}};
  plan.columns_.resize(columns_.size());
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    const TextFault fault =
        builder.build(*schema.children[c], *array.children[c], array.offset + array.length, literal_[c],
                      columns_[c], plan.columns_[c], &plan.data_bytes_);
    if (fault != TextFault::None) {
      why = std::move(builder.why);
      plan = Plan();
      return fault;
    }
  }
  plan.rows_ = array.length;
  plan.row0_ = array.offset;
  return TextFault::None;
}

void TextEncoder::encode(const Plan& plan, TextOut& out) const {
  const std::vector<TextNode>& cols = plan.columns_;
  const std::size_t rows = static_cast<std::size_t>(plan.rows_);
  if (format_ == TextFormat::Csv) {
    if (cols.empty()) return;
    // Most values need no quoting: the bytes, a separator each, CRLF.
    Sink sink(out, plan.data_bytes_ + rows * (cols.size() + 2) + 64);
    for (std::int64_t r = 0; r < plan.rows_; ++r) {
      const std::int64_t j = plan.row0_ + r;
      for (std::size_t c = 0; c < cols.size(); ++c) {
        const TextNode& node = cols[c];
        if (is_null(node, j)) {
          if (c) {
            char* p = sink.ensure(1);
            *p++ = ',';
            sink.done(p);
          }
          continue;
        }
        if (node.kind > TextNode::LargeString) {
          // A nested value: its JSON text, as JSON Lines writes it, quoted.
          TextOut json;
          {
            Sink js(json, 256);
            json_value(js, node, j, nulls_);
          }
          char* p = sink.ensure(csv_room(json.size()) + 1);
          if (c) *p++ = ',';
          sink.done(csv_field(p, json.data(), json.size(), json.data() + json.size()));
          continue;
        }
        const std::string_view v = string_at(node, j);
        read_ahead(node, j, v);
        char* p = sink.ensure(csv_room(v.size()) + 1);
        if (c) *p++ = ',';
        sink.done(csv_field(p, v.data(), v.size(), node.data_end));
      }
      char* p = sink.ensure(2);
      *p++ = '\r';
      *p++ = '\n';
      sink.done(p);
    }
    return;
  }
  // Quotes and a separator around each value, the keys, the braces.
  std::size_t keys = 0;
  for (const TextKey& k : keys_) keys += k.size + 4;
  Sink sink(out, plan.data_bytes_ + rows * (keys + 3) + 64);
  for (std::int64_t r = 0; r < plan.rows_; ++r) {
    json_members(sink, cols, keys_, plan.row0_ + r, nulls_);
    char* p = sink.ensure(1);
    *p++ = '\n';
    sink.done(p);
  }
}

}  // namespace qk::xml
