// Typed columns in the core: the buffers a typed batch exports, the verdict
// merged across batches, and discovery with types beside a batch source.
#include <cstring>

#include "records_helpers.h"
#include "xmlstream/arrow_export.h"
#include "xmlstream/arrow_stream.h"
#include "xmlstream/discover.h"
#include "xmlstream/types.h"

using namespace qk::xml;

namespace {

Column column_of(std::initializer_list<const char*> values) {
  Column c;
  for (const char* v : values) v ? c.push(v) : c.push_null();
  return c;
}

Batch batch_of(std::vector<std::string> names, std::vector<Column> cols) {
  Batch b;
  b.rows = cols.empty() ? 0 : cols[0].rows();
  b.columns = std::move(names);
  b.column_values = std::move(cols);
  return b;
}

}  // namespace

TEST(types_typed_batch_exports_fixed_width_buffers) {
  Batch b = batch_of({"i", "b", "d", "s"},
                     {column_of({"5", nullptr, "-7"}), column_of({"true", "false", nullptr}),
                      column_of({"1970-01-02", "1969-12-31", nullptr}), column_of({"x", nullptr, "y"})});
  std::optional<ArrowBatch> out;
  std::string err;
  CHECK(ArrowBatch::typed(std::move(b),
                          {ValueType::Int64, ValueType::Bool, ValueType::Date32, ValueType::String}, out,
                          err));
  ArrowSchema s;
  ArrowArray a;
  out->export_schema(&s);
  out->export_array(&a);
  CHECK_EQ(std::string(s.children[0]->format), "l");
  CHECK_EQ(std::string(s.children[1]->format), "b");
  CHECK_EQ(std::string(s.children[2]->format), "tdD");
  CHECK_EQ(std::string(s.children[3]->format), "u");
  const ArrowArray& i = *a.children[0];
  CHECK_EQ(i.n_buffers, 2);
  CHECK_EQ(i.null_count, 1);
  CHECK_EQ(static_cast<const std::int64_t*>(i.buffers[1])[0], 5);
  CHECK_EQ(static_cast<const std::int64_t*>(i.buffers[1])[2], -7);
  CHECK_EQ(static_cast<const std::uint8_t*>(i.buffers[0])[0] & 7, 5);  // rows 0 and 2 valid
  CHECK_EQ(static_cast<const std::uint8_t*>(a.children[1]->buffers[1])[0] & 7, 1);  // bit-packed
  const auto* days = static_cast<const std::int32_t*>(a.children[2]->buffers[1]);
  CHECK_EQ(days[0], 1);
  CHECK_EQ(days[1], -1);
  CHECK_EQ(a.children[3]->n_buffers, 3);
  a.release(&a);
  s.release(&s);
}

TEST(types_a_value_of_another_type_fails_the_batch) {
  std::optional<ArrowBatch> out;
  std::string err;
  CHECK(!ArrowBatch::typed(batch_of({"v"}, {column_of({"1", "1.5"})}), {ValueType::Int64}, out, err));
  CHECK(!out.has_value());
  CHECK(err.find("'1.5' of column 'v'") != std::string::npos);
}

TEST(types_tally_merges_by_name_in_order_of_first_appearance) {
  TypeTally tally;
  tally.add(batch_of({"a", "b"}, {column_of({"1"}), column_of({nullptr})}));
  tally.add(batch_of({"c", "a"}, {column_of({"true"}), column_of({"2.5"})}));
  tally.add(batch_of({"b"}, {column_of({"2024-01-01T00:00Z"})}));
  CHECK(tally.names() == (std::vector<std::string>{"a", "b", "c"}));
  CHECK(tally.decide() == (std::vector<ValueType>{ValueType::Float64, ValueType::TimestampUtc, ValueType::Bool}));
  CHECK(tally.decide({"zz", "c"}) == (std::vector<ValueType>{ValueType::String, ValueType::Bool}));
}

TEST(types_source_converts_every_batch_to_the_whole_files_types) {
  // `n` is an integer until the last record, which only discovery has seen
  // when the first batch is built.
  const std::string xml = "<r><x><n>1</n></x><x><n>2</n><f>0.5</f></x><x><n>z</n></x></r>";
  BatchSource src(Reader::from_bytes(xml, 4), {.batch_rows = 1, .path = "doc.xml", .prefetch = true,
                                                .discovery = Reader::from_bytes(xml, 3), .types = true});
  std::vector<std::string> formats;
  for (int guard = 0; guard < 10; ++guard) {
    std::optional<ArrowBatch> b;
    XmlStreamError err;
    const BatchSource::Step step = src.next(b, err, nullptr);
    if (step == BatchSource::Step::Finished) break;
    CHECK(step == BatchSource::Step::Batch);
    ArrowSchema s;
    b->export_schema(&s);
    std::string f;
    for (int64_t i = 0; i < s.n_children; ++i) f += std::string(s.children[i]->format) + " ";
    formats.push_back(f);
    s.release(&s);
  }
  CHECK(formats == (std::vector<std::string>(3, "u g ")));
  CHECK_EQ(src.records().value_or(0), 3u);
}
