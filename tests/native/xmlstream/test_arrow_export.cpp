// Batches handed over through the Arrow C data interface, checked buffer by
// buffer, and the batch source and stream built on them.
#include <cstring>
#include <memory>

#include "records_helpers.h"
#include "xmlstream/arrow_export.h"
#include "xmlstream/arrow_stream.h"

using namespace qk::xml;
using namespace qk::xml::testing;

namespace {

Batch first_batch(const std::string& xml, std::uint64_t rows) {
  XmlBatchInner inner(Reader::from_bytes(xml), rows, "doc.xml");
  XmlStreamError err;
  CHECK(inner.next_batch(err) == XmlBatchInner::Step::Batch);
  return inner.take_batch();
}

// An exported array read back through its buffers alone, in show_batch's shape.
std::string show_array(const ArrowArray& a, const ArrowSchema& s) {
  std::string out = std::to_string(a.length) + " rows ([";
  for (int64_t i = 0; i < s.n_children; ++i)
    out += (i ? ", '" : "'") + std::string(s.children[i]->name) + "'";
  out += "], [";
  for (int64_t i = 0; i < a.n_children; ++i) {
    const ArrowArray& c = *a.children[i];
    CHECK_EQ(c.length, a.length);
    const auto* bits = static_cast<const std::uint8_t*>(c.buffers[0]);
    const auto* offsets = static_cast<const int32_t*>(c.buffers[1]);
    const auto* data = static_cast<const char*>(c.buffers[2]);
    int64_t nulls = 0;
    out += i ? ", [" : "[";
    for (int64_t r = 0; r < c.length; ++r) {
      const bool valid = bits == nullptr || ((bits[r >> 3] >> (r & 7)) & 1);
      nulls += !valid;
      out += r ? ", " : "";
      out += valid ? "'" + std::string(data + offsets[r], data + offsets[r + 1]) + "'" : "None";
    }
    CHECK_EQ(nulls, c.null_count);
    out += "]";
  }
  return out + "])";
}

std::string show_arrow(const ArrowBatch& b) {
  ArrowSchema s;
  ArrowArray a;
  b.export_schema(&s);
  b.export_array(&a);
  std::string out = show_array(a, s);
  a.release(&a);
  s.release(&s);
  return out;
}

// Every step of a source until it finishes, then two more to see it stays so.
std::vector<std::string> source_steps(const std::string& xml, std::uint64_t rows, bool prefetch,
                                      std::optional<std::vector<std::string>> columns = {},
                                      bool discovery = false) {
  BatchSource src(Reader::from_bytes(xml, 5), {.batch_rows = rows,
                                                .path = "doc.xml",
                                                .columns = std::move(columns),
                                                .prefetch = prefetch,
                                                .discovery = discovery ? Reader::from_bytes(xml, 3) : nullptr});
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000; ++guard) {
    std::optional<ArrowBatch> b;
    XmlStreamError err;
    switch (src.next(b, err, nullptr)) {
      case BatchSource::Step::Finished:
        for (int i = 0; i < 2; ++i) CHECK(src.next(b, err, nullptr) == BatchSource::Step::Finished);
        if (discovery) CHECK(src.records().has_value());
        return out;
      case BatchSource::Step::Batch: out.push_back(show_arrow(*b)); break;
      case BatchSource::Step::Error: out.push_back("error: " + check::without_position(err.text)); break;
      case BatchSource::Step::Stray: out.push_back("stray: " + err.text); break;
    }
  }
  CHECK(!"source did not finish");
  return out;
}

const std::string kDoc =
    "<r><row><a>x</a><b>yz</b><c>1</c></row><row><b> </b><c>2</c></row>"
    "<row><a>\xC3\xA9</a><c>3</c></row></r>";

}  // namespace

TEST(arrow_export_buffers_by_hand) {
  ArrowBatch batch(first_batch(kDoc, 10));
  ArrowSchema s;
  batch.export_schema(&s);
  CHECK_EQ(std::string(s.format), "+s");
  CHECK_EQ(s.n_children, 3);
  const char* names[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    CHECK_EQ(std::string(s.children[i]->format), "u");
    CHECK_EQ(std::string(s.children[i]->name), names[i]);
    CHECK(s.children[i]->flags & ARROW_FLAG_NULLABLE);
    CHECK_EQ(s.children[i]->n_children, 0);
  }
  ArrowArray a, again;
  batch.export_array(&a);
  batch.export_array(&again);  // a batch exports any number of times
  CHECK_EQ(a.length, 3);
  CHECK_EQ(a.n_buffers, 1);
  CHECK_EQ(a.null_count, 0);
  CHECK_EQ(a.offset, 0);
  CHECK_EQ(a.n_children, 3);
  const ArrowArray& col_a = *a.children[0];
  CHECK_EQ(col_a.n_buffers, 3);
  CHECK_EQ(col_a.null_count, 1);
  CHECK_EQ(static_cast<const std::uint8_t*>(col_a.buffers[0])[0] & 7, 0b101);
  const auto* off = static_cast<const int32_t*>(col_a.buffers[1]);
  CHECK(off[0] == 0 && off[1] == 1 && off[2] == 1 && off[3] == 3);
  CHECK_EQ(std::memcmp(col_a.buffers[2], "x\xC3\xA9", 3), 0);
  CHECK(a.children[2]->null_count == 0 && a.children[2]->buffers[0] == nullptr);
  CHECK_EQ(show_array(a, s),
           "3 rows (['a', 'b', 'c'], [['x', None, '\xC3\xA9'], ['yz', None, None], ['1', '2', '3']])");

  // A child moved out lives on after its parent and the batch are gone.
  ArrowArray moved = *a.children[1];
  a.children[1]->release = nullptr;
  ArrowSchema moved_schema = *s.children[1];
  s.children[1]->release = nullptr;
  a.release(&a);
  s.release(&s);
  CHECK(a.release == nullptr && s.release == nullptr);
  again.release(&again);
  { ArrowBatch gone = std::move(batch); }
  CHECK_EQ(std::string(moved_schema.name), "b");
  CHECK_EQ(std::string(static_cast<const char*>(moved.buffers[2]), 2), "yz");
  moved.release(&moved);
  moved_schema.release(&moved_schema);
  CHECK(moved.release == nullptr && moved_schema.release == nullptr);
}

TEST(arrow_align_batch) {
  const std::string doc = "<r><row><b>1</b></row><row><a>2</a></row><row/></r>";
  Batch b = first_batch(doc, 10);
  std::string stray;
  CHECK(align_batch(b, ColumnSet({"a", "c", "b"}), stray));
  CHECK_EQ(show_batch(b), "(['a', 'c', 'b'], [[None, '2', None], [None, None, None], ['1', None, None]])");
  CHECK_EQ(b.column_values[1].nulls, 3u);
  CHECK_EQ(show_arrow(ArrowBatch(std::move(b))),
           "3 rows (['a', 'c', 'b'], [[None, '2', None], [None, None, None], ['1', None, None]])");
  Batch s = first_batch(doc, 10);
  CHECK(!align_batch(s, ColumnSet({"a"}), stray));
  CHECK_EQ(stray, "b");
  Batch empty = first_batch("<r><row/><row/></r>", 10);
  CHECK(align_batch(empty, ColumnSet({"x"}), stray));
  CHECK_EQ(show_arrow(ArrowBatch(std::move(empty))), "2 rows (['x'], [[None, None]])");
}

TEST(arrow_batch_source_prefetch_and_discovery) {
  const std::string doc =
      "<r><row/><row><a>1</a></row><row><b>2</b><a>3</a></row><row/><row><c>4</c></row></r>";
  const std::string bad = "<r><row><a>1</a></row><row><a>&bad;</a></row><row><b>2</b></row></r>";
  for (std::uint64_t rows : {1, 2, 3, 100}) {
    for (const std::string* xml : {&doc, &bad})
      CHECK_EQ(joined(source_steps(*xml, rows, true)), joined(source_steps(*xml, rows, false)));
    const std::vector<std::string> all = {"a", "b", "c"};
    const std::string fixed = joined(source_steps(doc, rows, false, all));
    CHECK_EQ(joined(source_steps(doc, rows, true, std::nullopt, true)), fixed);
    CHECK_EQ(joined(source_steps(doc, rows, false, std::nullopt, true)), fixed);
  }
  // The failing step drops its batch; reading goes on after the bad record.
  CHECK_EQ(joined(source_steps(bad, 2, true)),
           "error: unrecognized entity `bad`\n2 rows (['a', 'b'], [[None, None], [None, '2']])\n");
  CHECK_EQ(joined(source_steps(doc, 100, true, std::vector<std::string>{"a"})), "stray: b\n");
}

TEST(arrow_export_stream) {
  const std::string doc = "<r><row><a>1</a></row><row><b>2</b></row><row><a>3</a></row></r>";
  auto source = std::make_shared<BatchSource>(
      Reader::from_bytes(doc),
      BatchSourceOptions{.batch_rows = 2, .path = "doc.xml", .prefetch = true, .discovery = Reader::from_bytes(doc)});
  ArrowArrayStream st;
  export_stream(source, &st);
  source.reset();  // the stream keeps the source
  ArrowSchema s;
  CHECK_EQ(st.get_schema(&st, &s), 0);
  CHECK_EQ(s.n_children, 2);
  std::string got;
  for (int guard = 0; guard < 10; ++guard) {
    ArrowArray a;
    CHECK_EQ(st.get_next(&st, &a), 0);
    if (a.release == nullptr) break;
    got += show_array(a, s) + "\n";
    a.release(&a);
  }
  CHECK_EQ(got, "2 rows (['a', 'b'], [['1', None], [None, '2']])\n1 rows (['a', 'b'], [['3'], [None]])\n");
  ArrowArray after;
  CHECK(st.get_next(&st, &after) == 0 && after.release == nullptr);
  CHECK(st.get_last_error(&st) == nullptr);
  s.release(&s);
  st.release(&st);
  CHECK(st.release == nullptr);

  const std::string bad = "<r><row><a>1</a></row><row><a>2</b></row></r>";
  const std::string prefix = "failed to parse XML file 'doc.xml': ";
  // Discovery fails first: the schema says so.
  export_stream(std::make_shared<BatchSource>(Reader::from_bytes(bad),
                                              BatchSourceOptions{.batch_rows = 1, .path = "doc.xml", .prefetch = true,
                                                                 .discovery = Reader::from_bytes(bad)}),
                &st);
  CHECK(st.get_schema(&st, &s) != 0);
  CHECK_EQ(std::string(st.get_last_error(&st)).rfind(prefix, 0), 0u);
  st.release(&st);
  // Fixed columns: the first batch arrives, the failing step reports.
  export_stream(std::make_shared<BatchSource>(
                    Reader::from_bytes(bad),
                    BatchSourceOptions{.batch_rows = 1, .path = "doc.xml", .columns = std::vector<std::string>{"a"}}),
                &st);
  ArrowArray a;
  CHECK(st.get_next(&st, &a) == 0 && a.release != nullptr);
  a.release(&a);
  CHECK(st.get_next(&st, &a) != 0);
  CHECK_EQ(std::string(st.get_last_error(&st)).rfind(prefix, 0), 0u);
  st.release(&st);
}
