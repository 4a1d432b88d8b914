// Document encodings: label lookup, decoders to UTF-8 that never substitute
// replacement characters, and the UTF-16 to UTF-8 transcoder of the reader's
// source layer. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xmlstream/utf8.h"

namespace qk::xml::enc {

enum class Kind : std::uint8_t {
  Utf8,
  SingleByte,    // ASCII plus a 128-entry table for the high half
  ShiftJis,      // the multi-byte decoders, table-driven
  EucJp,
  Iso2022Jp,
  EucKr,
  Big5,
  Gb18030,       // also GBK, which decodes the same
  Replacement,   // decodes nothing
  Utf16BE,       // transcoded to UTF-8 while read; text is then UTF-8
  Utf16LE,
  XUserDefined,  // high bytes to the private use area
};

struct Encoding {
  const char* name;
  Kind kind;
  const char16_t* table;  // SingleByte: code points of bytes 0x80..0xFF, 0 = unmapped
};

// Encoding for a label, after stripping ASCII whitespace and ignoring ASCII
// case; null for an unknown label.
const Encoding* lookup_label(std::string_view label);

// The encoding whose `name` is exactly `name`, or null: how a saved
// reading state names its encoding.
const Encoding* by_exact_name(std::string_view name);

const Encoding& utf8();
const Encoding& utf16be();
const Encoding& utf16le();

bool is_utf16(const Encoding& e);

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or code
// points above U+10FFFF).
bool valid_utf8(std::string_view s);

// Appends `s` to `out`, with every ill-formed sequence and every ASCII
// control character shown as U+FFFD, so raw document bytes can be quoted in
// a one-line error message.
void append_printable(std::string& out, std::string_view s);

// Decodes to UTF-8 without replacement, every encoding from tables built
// into the module: nothing is loaded from the system. Each call starts in the
// encoding's initial state, and input that ends inside a sequence is
// malformed.
class Decoder {
 public:
  // Appends the UTF-8 text of `bytes` to `out`. On a malformed sequence
  // returns false with a one-line description in `err`; `out` then keeps
  // what it held before the call.
  bool decode(const Encoding& e, std::string_view bytes, std::string& out, std::string& err);
};

// Streams UTF-16 bytes into UTF-8. Every lone surrogate, and a dangling odd
// byte at the end, becomes the byte 0xFF: never valid UTF-8, so decoding text
// that holds it fails, while markup around it still tokenises.
class Utf16Transcoder {
 public:
  explicit Utf16Transcoder(bool big_endian) : big_endian_(big_endian) {}
  bool big_endian() const { return big_endian_; }

  // Room `out` must offer for `n` input bytes.
  static constexpr std::size_t max_output(std::size_t n) { return (n + 1) / 2 * 3 + 4; }

  // Converts `n` bytes, carrying a split unit or surrogate pair over to the
  // next call. Returns the number of bytes written to `out`.
  std::size_t feed(const unsigned char* in, std::size_t n, char* out);
  // At the end of input: flushes what is still carried.
  std::size_t finish(char* out);

 private:
  bool big_endian_;
  int odd_byte_ = -1;        // first byte of a split code unit
  std::uint16_t high_ = 0;   // pending high surrogate
};

// What a document's first bytes tell of its encoding before any
// declaration is read: a byte-order mark, which is then skipped, or the
// shape of `<?` in UTF-16 without one; UTF-8 otherwise. `first_bytes` is
// what the source holds at the start, 4 bytes or fewer only when the
// document is that short.
struct Sniffed {
  const Encoding* encoding;
  std::size_t skip;  // bytes of the byte-order mark
};
Sniffed sniff(std::string_view first_bytes);

}  // namespace qk::xml::enc
