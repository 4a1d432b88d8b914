// Entities beyond the predefined five: a document's internal subset, HTML
// names, given names and DTD text, their limits, and split reading with them.
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "records_helpers.h"
#include "xmlstream/batch.h"
#include "xmlstream/discover.h"
#include "xmlstream/entities.h"
#include "xmlstream/split.h"

using namespace qk::xml;

namespace {

std::shared_ptr<const Entities> declared(bool html = false) {
  auto e = std::make_shared<Entities>();
  e->set_read_subset(true);
  e->set_html(html);
  return e;
}

// Every step, one row a batch; errors without their position.
std::string read_all(std::unique_ptr<Reader> reader, const ReadOptions& options) {
  XmlBatchInner inner(std::move(reader), 1, "doc");
  inner.set_options(options);
  std::string out;
  for (int guard = 0; guard < 10000; ++guard) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Batch:
        out += testing::show_batch(inner.take_batch()) + "\n";
        break;
      case XmlBatchInner::Step::Error:
        // The hint comes after the position: shown as a mark.
        if (err.text.ends_with(Entities::kHint)) {
          err.text.resize(err.text.size() - Entities::kHint.size());
          out += "error: " + check::without_position(err.text) + " +hint\n";
        } else {
          out += "error: " + check::without_position(err.text) + "\n";
        }
        if (err.kind == XmlStreamError::Kind::Io) return out;
        break;
      case XmlBatchInner::Step::Finished:
        return out;
    }
  }
  return out + "RAN ON\n";
}

std::string read_doc(const std::string& doc, std::shared_ptr<const Entities> entities, bool attributes = false,
                     std::size_t chunk = Reader::kReadBufferSize) {
  return read_all(Reader::from_bytes(doc, chunk), ReadOptions{.attributes = attributes, .entities = entities});
}

const std::string kSubset =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE r SYSTEM \"never-read.dtd\" [\n"
    "  <!-- <!ENTITY hidden \"no\"> -->\n"
    "  <!ELEMENT r ANY>\n"
    "  <!ATTLIST rec a CDATA \"x>y\">\n"
    "  <!ENTITY co \"Acme &amp; Sons\">\n"
    "  <!ENTITY who 'M&#xFC;ller of &co;'>\n"
    "  <!ENTITY co \"ignored: the first declaration holds\">\n"
    "  <!ENTITY % param \"<!ENTITY p 'not declared'>\">\n"
    "  <!ENTITY ext SYSTEM \"file:///etc/passwd\">\n"
    "  <!ENTITY pub PUBLIC \"-//X//EN\" \"x.ent\">\n"
    "  <!ENTITY tag \"<b>bold</b>\">\n"
    "  <!ENTITY self \"&self;\">\n"
    "  <!ENTITY lost \"&nowhere;\">\n"
    "]>\n";

}  // namespace

TEST(entities_of_the_internal_subset_in_text_and_attributes) {
  const std::string kNull = "(['v'], [[None]])\n";
  const std::pair<std::string, std::string> cases[] = {
      {"<r><rec a=\"&co;!\"><v>&co;</v></rec></r>", "(['a', 'v'], [['Acme & Sons!'], ['Acme & Sons']])\n"},
      {"<r><rec><v>by &who;, &lt;&#65;&gt;</v></rec></r>",
       "(['v'], [['by M\xC3\xBCller of Acme & Sons, <A>']])\n"},
      // Each failed value leaves its record with a null there.
      {"<r><rec><v>&ext;</v></rec></r>",
       "error: entity `ext` is external (SYSTEM or PUBLIC), and external entities are never read\n" + kNull},
      {"<r><rec><v>&pub;</v></rec></r>",
       "error: entity `pub` is external (SYSTEM or PUBLIC), and external entities are never read\n" + kNull},
      {"<r><rec><v>&tag;</v></rec></r>",
       "error: entity `tag` holds markup (`<`), which is read only as text\n" + kNull},
      {"<r><rec><v>&self;</v></rec></r>", "error: entity references nested more than 16 deep, at `self`\n" + kNull},
      {"<r><rec><v>&lost;</v></rec></r>", "error: unrecognized entity `nowhere` in entity `lost` +hint\n" + kNull},
      {"<r><rec><v>&param;&p;</v></rec></r>", "error: unrecognized entity `param` +hint\n" + kNull},
      {"<r><rec><v>&hidden;</v></rec></r>", "error: unrecognized entity `hidden` +hint\n" + kNull},
  };
  for (const auto& [body, want] : cases)
    for (std::size_t chunk : {1, 7, 8192}) CHECK_EQ(read_doc(kSubset + body, declared(), true, chunk), want);
}

TEST(entities_stay_errors_where_none_are_set) {
  // The kernels module reads so: the DOCTYPE is skipped unread.
  CHECK_EQ(read_doc(kSubset + "<r><rec><v>&co;</v></rec></r>", nullptr),
           "error: unrecognized entity `co`\n(['v'], [[None]])\n");
  CHECK_EQ(read_doc("<r><rec><v>&eacute;</v></rec></r>", declared()),
           "error: unrecognized entity `eacute` +hint\n(['v'], [[None]])\n");
}

TEST(entities_html_given_and_from_dtd_text) {
  auto e = std::make_shared<Entities>();
  e->set_html(true);
  e->add_text("lit", "a&b;<c>");
  std::string why;
  CHECK(e->add_declarations("<?xml version='1.0'?><!ENTITY ouml \"&#246;\"><!ENTITY auml '&#228;'>"
                            "<!ENTITY nbsp 'overrides HTML'><!ENTITY lit 'loses to the given text'>",
                            Entities::Origin::Dtd, why));
  CHECK_EQ(read_doc("<r><rec><v>&eacute;|&NotEqualTilde;|&lit;|&ouml;&auml;|&nbsp;|&amp;</v></rec></r>", e),
           "(['v'], [['\xC3\xA9|\xE2\x89\x82\xCC\xB8|a&b;<c>|\xC3\xB6\xC3\xA4|overrides HTML|&']])\n");
  CHECK(!e->add_declarations("<!ENTITY broken \"no end>", Entities::Origin::Dtd, why));
  CHECK(why.starts_with("malformed entity declaration (no quoted value)"));
  std::string_view text;
  CHECK(html_entity("AElig", text) && text == "\xC3\x86");
  CHECK(html_entity("zwnj", text) && text == "\xE2\x80\x8C");
  CHECK(!html_entity("eacute;", text) && !html_entity("", text) && !html_entity("zzz", text));
}

TEST(entities_expansion_is_bounded) {
  std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><lolz><rec><v>&lol9;</v></rec><rec><v>ok</v></rec></lolz>";
  CHECK_EQ(read_doc(laughs, declared()), "error: entity `lol9` expands past 1 MiB\n(['v'], [[None]])\n(['v'], [['ok']])\n");
  // Many references to one large text: the document's total is the limit.
  const std::string big = "<!DOCTYPE r [<!ENTITY big \"" + std::string(1000000, 'x') + "\">]><r>";
  std::string doc = big;
  for (int i = 0; i < 100; ++i) doc += "<rec><v>&big;</v></rec>";
  const std::string got = read_doc(doc + "</r>", declared());
  CHECK(got.find("error: entity references expand past") != std::string::npos);
  CHECK(got.find("error", got.find("error") + 1) != std::string::npos);  // every later one too
}

TEST(entities_split_ranges_read_as_the_whole) {
  const std::string doc = kSubset +
                          "<r><rec><v>&co;</v></rec><!-- <rec> --><rec><v a='&who;'>&who;</v></rec>"
                          "<rec><v>&ext;</v></rec><rec><v>&eacute;&co;</v></rec><rec><w>&nbsp;</w></rec></r>";
  for (bool html : {false, true}) {
    const ReadOptions options{.attributes = true, .entities = declared(html)};
    const std::string whole = read_all(Reader::from_bytes(doc), options);
    CHECK(whole.find("Acme & Sons") != std::string::npos);
    for (std::size_t chunk : {1, 5, 8192}) {
      XmlBatchInner survey(Reader::from_bytes(doc, chunk), 0, "doc");
      survey.set_options(options);
      Discovery found;
      survey.set_splits(1, 1, &found.splits);
      XmlStreamError err;
      CHECK(discover_columns(survey, found, err, false));
      CHECK_EQ(found.splits.size(), 5u);
      std::string parts;
      for (std::size_t i = 0; i <= found.splits.size(); ++i) {
        auto reader = Reader::from_bytes(doc, chunk);
        ReadOptions range = options;
        if (i > 0) {
          SplitPoint at;
          CHECK(parse_split(serialize_split(found.splits[i - 1]), at));
          CHECK(at.subset && *at.subset == *found.splits[i - 1].subset);
          CHECK(reader->resume(at, err));
        }
        if (i < found.splits.size()) {
          range.records = found.splits[i].records - (i > 0 ? found.splits[i - 1].records : 0);
          range.end = found.splits[i].offset;
        }
        parts += read_all(std::move(reader), range);
      }
      CHECK_EQ(parts, whole);
    }
  }
}
