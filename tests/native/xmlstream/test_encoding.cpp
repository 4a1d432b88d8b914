// Encoding choice (byte-order mark x declaration), label lookup and the
// decoders.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/encoding.h"
#include "xmlstream/reader.h"

using qk::xml::Event;
using qk::xml::Reader;
using qk::xml::XmlStreamError;
namespace enc = qk::xml::enc;

namespace {

// The decoded text of the first element, or "!error".
std::string text_of(Reader& r) {
  std::string buf, out;
  Event ev;
  XmlStreamError err;
  do {
    buf.clear();
    if (!r.read_event(buf, ev, err)) return "!read " + check::without_position(err.text);
    if (ev == Event::Text) return r.decode(buf, out, err) ? out : "!error";
  } while (ev != Event::Eof);
  return "!no text";
}

std::string text_of(const std::string& doc, std::size_t chunk = 8192) {
  return text_of(*Reader::from_bytes(doc, chunk));
}

// Decodes with a fresh decoder; "!error" on failure.
std::string decode(const char* label, const std::string& bytes) {
  const enc::Encoding* e = enc::lookup_label(label);
  if (!e) return "!unknown";
  enc::Decoder d;
  std::string out = "kept:", err;
  if (!d.decode(*e, bytes, out, err)) return out == "kept:" && !err.empty() ? "!error" : "!bad failure";
  return out.substr(5);
}

std::string data_dir() {
  std::string f = __FILE__;
  return f.substr(0, f.rfind('/')) + "/../../data/encodings/";
}

}  // namespace

TEST(encoding_matrix_of_marks_and_declarations) {
  std::ifstream list(data_dir() + "expected.txt");
  CHECK(list.good());
  std::string line;
  int files = 0;
  while (std::getline(list, line)) {
    std::size_t tab = line.find('\t');
    std::string name = line.substr(0, tab), want = line.substr(tab + 1);
    for (std::size_t chunk : {1, 2, 3, 5, 8192}) {
      XmlStreamError err;
      auto r = Reader::open(data_dir() + name, err, chunk);
      if (!r) {
        check::fail(__FILE__, __LINE__, name + ": " + err.text);
        break;
      }
      std::string got = text_of(*r);
      if (got != want) {
        check::fail(__FILE__, __LINE__, name + " chunk " + std::to_string(chunk) + ": got " + got + ", want " + want);
        break;
      }
    }
    ++files;
  }
  CHECK(files >= 30);
}

TEST(encoding_declaration_rules) {
  const std::string e9 = "<r>\xE9</r>";
  const std::string decl1252 = "<?xml version='1.0' encoding='latin1'?>";
  // Only the first declaration that names a known encoding counts.
  CHECK_EQ(text_of("<?xml version='1.0' encoding='windows-1251'?>" + decl1252 + e9), std::string("\xD0\xB9"));
  CHECK_EQ(text_of("<?xml version='1.0' encoding='nope'?>" + decl1252 + e9), std::string("\xC3\xA9"));
  // Spacing around '=' and the other quote; a value merely containing "encoding" is no label.
  CHECK_EQ(text_of("<?xml version='1.0'\n encoding = \"ASCII\" ?>" + e9), std::string("\xC3\xA9"));
  CHECK_EQ(text_of("<?xml version='encoding=\"latin1\"'?>" + e9), std::string("!error"));
  // A processing instruction that is not the declaration sets nothing.
  CHECK_EQ(text_of("<?xml-stylesheet encoding='latin1'?>" + e9), std::string("!error"));
}

TEST(encoding_label_lookup) {
  struct L { const char* label; const char* name; };
  for (L l : {L{"utf-8", "UTF-8"}, L{" \tUTF8\n", "UTF-8"}, L{"Latin1", "windows-1252"},
              L{"iso-8859-1", "windows-1252"}, L{"ASCII", "windows-1252"}, L{"us-ascii", "windows-1252"},
              L{"sjis", "Shift_JIS"}, L{"x-user-defined", "x-user-defined"}, L{"utf-16", "UTF-16LE"},
              L{"csiso2022kr", "replacement"}, L{"iso-8859-8-i", "ISO-8859-8-I"}}) {
    const enc::Encoding* e = enc::lookup_label(l.label);
    CHECK(e != nullptr);
    if (e) CHECK_EQ(std::string(e->name), std::string(l.name));
  }
  for (const char* bad : {"", "  ", "utf-9", "latin 1", "utf-8x"}) CHECK(enc::lookup_label(bad) == nullptr);
}

TEST(encoding_utf8_validation) {
  for (const char* ok : {"", "plain ascii that is longer than sixteen bytes", "\xC3\xA9", "\xE2\x82\xAC",
                         "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"})
    CHECK(enc::valid_utf8(ok));
  for (const char* bad : {"\xE9", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF5\x80\x80\x80", "\xE2\x82", "abcdefghijklmnop\x80", "\xC3\xA9\xBF"})
    CHECK(!enc::valid_utf8(bad));
}

TEST(encoding_single_byte_tables) {
  // windows-1252's holes are the C1 controls of the same value.
  CHECK_EQ(decode("latin1", "\x81\x8D\x8F\x90\x9D"), std::string("\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"));
  CHECK_EQ(decode("latin1", "a\x80z\xFF"), std::string("a\xE2\x82\xAC" "z\xC3\xBF"));
  CHECK_EQ(decode("koi8-r", "\xC1"), std::string("\xD0\xB0"));
  CHECK_EQ(decode("iso-8859-8", "\xA1"), std::string("!error"));  // unmapped
  CHECK_EQ(decode("windows-874", "ok\xDB"), std::string("!error"));
}

TEST(encoding_multibyte_decoders) {
  struct M { const char* label; std::string bytes; std::string want; };
  for (const M& m : {
           M{"shift_jis", "\x93\xFA\x96\x7B", "\xE6\x97\xA5\xE6\x9C\xAC"},
           M{"shift_jis", "\x80\xB1\x80", "\xC2\x80\xEF\xBD\xB1\xC2\x80"},
           M{"shift_jis", "\xF0\x40", "\xEE\x80\x80"},                       // user-defined: U+E000
           M{"euc-jp", "\xC6\xFC\xCB\xDC", "\xE6\x97\xA5\xE6\x9C\xAC"},
           M{"euc-jp", "\xA1\xC1", "\xEF\xBD\x9E"},                          // U+FF5E, not U+301C
           M{"euc-jp", "\x8E\xB1\x8F\xB0\xA1", "\xEF\xBD\xB1\xE4\xB8\x82"},
           M{"iso-2022-jp", "\x1B$BF|K\\\x1B(B!", "\xE6\x97\xA5\xE6\x9C\xAC!"},
           M{"iso-2022-jp", "\x1B(J\\\x1B(I1", "\xC2\xA5\xEF\xBD\xB1"},
           M{"euc-kr", "\xC7\xD1", "\xED\x95\x9C"},
           M{"big5", "\xA4\xA4", "\xE4\xB8\xAD"},
           M{"big5", "\x88\x62", "\xC3\x8A\xCC\x84"},                        // two code points
           M{"big5", "\x87\x45", "\xF0\xA7\x89\xA7"},                        // plane 2
           M{"gbk", "\xD6\xD0", "\xE4\xB8\xAD"},
           M{"gbk", "\x80", "\xE2\x82\xAC"},
           M{"gb18030", "a\x80\xD6\xD0\x80", "a\xE2\x82\xAC\xE4\xB8\xAD\xE2\x82\xAC"},
           M{"gb18030", "\x81\x30\x81\x30", "\xC2\x80"},
           M{"gb18030", "\x81\x35\xF4\x37", "\xEE\x9F\x87"},                 // pointer 7457
           M{"gb18030", "\xE3\x32\x9A\x35", "\xF4\x8F\xBF\xBF"},
           M{"gb18030", "\xE3\x32\x9A\x36", "!error"},
           M{"gb18030", "\x84\x31\xA5\x30", "!error"},                       // between the ranges
           M{"shift_jis", "\x93", "!error"},  // cut short
           M{"euc-kr", "a\xC7", "!error"},
           M{"euc-jp", "\x8F\xB0", "!error"},
           M{"big5", "\xFF\xFF", "!error"},
           M{"big5", "\x80", "!error"},
           M{"iso-2022-jp", "\x1B$", "!error"},
           M{"iso-2022-jp", "\x1B(B\x1B(Ba", "!error"},  // two escapes in a row
           M{"iso-2022-jp", "\x1B(Ia", "!error"},
           M{"iso-2022-jp", "\x0E", "!error"},
       })
    CHECK_EQ(decode(m.label, m.bytes), m.want);

  // A lone 0x80 grows threefold: wherever the output runs short, the euro
  // sign after characters converted in one go still needs its room.
  const std::string euro = "\xE2\x82\xAC", zhong = "\xE4\xB8\xAD";
  for (int k = 0; k < 48; ++k) {
    std::string bytes(k, '\x80'), want;
    for (int i = 0; i < k; ++i) want += euro;
    bytes += "\xD6\xD0" "a" "\xD6\xD0\x80";
    want += zhong + "a" + zhong + euro;
    CHECK_EQ(decode("gbk", bytes), want);
  }

  // Each call starts in the initial shift state: what follows an unclosed
  // escape is ASCII again in the next call.
  enc::Decoder d;
  const enc::Encoding& jis = *enc::lookup_label("iso-2022-jp");
  std::string out, err;
  CHECK(d.decode(jis, "\x1B$BF|", out, err));
  out.clear();
  CHECK(d.decode(jis, "F|", out, err));
  CHECK_EQ(out, std::string("F|"));
}

// Every one- and two-byte input, the three-byte EUC-JP forms and four-byte
// gb18030 over several first bytes, under the sanitizers: what decodes is
// well-formed UTF-8 within the room reserved (three bytes per byte), a
// failure leaves the output as it was, and an ASCII run in front (long
// enough for the 16-byte scan) changes nothing.
TEST(encoding_multibyte_sweep) {
  const std::string run = "0123456789abcdefghij";
  std::string bytes, out, alone, err;
  for (const char* label : {"shift_jis", "euc-jp", "iso-2022-jp", "euc-kr", "big5", "gb18030"}) {
    const enc::Encoding& e = *enc::lookup_label(label);
    enc::Decoder d;
    std::size_t decoded = 0, failures = 0;
    auto one = [&](const std::string& in) {
      alone = "kept";
      const bool ok = d.decode(e, in, alone, err);
      if (!ok && alone != "kept") ++failures;
      if (ok && (alone.compare(0, 4, "kept") != 0 || !enc::valid_utf8(alone) || alone.size() - 4 > 3 * in.size()))
        ++failures;
      out.clear();
      const bool ok2 = d.decode(e, run + in, out, err);
      if (ok2 != ok || (ok && out != run + alone.substr(4))) ++failures;
      decoded += ok;
    };
    for (int a = 0; a < 256; ++a) {
      for (int b = -1; b < 256; ++b) {
        bytes.assign(1, static_cast<char>(a));
        if (b >= 0) bytes += static_cast<char>(b);
        one(bytes);
        if (std::string(label) == "euc-jp" && a == 0x8F && b >= 0)
          for (int c = 0; c < 256; ++c) one(bytes + static_cast<char>(c));
        if (std::string(label) == "iso-2022-jp" && b >= 0) one("\x1B$B" + bytes);
      }
    }
    if (std::string(label) == "gb18030")
      for (int a : {0x81, 0x84, 0x85, 0x8F, 0x90, 0xE3, 0xE4, 0xFE})
        for (int b = 0x2F; b <= 0x3A; ++b)
          for (int c = 0x80; c < 256; ++c)
            for (int f = 0x2F; f <= 0x3A; ++f) one({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(f)});
    if (failures) check::fail(__FILE__, __LINE__, std::string(label) + ": " + std::to_string(failures) + " bad results");
    CHECK(decoded > 10000);
  }
}

TEST(encoding_x_user_defined_and_replacement) {
  CHECK_EQ(decode("x-user-defined", "A\x80\xFF"), std::string("A\xEF\x9E\x80\xEF\x9F\xBF"));
  CHECK_EQ(decode("replacement", ""), std::string(""));
  CHECK_EQ(decode("replacement", "a"), std::string("!error"));
}

// Splitting UTF-16 input anywhere gives the same UTF-8; unpaired surrogates
// and a dangling byte become the invalid byte 0xFF.
TEST(encoding_utf16_transcoder) {
  struct T { bool be; std::string in; std::string want; };
  for (const T& t : {
           T{false, std::string("a\0\xE9\0\x3D\xD8\x00\xDE", 8), "a\xC3\xA9\xF0\x9F\x98\x80"},
           T{true, std::string("\0a\x65\xE5", 4), "a\xE6\x97\xA5"},
           T{false, std::string("\x3D\xD8" "a\0", 4), "\xFF" "a"},
           T{false, std::string("\x00\xDE" "a\0", 4), "\xFF" "a"},
           T{false, std::string("a\0\x3D\xD8", 4), "a\xFF"},
           T{false, std::string("a\0b", 3), "a\xFF"},
       }) {
    for (std::size_t split = 0; split <= t.in.size(); ++split) {
      enc::Utf16Transcoder tc(t.be);
      std::string out(enc::Utf16Transcoder::max_output(t.in.size()) * 2, '\0');
      auto* in = reinterpret_cast<const unsigned char*>(t.in.data());
      std::size_t n = tc.feed(in, split, out.data());
      n += tc.feed(in + split, t.in.size() - split, out.data() + n);
      n += tc.finish(out.data() + n);
      out.resize(n);
      CHECK_EQ(out, t.want);
    }
  }
}

TEST(encoding_decode_errors_leave_reader_usable) {
  auto r = Reader::from_bytes("<r>\xE9<a/>ok</r>");
  std::string buf, out;
  Event ev;
  XmlStreamError err;
  buf.clear();
  CHECK(r->read_event(buf, ev, err));
  buf.clear();
  CHECK(r->read_event(buf, ev, err) && ev == Event::Text);
  CHECK(!r->decode(buf, out, err));
  CHECK_EQ(check::without_position(err.text), std::string("invalid UTF-8 in text"));
  CHECK(err.kind == XmlStreamError::Kind::Xml);
  CHECK(out.empty());
  buf.clear();
  CHECK(r->read_event(buf, ev, err) && ev == Event::Empty);
}

// What the first bytes alone decide: a mark wins over what follows it and
// is skipped; `<?` in UTF-16 is recognised without one; a cut-short mark or
// signature, or a UTF-16 shape other than `<?`, is UTF-8 with nothing skipped.
TEST(encoding_sniff_first_bytes) {
  struct T { std::string in; const enc::Encoding* want; std::size_t skip; };
  const enc::Encoding *u8 = &enc::utf8(), *be = &enc::utf16be(), *le = &enc::utf16le();
  int row = 0;
  for (const T& t : {
           T{"", u8, 0},
           T{"<?xml", u8, 0},
           T{"\xEF\xBB\xBF<r/>", u8, 3},
           T{"\xEF\xBB\xBF\xFE\xFF", u8, 3},
           T{"\xEF\xBB", u8, 0},
           T{std::string("\xFE\xFF\0<", 4), be, 2},
           T{"\xFE\xFF", be, 2},
           T{std::string("\xFF\xFE<\0", 4), le, 2},
           T{std::string("\xFF\xFE\0\0", 4), le, 2},
           T{"\xFE", u8, 0},
           T{std::string("\0<\0?\0x", 6), be, 0},
           T{std::string("<\0?\0x\0", 6), le, 0},
           T{std::string("\0<\0", 3), u8, 0},
           T{std::string("<\0r\0", 4), u8, 0},
           T{std::string("\0<\0r", 4), u8, 0},
       }) {
    const enc::Sniffed s = enc::sniff(t.in);
    if (s.encoding != t.want || s.skip != t.skip)
      check::fail(__FILE__, __LINE__, "row " + std::to_string(row) + ": got " + s.encoding->name + " skip " +
                                          std::to_string(s.skip));
    ++row;
  }
}
