// Split points: a batch loop resumed at each split point, through its
// range's records, gives the rows and errors of the whole reading, in every
// encoding and however the input is chunked.
#include <string>
#include <vector>

#include "check.h"
#include "records_helpers.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"
#include "xmlstream/discover.h"
#include "xmlstream/split.h"

using namespace qk::xml;

namespace {

// Every step as text, a batch of one row at a time, so a dropped row or a
// moved error shows as a difference.
std::vector<std::string> read_steps(std::unique_ptr<Reader> reader, const ReadOptions& options = {}) {
  XmlBatchInner inner(std::move(reader), 1, "doc");
  inner.set_options(options);
  std::vector<std::string> out;
  for (int guard = 0; guard < 100000; ++guard) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Batch:
        out.push_back(testing::show_batch(inner.take_batch()));
        break;
      case XmlBatchInner::Step::Error:
        out.push_back("error: " + err.text);
        if (err.kind == XmlStreamError::Kind::Io) return out;
        break;
      case XmlBatchInner::Step::Finished:
        return out;
    }
  }
  out.push_back("RAN ON");
  return out;
}

std::vector<SplitPoint> splits_of(const std::string& doc, std::uint64_t every, std::size_t chunk,
                                  std::uint64_t align = 1) {
  XmlBatchInner inner(Reader::from_bytes(doc, chunk), 0, "doc");
  Discovery found;
  inner.set_splits(every, align, &found.splits);
  XmlStreamError err;
  CHECK(discover_columns(inner, found, err, false));
  return found.splits;
}

// The ranges' steps, one after another, each from a fresh reader.
std::vector<std::string> split_steps(const std::string& doc, const std::vector<SplitPoint>& splits,
                                     std::size_t chunk) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i <= splits.size(); ++i) {
    auto reader = Reader::from_bytes(doc, chunk);
    ReadOptions options;
    const std::uint64_t first = i == 0 ? 0 : splits[i - 1].records;
    if (i > 0) {
      // Each point travels as bytes.
      SplitPoint at;
      CHECK(parse_split(serialize_split(splits[i - 1]), at));
      XmlStreamError err;
      CHECK(reader->resume(at, err));
    }
    if (i < splits.size()) {
      options.records = splits[i].records - first;
      options.end = splits[i].offset;
    }
    for (std::string& s : read_steps(std::move(reader), options)) out.push_back(std::move(s));
  }
  return out;
}

std::string utf16(const std::string& ascii, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    if (big_endian) out += '\0';
    out += c;
    if (!big_endian) out += '\0';
  }
  return out;
}

const std::string kDoc =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
    "<!DOCTYPE t [<!ELEMENT t ANY><!-- <row> -->]>\n"
    "<t><!-- <row><a>no</a></row> -->"
    "<row><a>1</a><b><![CDATA[</row><row>]]></b></row>"
    "<row><a>\xE9</a></row>\n"
    "<row/><row><a>&amp;&#x42;</a><n><m>x</m><m>y</m></n></row>"
    "<row><a>&nope;</a><b>kept</b></row>"
    "</t><?pi <row>?><u><row><c>tail</c></row><row><c>long long long long long long long</c></row></u>\n";

// One line per step, so a failed check shows both sides.
std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& e : v) s += "\n    " + e;
  return s;
}

}  // namespace

TEST(split_ranges_read_as_the_whole_in_every_chunking) {
  const std::vector<std::string> whole = read_steps(Reader::from_bytes(kDoc));
  CHECK(whole.size() > 7);
  for (std::size_t chunk : {1, 3, 8192})
    for (std::uint64_t every : {1, 10, 40, 100, 100000}) {
      const std::vector<SplitPoint> splits = splits_of(kDoc, every, chunk);
      if (every == 1) CHECK_EQ(splits.size(), 7u);  // after every record, the last one too
      CHECK_EQ(joined(split_steps(kDoc, splits, chunk)), joined(whole));
    }
}

TEST(split_points_carry_the_encoding_and_open_elements) {
  const std::vector<SplitPoint> splits = splits_of(kDoc, 1, 8192);
  CHECK_EQ(std::string(splits[0].encoding->name), std::string("windows-1252"));
  CHECK(splits[0].declared);
  CHECK_EQ(joined(splits[0].open), joined({"t"}));
  CHECK_EQ(joined(splits.back().open), joined({"u"}));
  CHECK_EQ(splits[0].records, 1u);
  CHECK_EQ(kDoc[splits[0].offset - 1], '>');
}

TEST(utf16_documents_resume_on_whole_code_units) {
  const std::string ascii =
      "<t><row><a>1</a></row><!-- <row> --><row><a>2</a><b><![CDATA[<row>]]></b></row><row><a>&#xE9;</a></row></t>";
  for (bool big_endian : {false, true}) {
    const std::string doc = utf16(ascii, big_endian);
    const std::vector<std::string> whole = read_steps(Reader::from_bytes(doc));
    CHECK_EQ(whole.size(), 3u);
    for (std::size_t chunk : {1, 2, 5, 8192}) {
      const std::vector<SplitPoint> splits = splits_of(doc, 1, chunk);
      CHECK_EQ(splits.size(), 3u);
      CHECK_EQ(splits[0].offset % 2, 0u);  // after the byte-order mark and whole units
      CHECK_EQ(joined(split_steps(doc, splits, chunk)), joined(whole));
    }
  }
}

TEST(errors_in_a_range_keep_their_file_position) {
  const std::string doc = "<t>\n<row><a>1</a></row>\n<row><a>&bad;</a></row>\n<row><a>3</a></row>\n</t>";
  const std::vector<SplitPoint> splits = splits_of(doc, 1, 8192);
  const std::vector<std::string> whole = read_steps(Reader::from_bytes(doc));
  CHECK_EQ(joined(split_steps(doc, splits, 8192)), joined(whole));
  bool found = false;
  for (const std::string& s : whole) found = found || s.find("at line 3, byte 32") != std::string::npos;
  CHECK(found);
}

TEST(alignment_puts_split_points_at_multiples_of_records) {
  std::string doc = "<t>";
  for (int i = 0; i < 100; ++i) doc += "<r><v>" + std::to_string(i) + "</v></r>";
  doc += "</t>";
  for (const SplitPoint& at : splits_of(doc, 1, 8192, 7)) CHECK_EQ(at.records % 7, 0u);
  CHECK_EQ(splits_of(doc, 1, 8192, 7).size(), 14u);
}

TEST(a_changed_or_foreign_split_point_is_refused) {
  const std::string doc = "<t><r><v>1</v></r><r><v>2</v></r><r><v>3</v></r></t>";
  const std::vector<SplitPoint> splits = splits_of(doc, 1, 8192);
  // The bytes before the point no longer end a tag.
  auto moved = Reader::from_bytes(" " + doc);
  XmlStreamError err;
  CHECK(!moved->resume(splits[0], err));
  CHECK(err.text.find("changed") != std::string::npos);
  // A range that does not end where the next begins.
  ReadOptions options;
  options.records = 1;
  options.end = splits[0].offset + 1;
  const std::vector<std::string> steps = read_steps(Reader::from_bytes(doc), options);
  CHECK(steps.back().find("changed since it was split") != std::string::npos);
  SplitPoint out;
  const std::string bytes = serialize_split(splits[0]);
  CHECK(parse_split(bytes, out));
  CHECK_EQ(joined(out.open), joined(splits[0].open));
  for (std::size_t n = 0; n < bytes.size(); ++n) CHECK(!parse_split(bytes.substr(0, n), out));
  CHECK(!parse_split(bytes + "x", out));
}

TEST(the_record_counter_finds_the_same_split_points) {
  for (std::size_t chunk : {1, 8192})
    for (std::uint64_t every : {1, 30, 100}) {
      auto reader = Reader::from_bytes(kDoc, chunk);
      std::uint64_t records = 0;
      std::vector<SplitPoint> counted;
      XmlStreamError err;
      CHECK(count_records(*reader, records, err, every, 2, counted));
      CHECK_EQ(records, 7u);
      const std::vector<SplitPoint> found = splits_of(kDoc, every, chunk, 2);
      CHECK_EQ(counted.size(), found.size());
      for (std::size_t i = 0; i < counted.size() && i < found.size(); ++i)
        CHECK_EQ(serialize_split(counted[i]), serialize_split(found[i]));
    }
}

TEST(an_unsupported_declared_encoding_travels_with_split_points) {
  const std::string doc =
      "<?xml version=\"1.0\" encoding=\"IBM855\"?>\n<t><row><a>1</a></row><row><a>2</a></row><row><a>\xad</a></row></t>";
  const std::vector<SplitPoint> splits = splits_of(doc, 1, 8192);
  CHECK(splits.size() >= 2);
  CHECK_EQ(splits[0].unsupported, std::string("IBM855"));
  CHECK(!splits[0].declared);
  SplitPoint out;
  const std::string bytes = serialize_split(splits[1]);  // before the record at fault
  CHECK(parse_split(bytes, out));
  CHECK_EQ(out.unsupported, std::string("IBM855"));
  for (std::size_t n = 0; n < bytes.size(); ++n) CHECK(!parse_split(bytes.substr(0, n), out));
  // A reader resumed there names the label in a decoding error, at the
  // offset its text gives.
  auto reader = Reader::from_bytes(doc);
  reader->explain_encoding();
  XmlStreamError err;
  CHECK(reader->resume(out, err));
  XmlBatchInner inner(std::move(reader), 1, "doc");
  CHECK(inner.next_batch(err) == XmlBatchInner::Step::Error);
  const std::string at = std::to_string(doc.find('\xad'));
  CHECK(err.text.starts_with("the document declares encoding 'IBM855', which is not supported; it was read as UTF-8: "));
  CHECK(err.text.ends_with("byte " + at));
  CHECK_EQ(std::to_string(err.at), at);
}
