// Record trees, flattening, the batch accumulator, reference resolution,
// the batch event loop and record counting.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"
#include "xmlstream/flatten.h"
#include "xmlstream/text.h"

using namespace qk::xml;

namespace {

// ---- Helpers --------------------------------------------------------------------

// Builds a record tree from simple markup (tags, empty tags, plain text;
// attributes skipped), independent of the reader.
XmlNode tree(std::string_view xml) {
  std::vector<XmlNode> open;
  XmlNode done;
  for (std::size_t i = 0; i < xml.size();) {
    if (xml[i] != '<') {
      std::size_t j = xml.find('<', i);
      open.back().text.append(xml.substr(i, j - i));
      i = j;
      continue;
    }
    std::size_t j = xml.find('>', i);
    std::string_view inner = xml.substr(i + 1, j - i - 1);
    i = j + 1;
    if (inner[0] == '/') {
      XmlNode n = std::move(open.back());
      open.pop_back();
      if (open.empty()) done = std::move(n); else open.back().children.push_back(std::move(n));
      continue;
    }
    bool empty = inner.back() == '/';
    XmlNode n;
    n.name = local_name(inner.substr(0, inner.find_first_of(" /")));
    if (!empty) open.push_back(std::move(n));
    else if (open.empty()) done = std::move(n);
    else open.back().children.push_back(std::move(n));
  }
  return done;
}

std::string show_flat(const FlatRecord& r) {
  std::string keys, values;
  for (std::size_t i = 0; i < r.keys.size(); ++i) {
    keys += (i ? ", " : "") + r.keys[i];
    values += (i ? ", " : "") + (r.values[i] ? *r.values[i] : std::string("null"));
  }
  return keys + " | " + values;
}

// A batch in the shape Python sees: (['a', 'b'], [['1', None], ...]).
std::string show_batch(const Batch& b) {
  std::string s = "([";
  for (std::size_t i = 0; i < b.columns.size(); ++i) s += (i ? ", '" : "'") + b.columns[i] + "'";
  s += "], [";
  for (std::size_t i = 0; i < b.column_values.size(); ++i) {
    const Column& c = b.column_values[i];
    s += i ? ", [" : "[";
    for (std::size_t r = 0; r < c.rows(); ++r)
      s += (r ? ", " : "") + (c.is_null(r) ? std::string("None") : "'" + std::string(c.value(r)) + "'");
    s += "]";
  }
  return s + "])";
}

// Every step of an iterator over `xml` until it finishes: a batch, or
// "error: <text>" for a failed step.
std::vector<std::string> steps(const std::string& xml, std::uint64_t batch_rows,
                               std::size_t chunk = Reader::kReadBufferSize) {
  XmlBatchInner inner(Reader::from_bytes(xml, chunk), batch_rows, "doc.xml");
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000; ++guard) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Finished:
        CHECK(inner.next_batch(err) == XmlBatchInner::Step::Finished);  // sticky
        return out;
      case XmlBatchInner::Step::Error:
        CHECK(err.kind == XmlStreamError::Kind::Xml);
        CHECK(err.text.find('\n') == std::string::npos);
        out.push_back("error: " + check::without_position(err.text));
        break;
      case XmlBatchInner::Step::Batch: {
        Batch b = inner.take_batch();
        for (const Column& c : b.column_values) CHECK_EQ(c.rows(), b.column_values[0].rows());
        out.push_back(show_batch(b));
        break;
      }
    }
  }
  CHECK(!"iterator did not finish");
  return out;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + "\n";
  return s;
}

// Steps must not depend on how the input is split into reads.
std::vector<std::string> steps_all_chunks(const std::string& xml, std::uint64_t batch_rows) {
  std::vector<std::string> ref = steps(xml, batch_rows);
  for (std::size_t chunk : {1, 2, 3, 7, 64})
    CHECK_EQ(joined(steps(xml, batch_rows, chunk)), joined(ref));
  return ref;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/qk_records_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    CHECK(fd >= 0 && write(fd, content.data(), content.size()) == ssize_t(content.size()));
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
};

// With one row per batch, the batches count the rows, even rows without keys.
std::uint64_t total_rows(const std::string& xml) {
  XmlBatchInner inner(Reader::from_bytes(xml), 1, "doc.xml");
  std::uint64_t rows = 0;
  XmlStreamError err;
  XmlBatchInner::Step s;
  while ((s = inner.next_batch(err)) == XmlBatchInner::Step::Batch) ++rows;
  CHECK(s == XmlBatchInner::Step::Finished);
  return rows;
}

}  // namespace

// ---- Names and white space ------------------------------------------------------

TEST(records_local_name) {
  const std::pair<std::string, std::string> cases[] = {
      {"ns:item", "item"}, {"a:b:c", "c"}, {"item", "item"}, {"p:", ""}, {":", ""},
      {"", ""}, {"\xC3\xA9l\xC3\xA9ment", "\xC3\xA9l\xC3\xA9ment"},
      // Invalid UTF-8: one U+FFFD per maximal subpart.
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xE0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE2\x82", "\xEF\xBF\xBD"},
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a\xF4\x90\x80\x80" "b", "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b"},
      {"\xE2\x82x\xE2\x82\xAC", "\xEF\xBF\xBDx\xE2\x82\xAC"},
      {"p\xFF:q\xF1\x80\x80\xC3\xA9", "q\xEF\xBF\xBD\xC3\xA9"},
  };
  for (const auto& [raw, want] : cases) CHECK_EQ(local_name(raw), want);
}

TEST(records_trim_white_space) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t\r\n\v\f x y \n", "x y"},
      {"   ", ""},
      {"", ""},
      // Every non-ASCII White_Space character, at both ends.
      {"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A" "a"
       "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", "a"},
      // Not White_Space: information separators, zero-width space, U+200B..
      {"\x1C" "a\x1F", "\x1C" "a\x1F"},
      {"\xE2\x80\x8B" "a\xE2\x80\x8B", "\xE2\x80\x8B" "a\xE2\x80\x8B"},
      {"\xC3\xA0", "\xC3\xA0"},     // U+00E0 ends in 0xA0 but is a letter
      {"a\xE3\x80\x81", "a\xE3\x80\x81"},  // U+3001 differs from U+3000 in the last byte
  };
  for (const auto& [in, want] : cases) CHECK_EQ(std::string(trim_white_space(in)), want);
}

// ---- Flattening -----------------------------------------------------------------

TEST(records_flatten_examples) {
  const std::pair<const char*, const char*> cases[] = {
      {"<row><id> 7 </id><name>Ann</name><addr><city>Oslo</city><zip/></addr><name>Bob</name></row>",
       "id, name, city, zip, row_name | 7, Ann, Oslo, null, Bob"},
      {"<row><a>1</a><a>2</a><a>3</a></row>", "a, row_a | 1, 3"},
      {"<row><city>X</city><addr><city>Y</city></addr></row>", "city, addr_city | X, Y"},
      {"<row><a><x>1</x><x>2</x></a></row>", "x, a_x | 1, 2"},
      {"<row><a><b><c>1</c></b></a></row>", "c | 1"},
      {"<row><a_c>1</a_c><c>2</c><a><c>3</c></a></row>", "a_c, c | 3, 2"},
      {"<p:row><p:id>1</p:id><q:id>2</q:id></p:row>", "id, row_id | 1, 2"},
      {"<row code=\"9\">lead<a>1</a>tail</row>", "a | 1"},
      {"<row><x>   </x><y></y></row>", "x, y | null, null"},
      {"<row>only text</row>", " | "},
      {"<row/>", " | "},
      // Inner white space stays; a branch's own text is dropped.
      {"<row><a> x \n y </a><b>t<c>1</c>t</b></row>", "a, c | x \n y, 1"},
      // Two branches with the same leaf name: the second gets the branch prefix.
      {"<row><p><n>1</n></p><q><n>2</n></q></row>", "n, q_n | 1, 2"},
      // A prefixed key taken by a deeper branch overwrites at its first position.
      {"<row><b><b_n>0</b_n><n>1</n></b><b><n>2</n></b></row>", "b_n, n | 2, 1"},
      // Pairs taken over from an earlier branch count as taken at the level.
      {"<row><a><k>1</k></a><k>2</k></row>", "k, row_k | 1, 2"},
      // A name ending in ':' gives the empty key.
      {"<row><p:>v</p:></row>", " | v"},
  };
  for (const auto& [xml, want] : cases) CHECK_EQ(show_flat(flatten_record(tree(xml))), std::string(want));
}

TEST(records_flatten_wide_levels) {
  // Past the linear-search size a level is indexed; results must not change.
  std::string xml = "<row>", want_keys, want_values;
  for (int i = 0; i < 150; ++i) xml += "<k" + std::to_string(i % 50) + ">" + std::to_string(i) + "</k" + std::to_string(i % 50) + ">";
  xml += "<g>";
  for (int i = 0; i < 30; ++i) xml += "<k" + std::to_string(i) + ">g" + std::to_string(i) + "</k" + std::to_string(i) + ">";
  xml += "</g></row>";
  FlatRecord r = flatten_record(tree(xml));
  CHECK_EQ(r.keys.size(), 100u + 30u);
  CHECK_EQ(r.keys[0], "k0");
  CHECK_EQ(*r.values[0], "0");
  CHECK_EQ(r.keys[50], "row_k0");
  CHECK_EQ(*r.values[50], "100");  // the third k0 overwrites the second
  CHECK_EQ(r.keys[100], "g_k0");
  CHECK_EQ(*r.values[129], "g29");
}

TEST(records_deep_tree) {
  // 10^6 nested levels: no recursion in flattening or in releasing the tree.
  constexpr int kDepth = 1000000;
  XmlNode root;
  root.name = "rec";
  XmlNode* at = &root;
  for (int i = 0; i < kDepth; ++i) {
    at->children.emplace_back();
    at = &at->children.back();
    at->name = "n";
  }
  at->text = " leaf ";
  FlatRecord r = flatten_record(root);
  CHECK_EQ(show_flat(r), "n | leaf");
}

// ---- Batch accumulator ----------------------------------------------------------

namespace {
FlatRecord rec(std::vector<std::string> keys, std::vector<std::optional<std::string>> values) {
  return FlatRecord{std::move(keys), std::move(values)};
}
}  // namespace

TEST(records_push_record) {
  XmlBatchInner b(nullptr, 100, "p");
  b.push_record(rec({"a", "b"}, {"1", "2"}));
  b.push_record(rec({"b", "c"}, {"3", "4"}));
  b.push_record(rec({"a"}, {"5"}));
  CHECK_EQ(b.row_count(), 3u);
  CHECK_EQ(show_batch(b.take_batch()),
           "(['a', 'b', 'c'], [['1', None, '5'], ['2', '3', None], [None, '4', None]])");
  CHECK_EQ(b.row_count(), 0u);

  // A new batch starts without columns; rows without keys are null
  // everywhere, including in columns created later; null values still make
  // a column; a repeated key keeps its last value; a key without a value is null.
  b.push_record(rec({}, {}));
  b.push_record(rec({"z", "y"}, {std::nullopt, "1"}));
  b.push_record(rec({"y", "z", "y"}, {"2", "3", "4"}));
  b.push_record(rec({"x", "w"}, {"5"}));
  b.push_record(rec({"v"}, {"6", "ignored"}));
  CHECK_EQ(show_batch(b.take_batch()),
           "(['z', 'y', 'x', 'w', 'v'], [[None, None, '3', None, None], [None, '1', '4', None, None], "
           "[None, None, None, '5', None], [None, None, None, None, None], [None, None, None, None, '6']])");

  b.push_record(rec({}, {}));
  b.push_record(rec({}, {}));
  CHECK_EQ(b.row_count(), 2u);
  CHECK_EQ(show_batch(b.take_batch()), "([], [])");

  // Many columns: beyond the position guess, lookups go through the index.
  for (int r = 0; r < 3; ++r) {
    FlatRecord x;
    for (int i = 0; i < 2000; ++i) {
      x.keys.push_back("c" + std::to_string((i * 7 + r) % 2000));
      x.values.emplace_back(std::to_string(r));
    }
    b.push_record(std::move(x));
  }
  Batch wide = b.take_batch();
  CHECK_EQ(wide.columns.size(), 2000u);
  CHECK_EQ(wide.columns[1], "c7");
  for (const Column& c : wide.column_values) CHECK_EQ(std::string(c.value(2)), "2");
}

// ---- References -----------------------------------------------------------------

TEST(records_resolve_references) {
  const std::pair<std::string, std::string> ok[] = {
      {"plain", "plain"}, {"", ""},
      {"a&lt;b&gt;c&amp;d&apos;e&quot;f", "a<b>c&d'e\"f"},
      {"&#65;&#x41;&#x6a;&#x6A;&#0065;", "AAjjA"},
      {"&#xE9;&#233;&#x20AC;&#x1F600;&#x10FFFF;",
       "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"&amp;lt;", "&lt;"}, {"x;y", "x;y"},
  };
  for (const auto& [in, want] : ok) {
    std::string out = "pre:" + in;
    XmlStreamError err;
    CHECK(resolve_references_in_place(out, 4, err));
    CHECK_EQ(out, "pre:" + want);
  }
  const std::pair<std::string, std::string> bad[] = {
      {"a & b", "unterminated reference in text"},
      {"a &amp", "unterminated reference in text"},
      {"&lt&gt;", "unterminated reference in text"},
      {"&nbsp;", "unrecognized entity `nbsp`"},
      {"&LT;", "unrecognized entity `LT`"},
      {"&;", "unrecognized entity ``"},
      {"&a\nb;", "unrecognized entity `a\\x0Ab`"},
      {"&#0;", "invalid character reference `#0`"},
      {"&#x0;", "invalid character reference `#x0`"},
      {"&#;", "invalid character reference `#`"},
      {"&#x;", "invalid character reference `#x`"},
      {"&#X41;", "invalid character reference `#X41`"},
      {"&#+65;", "invalid character reference `#+65`"},
      {"&#-65;", "invalid character reference `#-65`"},
      {"&#x+41;", "invalid character reference `#x+41`"},
      {"&#6a;", "invalid character reference `#6a`"},
      {"&#xg;", "invalid character reference `#xg`"},
      {"&#xD800;", "invalid character reference `#xD800`"},
      {"&#57343;", "invalid character reference `#57343`"},
      {"&#x110000;", "invalid character reference `#x110000`"},
      {"&#4294967295;", "invalid character reference `#4294967295`"},
      {"&#4294967361;", "invalid character reference `#4294967361`"},  // 2^32 + 'A'
      {"&#x10000000041;", "invalid character reference `#x10000000041`"},
      {"&#99999999999999999999999999;", "invalid character reference `#99999999999999999999999999`"},
  };
  for (const auto& [in, want] : bad) {
    std::string out = "pre:ok &amp; " + in;
    XmlStreamError err;
    CHECK(!resolve_references_in_place(out, 4, err));
    CHECK_EQ(check::without_position(err.text), want);
    CHECK(err.kind == XmlStreamError::Kind::Xml);
    CHECK_EQ(out, "pre:");  // nothing of a failed piece is kept
  }
  std::string out = "&" + std::string(100, 'n') + ";";
  XmlStreamError err;
  CHECK(!resolve_references_in_place(out, 0, err));
  CHECK_EQ(check::without_position(err.text), "unrecognized entity `" + std::string(40, 'n') + "...`");
}

// ---- Batch iterator -------------------------------------------------------------

TEST(records_batches_by_size) {
  const std::string doc =
      "<?xml version=\"1.0\"?><!-- head --><rows>\n"
      "  <row><id>1</id><name>a</name></row>\n"
      "  <row><id>2</id><extra>x</extra></row>\n"
      "  <row><id>3</id></row>\n"
      "</rows>\n";
  CHECK_EQ(joined(steps_all_chunks(doc, 2)),
           "(['id', 'name', 'extra'], [['1', '2'], ['a', None], [None, 'x']])\n"
           "(['id'], [['3']])\n");
  CHECK_EQ(joined(steps_all_chunks(doc, 1000)),
           "(['id', 'name', 'extra'], [['1', '2', '3'], ['a', None, None], [None, 'x', None]])\n");
  const std::string one_each =
      "(['id', 'name'], [['1'], ['a']])\n(['id', 'extra'], [['2'], ['x']])\n(['id'], [['3']])\n";
  CHECK_EQ(joined(steps_all_chunks(doc, 0)), one_each);  // 0 behaves as 1
  CHECK_EQ(joined(steps_all_chunks(doc, 1)), one_each);

  // n records give ceil(n / batch_rows) batches, never an empty one.
  for (int n : {4, 5, 7, 14}) {
    std::string xml = "<r>";
    for (int i = 0; i < n; ++i) xml += "<rec><v>" + std::to_string(i) + "</v></rec>";
    xml += "</r>";
    for (std::uint64_t rows : {1, 2, 7, 1000})
      CHECK_EQ(steps_all_chunks(xml, rows).size(), (n + rows - 1) / rows);
  }
}

TEST(records_batches_event_rules) {
  const std::pair<const char*, const char*> cases[] = {
      // Nothing to deliver.
      {"", ""}, {"  \n ", ""}, {"just text", ""}, {"<r/>", ""}, {"<r></r>", ""},
      {"<r> text <!-- c --> <?pi x?> </r>", ""},
      // Empty records are rows without values.
      {"<r><a/><b/></r>", "([], [])\n"},
      {"<r><a/><rec><v>1</v></rec><b/></r>", "(['v'], [[None, '1', None]])\n"},
      // Attributes are never read; character data around records is ignored.
      {"<r>x<rec id=\"1\" t='a>b'><v>2</v></rec>y</r>", "(['v'], [['2']])\n"},
      // Several top-level elements, text and markup between them.
      {"<a><x>1</x></a> t <!--c--><b><y><w>2</w></y></b>", "(['w'], [[None, '2']])\n"},
      // The record element's own text is dropped; leaves may be empty elements.
      {"<r><rec>t<v/><w>  </w></rec></r>", "(['v', 'w'], [[None], [None]])\n"},
      // Text pieces join across comments, PIs and CDATA; CDATA is not resolved.
      {"<r><rec><v>a<![CDATA[&lt;]]>b</v></rec></r>", "(['v'], [['a&lt;b']])\n"},
      {"<r><rec><v>a&lt;b</v></rec></r>", "(['v'], [['a<b']])\n"},
      {"<r><rec><v> a<!--x-->b<?p?>&#x20;<![CDATA[ c ]]> </v></rec></r>", "(['v'], [['ab  c']])\n"},
      // Empty elements below the record are leaves at any depth.
      {"<r><rec><g><e/><f>1</f></g><e/></rec></r>", "(['e', 'f', 'rec_e'], [[None], ['1'], [None]])\n"},
      // Namespaced names keep their local part.
      {"<p:r xmlns:p=\"u\"><p:rec><q:v>1</q:v></p:rec></p:r>", "(['v'], [['1']])\n"},
      // Input ending inside elements: completed records are delivered.
      {"<r><rec><v>1</v></rec><rec><v>2</v>", "(['v'], [['1']])\n"},
      // Bad text outside records is never decoded.
      {"<r>&nbsp;\xFF<rec><v>1</v></rec>&bogus;</r>&#0;", "(['v'], [['1']])\n"},
  };
  for (const auto& [xml, want] : cases) CHECK_EQ(joined(steps_all_chunks(xml, 1000)), std::string(want));
}

TEST(records_batches_errors_then_continue) {
  // A bad reference inside a record fails the step; the record goes on
  // without that piece of text.
  CHECK_EQ(joined(steps_all_chunks("<r><rec><v>a&nbsp;b</v><w>c</w></rec><rec><v>2</v></rec></r>", 1000)),
           "error: unrecognized entity `nbsp`\n"
           "(['v', 'w'], [[None, '2'], ['c', None]])\n");
  // A branch's text is never a value, but it is still checked, before and
  // after its children.
  CHECK_EQ(joined(steps_all_chunks("<r><rec><g>x<v>1</v>&bad;<w>2</w></g></rec></r>", 1000)),
           "error: unrecognized entity `bad`\n(['v', 'w'], [['1'], ['2']])\n");
  // Rows pushed before the error are dropped, not repeated.
  CHECK_EQ(joined(steps_all_chunks("<r><rec><v>1</v></rec><rec><v>&#0;</v></rec><rec><v>3</v></rec></r>", 1000)),
           "error: invalid character reference `#0`\n(['v'], [[None, '3']])\n");
  // Undecodable text fails like a bad reference; the same bytes in CDATA too.
  std::vector<std::string> s = steps_all_chunks("<r><rec><v>\xFF</v><w><![CDATA[\xFE]]></w><x>1</x></rec></r>", 1000);
  CHECK_EQ(s.size(), 3u);
  if (s.size() == 3) {
    CHECK(s[0].rfind("error: ", 0) == 0);
    CHECK(s[1].rfind("error: ", 0) == 0);
    CHECK_EQ(s[2], "(['v', 'w', 'x'], [[None], [None], ['1']])");
  }
  // A syntax error ends the input: the complete first record is never delivered.
  s = steps_all_chunks("<r><rec><v>1</v></rec><rec><a", 1000);
  CHECK_EQ(s.size(), 1u);
  if (!s.empty()) CHECK(s[0].rfind("error: ", 0) == 0);
  // A wrong end tag leaves its element open in the record being built, so
  // later elements nest one level deeper.
  s = steps_all_chunks("<r><rec><a>1</b></rec><rec><v>2</v></rec></r>", 1000);
  CHECK_EQ(s.size(), 2u);
  if (s.size() == 2) {
    CHECK(s[0].rfind("error: ", 0) == 0);
    CHECK_EQ(s[1], "(['a', 'v'], [['1'], ['2']])");
  }
  // An end tag with no open element changes nothing.
  s = steps_all_chunks("<r><rec><v>1</v></rec></r></x><r><rec><v>2</v></rec></r>", 1);
  CHECK_EQ(s.size(), 3u);
  if (s.size() == 3) {
    CHECK_EQ(s[0], "(['v'], [['1']])");
    CHECK(s[1].rfind("error: ", 0) == 0);
    CHECK_EQ(s[2], "(['v'], [['2']])");
  }
}

// Text is checked the same whether it becomes a value or is dropped (the
// record element's own, a branch's), whatever the document's encoding.
TEST(records_batches_text_checks_wherever_text_lands) {
  const auto utf16le = [](std::string_view ascii, std::string_view tail_units) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out + std::string(tail_units);
  };
  const std::pair<std::string, std::string> cases[] = {
      {"<r><rec>\xFF<v>1</v></rec></r>", "error: invalid UTF-8 in text\n(['v'], [['1']])\n"},
      {"<r><rec><g><v>1</v>ab\xC3</g></rec></r>", "error: invalid UTF-8 in text\n(['v'], [['1']])\n"},
      {"<r><rec><v>1</v>x&#0;</rec></r>", "error: invalid character reference `#0`\n(['v'], [['1']])\n"},
      {"<r><rec><v>caf\xC3\xA9 &amp; 0123456789&lt;</v>\xC3\xA9 &#233;</rec></r>",
       "(['v'], [['caf\xC3\xA9 & 0123456789<']])\n"},
      {utf16le("<r><rec><v>1</v>", std::string("\x00\xD8", 2)) + utf16le("</rec></r>", "").substr(2),
       "error: malformed UTF-16LE text: unpaired surrogate or incomplete code unit\n(['v'], [['1']])\n"},
  };
  for (const auto& [xml, want] : cases) CHECK_EQ(joined(steps_all_chunks(xml, 1000)), want);
  // A reference anywhere in a piece, kept or dropped, across word boundaries.
  for (std::size_t i = 0; i <= 17; ++i) {
    const std::string pre(i, 'x'), post(17 - i, 'y');
    CHECK_EQ(joined(steps("<r><rec><v>" + pre + "&amp;" + post + "</v></rec></r>", 1000)),
             "(['v'], [['" + pre + "&" + post + "']])\n");
    CHECK_EQ(joined(steps("<r><rec>" + pre + "&bad;" + post + "<v>1</v></rec></r>", 1000)),
             "error: unrecognized entity `bad`\n(['v'], [['1']])\n");
  }
}

TEST(records_batches_declared_encoding) {
  // Text follows the declared encoding; names are always read as UTF-8.
  CHECK_EQ(joined(steps("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><rec><n\xE9>caf\xE9</n\xE9></rec></r>", 5)),
           "(['n\xEF\xBF\xBD'], [['caf\xC3\xA9']])\n");
}

TEST(records_batches_deep_and_large) {
  // 10^6 nested elements in one record, read from bytes.
  constexpr int kDepth = 1000000;
  std::string xml = "<r><rec>";
  xml.reserve(kDepth * 8 + 64);
  for (int i = 0; i < kDepth; ++i) xml += "<n>";
  xml += "deep";
  for (int i = 0; i < kDepth; ++i) xml += "</n>";
  xml += "</rec><rec><v>after</v></rec></r>";
  CHECK_EQ(joined(steps(xml, 1000)), "(['n', 'v'], [['deep', None], [None, 'after']])\n");

  // A large value, and records streamed through recycled nodes.
  std::string big(3 << 20, 'x');
  xml = "<r><rec><v>" + big + "</v></rec>";
  for (int i = 0; i < 3000; ++i) xml += "<rec><v>" + std::to_string(i) + "</v><w/></rec>";
  xml += "</r>";
  XmlBatchInner inner(Reader::from_bytes(xml), 1000, "p");
  XmlStreamError err;
  std::size_t batches = 0;
  while (inner.next_batch(err) == XmlBatchInner::Step::Batch) {
    Batch b = inner.take_batch();
    if (batches++ == 0) CHECK(b.column_values[0].value(0) == big);
    CHECK_EQ(b.columns.size(), 2u);
  }
  CHECK_EQ(batches, 4u);
}

TEST(records_count) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"", 0}, {"  ", 0}, {"text", 0}, {"<r/>", 0},
      {"<r><a/><b>x</b></r>", 2}, {"<r><a><b/><c/></a></r>", 1},
      {"<a><x/></a><b><y/><z/></b>", 3},
      {"<r><a>1</a><b>2</b><c>", 2},
      {"<r><rec>&nbsp;\xFF</rec></r>", 1},  // text is never decoded
      {"<?xml version='1.0'?><!DOCTYPE r [<!ENTITY e 'x'>]><r><a><![CDATA[<b/>]]></a><!--<c/>--></r>", 1},
  };
  for (const auto& [xml, want] : cases) {
    TempFile f(xml);
    for (std::size_t chunk : {std::size_t(1), std::size_t(3), Reader::kReadBufferSize}) {
      std::uint64_t n = 99;
      XmlStreamError err;
      CHECK(count_xml_records(f.path, n, err, nullptr, chunk));
      CHECK_EQ(n, want);
    }
    // Records counted are records delivered, whenever the text is sound.
    if (std::string_view(xml).find('&') == std::string_view::npos &&
        std::string_view(xml).find('\xFF') == std::string_view::npos)
      CHECK_EQ(total_rows(xml), want);
  }

  std::uint64_t n = 99;
  XmlStreamError err;
  CHECK(!count_xml_records("/nonexistent/qk.xml", n, err));
  CHECK(err.kind == XmlStreamError::Kind::Io);
  CHECK_EQ(n, 99u);
  TempFile bad("<r><a/></x>");
  CHECK(!count_xml_records(bad.path, n, err));
  CHECK(err.kind == XmlStreamError::Kind::Xml);
  CHECK_EQ(n, 99u);  // no partial count
}

// A record whose levels all repeat one name re-prefixes every key at every
// level: cubic work. Past the limit it is an error, quickly, the records
// around it are unaffected, and a merely deep one still flattens.
TEST(records_repeated_names_nested_deep) {
  const auto nested = [](std::size_t n) {
    std::string s = "<rec>";
    for (std::size_t i = 0; i < n; ++i) s += "<a><v>1</v>";
    for (std::size_t i = 0; i < n; ++i) s += "</a>";
    return s + "</rec>";
  };
  const std::string ok = "<r><x>1</x></r>";
  const std::vector<std::string> got = steps("<root>" + ok + nested(20000) + ok + "</root>", 1);
  CHECK_EQ(joined(got), "(['x'], [['1']])\n"
                        "error: record too deeply nested with repeated element names to flatten\n"
                        "(['x'], [['1']])\n");

  const std::vector<std::string> deep = steps("<root>" + nested(300) + "</root>", 1);
  CHECK_EQ(deep.size(), 1u);
  std::string longest = "'";
  for (int i = 0; i < 299; ++i) longest += "a_";
  CHECK(deep[0].find(longest + "v'") != std::string::npos);
  CHECK(deep[0].find(longest + "a_v'") == std::string::npos);
}

// Names chosen offline so that the plain FNV-1a hash puts them all in one
// probe run must spread out under the per-process seed.
TEST(records_key_hash_is_seeded) {
  constexpr std::uint64_t kBits = 12, kMask = (1u << kBits) - 1;
  const auto plain = [](std::string_view k) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (char c : k) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return h ^ (h >> 29);
  };
  std::vector<std::string> names;
  for (std::uint64_t i = 0; names.size() < 1000; ++i) {
    std::string k = "c" + std::to_string(i);
    if ((plain(k) & kMask) == 0) names.push_back(std::move(k));
  }
  std::vector<bool> used(kMask + 1);
  std::size_t buckets = 0;
  for (const std::string& k : names) {
    const std::size_t b = KeyIndex::hash(k) & kMask;
    if (!used[b]) ++buckets, used[b] = true;
  }
  // Random hashes put 1000 names into about 890 of 4096 buckets.
  CHECK(buckets > 700);
}
