// Flattening records into keys and values.
#include "records_helpers.h"

using namespace qk::xml;
using namespace qk::xml::testing;

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

// ---- What flattening loses -------------------------------------------------------

namespace {
// (values lost, records with loss) after reading `xml` whole, in batches
// of `rows`, with or without the flat fast path and attributes.
std::pair<std::uint64_t, std::uint64_t> loss(const std::string& xml, bool fast, bool attributes = false,
                                             std::uint64_t rows = 2) {
  XmlBatchInner inner(Reader::from_bytes(xml, 3), rows, "doc.xml");
  inner.set_flat_fast_path(fast);
  inner.set_attributes(attributes);
  XmlStreamError err;
  XmlBatchInner::Step s;
  while ((s = inner.next_batch(err)) != XmlBatchInner::Step::Finished)
    if (s == XmlBatchInner::Step::Batch) inner.take_batch();
  return {inner.values_lost(), inner.records_with_loss()};
}
}  // namespace

TEST(records_loss_counts_with_and_without_the_fast_path) {
  struct Case {
    const char* xml;
    bool attributes;
    std::uint64_t values, records;
  };
  const Case cases[] = {
      {"<r><a><x>1</x><y>2</y></a><a><x>3</x></a></r>", false, 0, 0},
      // The third x replaces the second under a_x.
      {"<r><a><x>1</x><x>2</x><x>3</x></a></r>", false, 1, 1},
      // Replacing a null, or by a null: only a non-null value is lost.
      {"<r><a><x/><x>2</x><x/></a><a><x>1</x><x/><x>3</x></a></r>", false, 1, 1},
      // The record element's text, split by a comment, counts once.
      {"<r><a>t<!-- c -->u<x>1</x>v</a><a> \n <x>1</x> </a><a>only</a></r>", false, 2, 2},
      // A branch's text before and after its children counts once.
      {"<r><a><b>t<c>1</c>u</b><d>2</d></a></r>", false, 1, 1},
      // A flat record after nested ones goes straight to the builder.
      {"<r><a><b><c>1</c></b></a><a>t<x>1</x></a><a>t<x>1</x></a></r>", false, 2, 2},
      // A reference that resolves to white space is blank.
      {"<r><a>&#32;<x>1</x>&#x9;</a></r>", false, 0, 0},
      // Attributes: a leaf's own text is kept; beside a child it is lost.
      {"<r><a k=\"1\">t</a><a k=\"1\">t<c>1</c></a><a><b k=\"1\">t<c>1</c>u</b></a></r>", true, 2, 2},
      // Attribute leaves collide as elements do.
      {"<r><a x=\"1\"><x>2</x><x>3</x></a><a p:x=\"1\" q:x=\"2\" xmlns:p=\"u\" xmlns:q=\"v\"/></r>", true, 1, 1},
  };
  for (const Case& c : cases)
    for (const bool fast : {true, false}) {
      const auto got = loss(c.xml, fast, c.attributes);
      CHECK_EQ(got.first, c.values);
      CHECK_EQ(got.second, c.records);
    }
}

TEST(records_loss_of_a_failed_step_is_not_counted) {
  // In batches of two, the second step fails on the bad reference of its
  // second record and its rows are dropped: the loss of its first record
  // goes with them. In batches of one, that record is delivered.
  const std::string xml =
      "<r><a><x>1</x><x>2</x><x>3</x></a><a>t<x>1</x></a><a>u<x>1</x></a><a><x>&bad;</x></a><a><x>1</x></a></r>";
  for (const bool fast : {true, false}) {
    CHECK(loss(xml, fast, false, 2) == std::make_pair(std::uint64_t{2}, std::uint64_t{2}));
    CHECK(loss(xml, fast, false, 1) == std::make_pair(std::uint64_t{3}, std::uint64_t{3}));
  }
}
