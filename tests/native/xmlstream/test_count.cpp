// Counting records without building them.
#include "records_helpers.h"

using namespace qk::xml;
using namespace qk::xml::testing;

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
