// The pull reader: event sequences, checks and recovery, chunking, discard
// mode and files.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/reader.h"

using qk::xml::Event;
using qk::xml::Reader;
using qk::xml::XmlStreamError;

namespace {

const char* kind_name(Event e) {
  static const char* names[] = {"Start", "End", "Empty", "Text", "CData", "Comment", "Decl", "PI", "DocType", "Eof"};
  return names[static_cast<int>(e)];
}

// Every event as "Kind:bytes", every error as "ERR:text", through the first
// Eof, plus one more read to show that Eof stays. A tag whose name size the
// reader reports wrongly shows up as "NAME SIZE".
std::vector<std::string> events(Reader& r) {
  std::vector<std::string> out;
  std::string buf;
  for (int guard = 0; guard < 1000; ++guard) {
    buf.clear();
    Event ev;
    XmlStreamError err;
    if (!r.read_event(buf, ev, err)) {
      out.push_back("ERR:" + check::without_position(err.text));
      continue;
    }
    out.push_back(std::string(kind_name(ev)) + ":" + buf);
    if ((ev == Event::Start || ev == Event::Empty) && r.last_name_size() != qk::xml::tag_name(buf).size())
      out.push_back("NAME SIZE");
    if (ev == Event::Eof) break;
  }
  std::string buf2;
  Event ev;
  XmlStreamError err;
  if (!r.read_event(buf2, ev, err) || ev != Event::Eof) out.push_back("NOT STICKY");
  return out;
}

std::vector<std::string> events(const std::string& doc, std::size_t chunk = 8192, bool discard = false) {
  auto r = Reader::from_bytes(doc, chunk);
  r->set_discard_content(discard);
  return events(*r);
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (auto& e : v) s += "\n    " + e;
  return s;
}

struct Case {
  std::string doc;
  std::vector<std::string> want;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> c = {
      // Every event kind in one document.
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"]>\">]><r x=\"a>b\" y='>'><a>t &amp; u</a>"
       "<!-- c --><![CDATA[<x>]]><?pi data?><e/></r>",
       {"Decl:xml version=\"1.0\"", "Text:\n", "DocType:r [<!ENTITY e \"]>\">]", "Start:r x=\"a>b\" y='>'",
        "Start:a", "Text:t &amp; u", "End:a", "Comment: c ", "CData:<x>", "PI:pi data", "Empty:e", "End:r",
        "Eof:"}},
      // End-name check with recovery: `a` counts as closed.
      {"<r><a>1</b></r>", {"Start:r", "Start:a", "Text:1", "ERR:expected `</a>`, found `</b>`", "End:r", "Eof:"}},
      {"<r></r></x><y/>",
       {"Start:r", "End:r", "ERR:unexpected end tag `</x>` with no open element", "Empty:y", "Eof:"}},
      {"<r><a></a \n></r>", {"Start:r", "Start:a", "End:a", "End:r", "Eof:"}},
      {"<p:r\txmlns:p='u'></p:r>", {"Start:p:r\txmlns:p='u'", "End:p:r", "Eof:"}},
      {"<r><a x>1</a><b />\n</r>",
       {"Start:r", "Start:a x", "Text:1", "End:a", "Empty:b ", "Text:\n", "End:r", "Eof:"}},
      {"<r> <a>1</a> </r>", {"Start:r", "Text: ", "Start:a", "Text:1", "End:a", "Text: ", "End:r", "Eof:"}},
      // Open elements at the end and several top-level elements are fine.
      // End names must match in full: around the 16-byte mark, prefixes, empty names.
      {"<abcdefghijklmnop></abcdefghijklmnoq><abcdefghijklmnopq></abcdefghijklmnopq>",
       {"Start:abcdefghijklmnop", "ERR:expected `</abcdefghijklmnop>`, found `</abcdefghijklmnoq>`",
        "Start:abcdefghijklmnopq", "End:abcdefghijklmnopq", "Eof:"}},
      {"<ab></abc><abc></ab>",
       {"Start:ab", "ERR:expected `</ab>`, found `</abc>`", "Start:abc", "ERR:expected `</abc>`, found `</ab>`",
        "Eof:"}},
      {"<></><a></>", {"Start:", "End:", "Start:a", "ERR:expected `</a>`, found `</>`", "Eof:"}},
      {"<r><a>1</a>", {"Start:r", "Start:a", "Text:1", "End:a", "Eof:"}},
      {"<a/><b/>tail", {"Empty:a", "Empty:b", "Text:tail", "Eof:"}},
      {"", {"Eof:"}},
      {"only text", {"Text:only text", "Eof:"}},
      {std::string("<r>\0\0</r>", 9), {"Start:r", std::string("Text:\0\0", 7), "End:r", "Eof:"}},
      {"\xEF\xBB\xBF<r/>", {"Empty:r", "Eof:"}},
      // Terminators: the first one counts, and it must follow the opener.
      {"<!-- a -- b --><!----><!-->-->", {"Comment: a -- b ", "Comment:", "Comment:>", "Eof:"}},
      {"<![CDATA[]]]]><![CDATA[]]>", {"CData:]]", "CData:", "Eof:"}},
      {"<?\?><?a?b?\?>", {"PI:", "PI:a?b?", "Eof:"}},
      {"<?xml?><?xml-stylesheet href='s'?><?xmlx?><?xml\tversion='1'?>",
       {"Decl:xml", "PI:xml-stylesheet href='s'", "PI:xmlx", "Decl:xml\tversion='1'", "Eof:"}},
      // DOCTYPE: quotes, comments and PIs in the subset hide ']' and '>'.
      {"<!doctype html><!DOCTYPE r SYSTEM \"a>b\"><!DOCTYPE r [<!-- ' ]> --><?p ]>?><!ENTITY e 'a]>\"'>]>x",
       {"DocType:html", "DocType:r SYSTEM \"a>b\"", "DocType:r [<!-- ' ]> --><?p ]>?><!ENTITY e 'a]>\"'>]",
        "Text:x", "Eof:"}},
      {"<!DOCTYPE><!DOCTYPE [<!ENTITY e 'x'>]><r/>",
       {"ERR:DOCTYPE declaration has no name", "ERR:DOCTYPE declaration has no name", "Empty:r", "Eof:"}},
      // Syntax errors end the document.
      {"<r><a", {"Start:r", "ERR:unexpected end of file inside a tag", "Eof:"}},
      {"<r a='>", {"ERR:unexpected end of file inside a tag", "Eof:"}},
      {"<r></r", {"Start:r", "ERR:unexpected end of file inside an end tag", "Eof:"}},
      {"<r>x<", {"Start:r", "Text:x", "ERR:unexpected end of file after `<`", "Eof:"}},
      {"<!-- x --", {"ERR:unexpected end of file inside a comment", "Eof:"}},
      {"<![CDATA[x]]", {"ERR:unexpected end of file inside a CDATA section", "Eof:"}},
      {"<?pi x?", {"ERR:unexpected end of file inside a processing instruction", "Eof:"}},
      {"<?xml version='1.0'", {"ERR:unexpected end of file inside an XML declaration", "Eof:"}},
      {"<!DOCTYPE r [<!ENTITY e '>'>", {"ERR:unexpected end of file inside a DOCTYPE declaration", "Eof:"}},
      {"<!DOC", {"ERR:unexpected end of file after `<!`", "Eof:"}},
      {"<r><!x><a/>",
       {"Start:r", "ERR:`<!` must begin a comment, a CDATA section or a DOCTYPE declaration", "Eof:"}},
      // Names in messages are shown printable.
      {"<a></b\xFF\x01>", {"Start:a", "ERR:expected `</a>`, found `</b\xEF\xBF\xBD\xEF\xBF\xBD>`", "Eof:"}},
  };
  return c;
}

}  // namespace

TEST(reader_event_sequences) {
  for (const Case& c : cases()) {
    auto got = events(c.doc);
    if (got != c.want)
      check::fail(__FILE__, __LINE__, "document: " + c.doc + "\n  got:" + join(got) + "\n  want:" + join(c.want));
  }
}

// Any split of the input into reads gives the same events and errors.
TEST(reader_every_chunk_size_gives_same_events) {
  for (const Case& c : cases()) {
    for (bool discard : {false, true}) {
      auto want = events(c.doc, 8192, discard);
      for (std::size_t chunk = 1; chunk <= c.doc.size() + 1; ++chunk) {
        auto got = events(c.doc, chunk, discard);
        if (got != want) {
          check::fail(__FILE__, __LINE__,
                      "chunk " + std::to_string(chunk) + (discard ? " (discard)" : "") + ", document: " + c.doc +
                          "\n  got:" + join(got) + "\n  want:" + join(want));
          break;
        }
      }
    }
  }
}

TEST(reader_discard_drops_character_data_but_keeps_checks) {
  std::string doc =
      "<?xml version='1.0'?><!DOCTYPE r><r>text<![CDATA[cd]]><!-- c --><?pi x?><a>1</a><!DOCTYPE></r>";
  CHECK_EQ(join(events(doc, 8192, true)),
           join({"Decl:xml version='1.0'", "DocType:", "Start:r", "Comment:", "PI:", "Start:a", "End:a",
                 "ERR:DOCTYPE declaration has no name", "End:r", "Eof:"}));
}

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/qk_reader_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string write(const std::string& name, const std::string& data) const {
    std::string p = path + "/" + name;
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return p;
  }
};

}  // namespace

TEST(reader_open_errors) {
  TempDir dir;
  XmlStreamError err;
  CHECK(Reader::open(dir.path + "/missing.xml", err) == nullptr);
  CHECK(err.kind == XmlStreamError::Kind::Io);
  CHECK_EQ(err.text, std::string("No such file or directory (os error 2)"));

  err = {};
  CHECK(Reader::open(std::string("a\0b", 3), err) == nullptr);
  CHECK(err.kind == XmlStreamError::Kind::Io);
  CHECK_EQ(err.text, std::string("file name contained an unexpected NUL byte"));

  if (geteuid() != 0) {  // root reads anything
    std::string p = dir.write("secret.xml", "<r/>");
    chmod(p.c_str(), 0);
    err = {};
    CHECK(Reader::open(p, err) == nullptr);
    CHECK_EQ(err.text, std::string("Permission denied (os error 13)"));
  }
}

TEST(reader_directory_fails_at_first_read) {
  TempDir dir;
  XmlStreamError err;
  auto r = Reader::open(dir.path, err);
  CHECK(r != nullptr);
  if (!r) return;
  auto got = events(*r);
  CHECK_EQ(join(got), join({"ERR:failed to read file: Is a directory (os error 21)", "Eof:"}));
}

TEST(reader_file_matches_memory) {
  TempDir dir;
  const Case& c = cases().front();
  std::string p = dir.write("doc.xml", c.doc);
  for (std::size_t chunk : {1, 7, 8192}) {
    XmlStreamError err;
    auto r = Reader::open(p, err, chunk);
    CHECK(r != nullptr);
    if (r) CHECK_EQ(join(events(*r)), join(c.want));
  }
}

// Megabytes of character data cost no buffer memory in discard mode, and
// arrive whole otherwise.
TEST(reader_large_text) {
  TempDir dir;
  const std::size_t n = 5u << 20;
  std::string doc = "<r>" + std::string(n, 'x') + "<!--" + std::string(n, '-') + "-->" + "</r>";
  std::string p = dir.write("big.xml", doc);
  for (bool discard : {true, false}) {
    XmlStreamError err;
    auto r = Reader::open(p, err);
    r->set_discard_content(discard);
    std::string buf;
    std::vector<std::string> got;
    Event ev;
    do {
      buf.clear();
      CHECK(r->read_event(buf, ev, err));
      got.push_back(std::string(kind_name(ev)) + ":" + std::to_string(buf.size()));
      if (discard) CHECK(buf.capacity() < 64);
    } while (ev != Event::Eof);
    if (discard)
      CHECK_EQ(join(got), join({"Start:1", "Comment:0", "End:1", "Eof:0"}));
    else
      CHECK_EQ(join(got), join({"Start:1", "Text:" + std::to_string(n), "Comment:" + std::to_string(n),
                                "End:1", "Eof:0"}));
  }
}

// Deep nesting of long names: every end tag is checked against its own start.
TEST(reader_deep_nesting) {
  std::string doc, want;
  const int depth = 300;
  auto name = [](int i) { return "n" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 40), 'x'); };
  for (int i = 0; i < depth; ++i) doc += "<" + name(i) + " a='" + std::to_string(i) + "'>";
  for (int i = depth - 1; i >= 0; --i) doc += "</" + name(i) + ">";
  doc += "</" + name(0) + ">";
  for (std::size_t chunk : {std::size_t{8192}, std::size_t{13}}) {
    auto got = events(doc, chunk);
    CHECK_EQ(got.size(), static_cast<std::size_t>(2 * depth + 2));
    CHECK_EQ(got[depth], "End:" + name(depth - 1));
    CHECK_EQ(got[2 * depth - 1], "End:" + name(0));
    CHECK_EQ(got[2 * depth], "ERR:unexpected end tag `</" + name(0) + ">` with no open element");
  }
}

TEST(reader_tag_name) {
  CHECK_EQ(qk::xml::tag_name("p:a x='1'"), std::string_view("p:a"));
  CHECK_EQ(qk::xml::tag_name("a\n"), std::string_view("a"));
  CHECK_EQ(qk::xml::tag_name("a"), std::string_view("a"));
  CHECK_EQ(qk::xml::tag_name(""), std::string_view(""));
}

// Errors say where the fault starts, whichever refill it falls in, on the
// fast path and the general one alike.
TEST(reader_error_positions_at_every_chunk_size) {
  struct Case {
    std::string doc, where;
  };
  const std::vector<Case> cases = {
      {"<r>\n<a>1</b>\n</r>", " at line 2, byte 8"},
      {"<r>\n</r>\n</x>", " at line 3, byte 9"},
      {"<r>\n<!-- a -- b -->\n<!DOCTYPE>", " at line 3, byte 20"},
      {"<r>\n<a>1</a>\n<b", " at line 3, byte 13"},
      {"<r>\n<a>1</a>\n<!-- no end", " at line 3, byte 13"},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk = 1; chunk <= c.doc.size() + 1; ++chunk) {
      auto r = Reader::from_bytes(c.doc, chunk);
      std::string buf, text;
      Event ev;
      XmlStreamError err;
      for (int i = 0; i < 100; ++i) {
        buf.clear();
        if (!r->read_event(buf, ev, err)) {
          text = err.text;
          break;
        }
        if (ev == Event::Eof) break;
      }
      const bool ends = text.size() >= c.where.size() &&
                        text.compare(text.size() - c.where.size(), c.where.size(), c.where) == 0;
      if (!ends)
        check::fail(__FILE__, __LINE__, c.doc + " chunk " + std::to_string(chunk) + ": " + text);
    }
  }
}

namespace {

// Every event as "Kind:bytes @offset", every error with its position, read
// through either read_event: with `lend`, the bytes the reader may leave in
// its window, and `buf` must hold nothing else.
std::vector<std::string> read_all(const std::string& doc, std::size_t chunk, bool discard, bool lend) {
  auto r = Reader::from_bytes(doc, chunk);
  r->set_discard_content(discard);
  std::vector<std::string> out;
  std::string buf;
  for (int guard = 0; guard < 1000; ++guard) {
    buf.clear();
    std::string_view bytes;
    Event ev;
    XmlStreamError err;
    const bool ok = lend ? r->read_event(buf, bytes, ev, err) : r->read_event(buf, ev, err);
    if (!ok) {
      out.push_back("ERR:" + err.text);
      continue;
    }
    if (!lend) bytes = buf;
    else if (bytes.data() == buf.data() ? bytes.size() != buf.size() : !buf.empty()) out.push_back("BUF TOUCHED");
    out.push_back(std::string(kind_name(ev)) + ":" + std::string(bytes) + " @" + std::to_string(r->stream_offset()));
    if ((ev == Event::Start || ev == Event::Empty) && r->last_name_size() != qk::xml::tag_name(bytes).size())
      out.push_back("NAME SIZE");
    if (ev == Event::Eof) break;
  }
  return out;
}

}  // namespace

TEST(reader_lent_bytes_match_copied_ones) {
  for (const Case& c : cases()) {
    for (bool discard : {false, true}) {
      for (std::size_t chunk = 1; chunk <= c.doc.size() + 1; ++chunk) {
        auto want = read_all(c.doc, chunk, discard, false);
        auto got = read_all(c.doc, chunk, discard, true);
        if (got != want) {
          check::fail(__FILE__, __LINE__,
                      "chunk " + std::to_string(chunk) + (discard ? " (discard)" : "") + ", document: " + c.doc +
                          "\n  got:" + join(got) + "\n  want:" + join(want));
          break;
        }
      }
    }
  }
}
