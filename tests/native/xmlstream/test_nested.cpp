// Nested reading: shapes found, merged and serialised, and the builder's
// Arrow arrays, checked through the C data interface.
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/batch.h"
#include "xmlstream/nested.h"
#include "xmlstream/reader.h"

namespace qk::xml {
namespace {

Shape shape_of(const std::string& doc, bool attributes = false, bool types = false, std::size_t chunk = 0) {
  Shape shape;
  std::uint64_t records = 0;
  XmlStreamError err;
  ReadOptions read;
  read.attributes = attributes;
  NestedOptions options;
  options.types = types;
  auto reader = chunk ? Reader::from_bytes(doc, chunk) : Reader::from_bytes(doc);
  CHECK(discover_shapes(std::move(reader), "doc", read, options, shape, records, nullptr, err));
  return shape;
}

// Rows, and the batch exported, for a document read with its own shape.
struct Built {
  Shape shape;
  NestedBatch batch;
};

Built build(const std::string& doc, std::uint64_t batch_rows = 1000) {
  Built out{shape_of(doc), {}};
  NestedBuilder builder(out.shape, {});
  XmlBatchInner inner(Reader::from_bytes(doc), batch_rows, "doc");
  inner.set_nested(&builder);
  XmlStreamError err;
  CHECK(inner.next_batch(err) == XmlBatchInner::Step::Batch);
  std::string why;
  CHECK(builder.take(out.batch, why));
  return out;
}

std::string large_string(const ArrowArray& a, std::int64_t i) {
  if (a.null_count && !((static_cast<const std::uint8_t*>(a.buffers[0])[i >> 3] >> (i & 7)) & 1)) return "<null>";
  const auto* offsets = static_cast<const std::int64_t*>(a.buffers[1]);
  return std::string(static_cast<const char*>(a.buffers[2]) + offsets[i], offsets[i + 1] - offsets[i]);
}

}  // namespace

TEST(nested_shapes_mark_repeats_structs_and_text) {
  const Shape s = shape_of("<r><x><a>1</a><a>2</a><b><c>t</c>u</b></x><x><d/></x></r>");
  CHECK_EQ(s.fields.size(), 3u);
  CHECK(s.fields[0].repeated && !s.fields[0].is_struct());
  CHECK(!s.fields[1].repeated && s.fields[1].is_struct() && s.fields[1].text);
  CHECK(!s.fields[2].text);
}

// The reader's tag walk takes a record's insides where the window holds
// them; read a byte at a time nothing is walked. Text is noted wherever it
// lies: in a leaf, beside children, after a comment, in CDATA, as a
// reference, or only as white space (which is no text).
TEST(nested_shapes_same_walked_or_not) {
  const std::string docs[] = {
      "<r><x><a>1</a><a> </a><b><c>t</c> \n </b><b>u<c/></b></x><x><d/><e><!--c-->v</e></x></r>",
      "<r><x><a><![CDATA[ ]]></a><b>&#32;</b><c>&amp;</c><d><e/>\t</d><d><?p?>w</d></x></r>",
      "<r><x>own<a>1</a></x><x><a>2</a><a><b>3</b></a></x><x>  <g><h>deep<i/></h></g></x></r>",
  };
  for (const std::string& doc : docs)
    for (bool types : {false, true}) {
      const std::string whole = shape_of(doc, false, types).serialize();
      for (std::size_t chunk : {1, 3, 17}) CHECK_EQ(shape_of(doc, false, types, chunk).serialize(), whole);
    }
}

TEST(nested_shapes_merge_in_order_and_round_trip) {
  Shape a = shape_of("<r><x><a>1</a></x></r>", false, true);
  const Shape b = shape_of("<r><x><b>2</b><a>x</a><a>y</a></x></r>", false, true);
  a.merge(b);
  const Shape whole = shape_of("<r><x><a>1</a></x><x><b>2</b><a>x</a><a>y</a></x></r>", false, true);
  CHECK_EQ(a.serialize(), whole.serialize());
  CHECK(a.fields[0].repeated);
  CHECK(a.fields[0].type.decide() == ValueType::String);
  CHECK(a.fields[1].type.decide() == ValueType::Int64);
  Shape back;
  CHECK(Shape::parse(a.serialize(), back));
  CHECK_EQ(back.serialize(), a.serialize());
  std::string cut = a.serialize();
  cut.pop_back();
  CHECK(!Shape::parse(cut, back));
}

TEST(nested_builder_appends_lists_structs_and_nulls) {
  const Built b = build("<r><x><a>1</a><a>2</a><s><c>t</c></s></x><x><s>only</s></x><x/></r>");
  CHECK_EQ(b.batch.rows(), 3u);
  CHECK(b.batch.names() == std::vector<std::string>({"a", "s"}));
  ArrowArray rec;
  b.batch.export_array(&rec);
  CHECK_EQ(rec.n_children, 2);
  const ArrowArray& list = *rec.children[0];
  const auto* offsets = static_cast<const std::int64_t*>(list.buffers[1]);
  CHECK_EQ(offsets[0], 0);
  CHECK_EQ(offsets[1], 2);
  CHECK_EQ(offsets[2], 2);  // present without items: empty
  CHECK_EQ(offsets[3], 2);
  CHECK_EQ(large_string(*list.children[0], 1), "2");
  const ArrowArray& s = *rec.children[1];
  CHECK_EQ(s.null_count, 1);  // the third record has no <s>
  CHECK_EQ(large_string(*s.children[0], 0), "t");
  CHECK_EQ(large_string(*s.children[1], 1), "only");  // #text
  CHECK_EQ(large_string(*s.children[1], 2), "<null>");
  rec.release(&rec);
}

TEST(nested_builder_refuses_what_its_shape_lacks) {
  const Shape shape = shape_of("<r><x><a>1</a></x></r>");
  for (const char* doc : {"<r><x><z/></x></r>", "<r><x><a>1</a><a>2</a></x></r>", "<r><x>t</x></r>"}) {
    NestedBuilder builder(shape, {});
    XmlBatchInner inner(Reader::from_bytes(doc), 1000, "doc");
    inner.set_nested(&builder);
    XmlStreamError err;
    CHECK(inner.next_batch(err) == XmlBatchInner::Step::Error);
    CHECK(err.text.find("did the file change") != std::string::npos);
  }
}

}  // namespace qk::xml
