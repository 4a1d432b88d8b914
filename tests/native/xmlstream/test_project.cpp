// Projection: only the listed columns are built, and each holds exactly what
// it holds without projection. The unprojected loop is the oracle.
#include <memory>
#include <optional>

#include "records_helpers.h"
#include "xmlstream/arrow_stream.h"
#include "xmlstream/batch.h"
#include "xmlstream/discover.h"

using namespace qk::xml;
using namespace qk::xml::testing;

namespace {

// Every step as text: a batch's rows over `listed` (a column the batch lacks
// is null there), or the error. Projected, a batch must have exactly the
// listed columns, in order, and nothing else.
std::string steps_over(const std::string& xml, std::uint64_t rows, bool attributes,
                       const std::vector<std::string>& listed, bool project) {
  XmlBatchInner inner(Reader::from_bytes(xml, 7), rows, "doc.xml");
  ReadOptions options;
  options.attributes = attributes;
  if (project) options.project = listed;
  inner.set_options(options);
  std::string out;
  for (int guard = 0; guard < 1000; ++guard) {
    XmlStreamError err;
    const XmlBatchInner::Step step = inner.next_batch(err);
    if (step == XmlBatchInner::Step::Finished) return out;
    if (step == XmlBatchInner::Step::Error) {
      out += "error: " + check::without_position(err.text) + "\n";
      continue;
    }
    const Batch b = inner.take_batch();
    if (project) CHECK(b.columns == ColumnSet(listed).names());
    for (std::size_t r = 0; r < b.rows; ++r) {
      out += "[";
      for (const std::string& name : listed) {
        const auto at = std::find(b.columns.begin(), b.columns.end(), name);
        const Column* c = at == b.columns.end() ? nullptr : &b.column_values[at - b.columns.begin()];
        out += c == nullptr || c->is_null(r) ? "None" : "'" + std::string(c->value(r)) + "'";
        out += ",";
      }
      out += "]";
    }
    out += "|\n";
  }
  CHECK(!"did not finish");
  return out;
}

struct Case {
  const char* what;
  bool attributes;
  std::vector<std::string> listed;
  std::string xml;
};

const Case kCases[] = {
    {"flat records, keys in any order", false, {"c", "a"},
     "<r><row><a>1</a><b>x</b><c>2</c></row><row><c>3</c><a>4</a></row>"
     "<row><b>only b</b></row><row/><row><a> 5 </a><b/><c>6</c></row></r>"},
    {"a listed column first seen late, one never seen", false, {"z", "a", "never"},
     "<r><row><a>1</a><b>2</b></row><row><a>3</a></row><row><a>4</a><b>5</b></row>"
     "<row><b>6</b><z>7</z><a>8</a></row><row><z>9</z></row></r>"},
    {"nested and repeated names take the general way", false, {"a", "g_a", "b"},
     "<r><row><a>1</a><g><a>2</a><x>3</x></g><b>4</b></row><row><a>5</a><a>6</a><q>7</q></row>"
     "<row><b>8</b><g><a>9</a></g></row><row><a>10</a><b>11</b></row></r>"},
    {"attributes and an element's own text", true, {"id", "v", "row"},
     "<r><row id='1' k='x'/><row k='y' id='2'/><row id='3'><v>4</v><w>5</w></row>"
     "<row k='&amp;z'>own</row><row id='&#54;'/><row xmlns:p='u' p:id='7' p:k='8'/></r>"},
    {"an error in an unlisted column is still reported", false, {"a"},
     "<r><row><a>1</a><b>2</b></row><row><a>3</a><b>&bogus;</b></row><row><a>4</a></row></r>"},
    {"a duplicate in the list counts once", false, {"a", "b", "a"},
     "<r><row><b>1</b><a>2</a></row><row><c>3</c></row></r>"},
};

}  // namespace

TEST(project_keeps_listed_values_at_every_batch_size) {
  for (const Case& c : kCases) {
    for (std::uint64_t rows = 1; rows <= 7; ++rows) {
      const std::string plain = steps_over(c.xml, rows, c.attributes, c.listed, false);
      const std::string projected = steps_over(c.xml, rows, c.attributes, c.listed, true);
      if (plain != projected)
        check::fail(__FILE__, __LINE__, std::string(c.what) + ", rows " + std::to_string(rows) + ":\n" +
                                            plain + "vs\n" + projected);
    }
  }
}

TEST(project_builds_no_value_of_an_unlisted_column) {
  // Only the listed column's bytes are kept: the unlisted values are long.
  const std::string big(1000, 'x');
  std::string xml = "<r>";
  for (int i = 0; i < 50; ++i) xml += "<row><a>" + std::to_string(i) + "</a><b>" + big + "</b></row>";
  xml += "</r>";
  XmlBatchInner inner(Reader::from_bytes(xml), 1000, "doc.xml");
  ReadOptions options;
  options.project = std::vector<std::string>{"a"};
  inner.set_options(options);
  XmlStreamError err;
  CHECK(inner.next_batch(err) == XmlBatchInner::Step::Batch);
  const Batch b = inner.take_batch();
  CHECK_EQ(b.rows, 50u);
  CHECK_EQ(b.column_values.size(), 1u);
  CHECK_EQ(b.column_values[0].bytes.size(), 90u);  // "0".."49"
}

TEST(project_in_discovery_and_the_batch_source) {
  const std::string xml =
      "<r><row><a>1</a><b>x</b></row><row><a>2</a><c>y</c></row><row><b>z</b><a>3</a></row></r>";
  // Discovery, names only or typed, reports the listed columns alone.
  ReadOptions options;
  options.project = std::vector<std::string>{"a", "c"};
  XmlBatchInner names(Reader::from_bytes(xml), 0, "doc.xml");
  names.set_options(options);
  Discovery found;
  XmlStreamError err;
  CHECK(discover_columns(names, found, err));
  CHECK(found.columns == (std::vector<std::string>{"a", "c"}));
  CHECK_EQ(found.records, 3u);
  CHECK(discover_types(Reader::from_bytes(xml), "doc.xml", found, err, nullptr, options));
  CHECK(found.columns == (std::vector<std::string>{"a", "c"}));
  CHECK(found.types == (std::vector<ValueType>{ValueType::Int64, ValueType::String}));

  // The source: without projection an unlisted column is stray; with it the
  // batches simply lack it, typed or not, prefetched or not.
  for (const bool project : {false, true}) {
    for (const bool types : {false, true}) {
      for (const bool prefetch : {false, true}) {
        BatchSource src(Reader::from_bytes(xml),
                        BatchSourceOptions{.batch_rows = 2,
                                           .path = "doc.xml",
                                           .columns = std::vector<std::string>{"a"},
                                           .prefetch = prefetch,
                                           .discovery = types ? Reader::from_bytes(xml) : nullptr,
                                           .types = types,
                                           .project = project});
        std::string got;
        for (int guard = 0; guard < 10; ++guard) {
          std::optional<ArrowBatch> b;
          const BatchSource::Step step = src.next(b, err, nullptr);
          if (step == BatchSource::Step::Finished) break;
          if (step == BatchSource::Step::Stray) {
            got += "stray " + err.text + ";";
            break;
          }
          CHECK(step == BatchSource::Step::Batch);
          if (step != BatchSource::Step::Batch) break;
          ArrowSchema s;
          b->export_schema(&s);
          got += std::to_string(b->rows()) + " rows of " + std::to_string(s.n_children) + " " +
                 s.children[0]->format + ";";
          s.release(&s);
        }
        const std::string format = types ? "l" : "u";
        CHECK_EQ(got, project ? "2 rows of 1 " + format + ";1 rows of 1 " + format + ";" : "stray b;");
      }
    }
  }
}
