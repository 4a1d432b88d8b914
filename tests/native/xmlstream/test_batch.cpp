// The batch accumulator and the event loop that fills it.
#include "records_helpers.h"

using namespace qk::xml;
using namespace qk::xml::testing;

// ---- Batch accumulator ----------------------------------------------------------


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
      // A record longer than a small read, values kept where they lie
      // beside values resolved, a comment between: each value whole.
      {"<r><rec><a>a first value of some length</a><b>x&amp;y</b><!--c--><c>one more past a read's end</c>"
       "<d>4</d></rec><rec><d>5</d></rec></r>",
       "(['a', 'b', 'c', 'd'], [['a first value of some length', None], ['x&y', None], "
       "['one more past a read's end', None], ['4', '5']])\n"},
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

// Values are copied by length class (none, a few bytes, words, longer) into
// a buffer that grows as it goes: every length, at every alignment.
TEST(column_values_of_every_length) {
  Column c;
  std::vector<std::string> want;
  for (std::size_t n = 0; n <= 70; ++n) {
    std::string v;
    for (std::size_t i = 0; i < n; ++i) v += static_cast<char>('a' + (n * 7 + i) % 26);
    c.push(v);
    want.push_back(v);
    if (n % 5 == 0) {
      c.push_null();
      want.push_back("<null>");
    }
  }
  const Column copy = c;
  for (const Column* col : {static_cast<const Column*>(&c), &copy}) {
    CHECK_EQ(col->rows(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r)
      CHECK_EQ(col->is_null(r) ? std::string("<null>") : std::string(col->value(r)), want[r]);
  }
}

// A batch whose column outgrew 32-bit offsets goes to Arrow in pieces that
// fit, every row once and in order, nulls where they were. (Here the limit
// is a few bytes, and the columns are made wide by hand.)
TEST(column_wide_batch_cut_into_pieces_that_fit) {
  Batch batch{{"a", "b"}, {}, 7};
  Column a, b;
  const char* values[] = {"xx", "y", nullptr, "zzzz", "", "q", "rrr"};
  for (const char* v : values) {
    if (v) a.push(v);
    else a.push_null();
    b.push("b");
  }
  a.widen();
  batch.column_values = {a, b};
  std::vector<Batch> out;
  std::string err;
  CHECK(cut_wide(Batch(batch), out, err, 4));
  std::vector<std::string> rows_of_pieces, got;
  for (const Batch& p : out) {
    rows_of_pieces.push_back(std::to_string(p.rows));
    CHECK(!p.column_values[0].is_wide() && p.columns == batch.columns);
    for (std::size_t r = 0; r < p.rows; ++r) {
      const Column& c = p.column_values[0];
      got.push_back(c.is_null(r) ? "<null>" : std::string(c.value(r)));
      CHECK_EQ(std::string(p.column_values[1].value(r)), std::string("b"));
    }
  }
  // xx, y, null: 3 bytes (zzzz would make 7); zzzz, "": 4; q, rrr: 4.
  CHECK_EQ(joined(rows_of_pieces), std::string("3\n2\n2\n"));
  CHECK_EQ(joined(got), std::string("xx\ny\n<null>\nzzzz\n\nq\nrrr\n"));
  CHECK_EQ(out[0].column_values[0].nulls, 1u);
  // A batch without a wide column is handed on whole.
  out.clear();
  Batch narrow{{"b"}, {b}, 7};
  CHECK(cut_wide(std::move(narrow), out, err, 4) && out.size() == 1 && out[0].rows == 7);
  // No piece can hold a value longer than the limit.
  out.clear();
  CHECK(!cut_wide(Batch(batch), out, err, 3));
  CHECK_EQ(err, std::string("a value of column 'a' is 4 bytes long, more than an Arrow string holds (3 bytes)"));
}
