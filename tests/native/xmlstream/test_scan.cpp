// The structural classifier on every instruction set this CPU has, and the
// reader and counter built on it: each must give what the scalar one gives.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"
#include "xmlstream/discover.h"
#include "xmlstream/reader.h"
#include "xmlstream/scan.h"

using namespace qk::xml;
using namespace qk::xml::scan;

namespace {

const Isa kAll[] = {Isa::Scalar, Isa::Sse2, Isa::Avx2, Isa::Avx512};

// Readers made meanwhile use `isa`; the choice before comes back however
// the test ends.
struct ForcedIsa {
  explicit ForcedIsa(Isa isa) : before(active_isa()) { force_isa(isa); }
  ~ForcedIsa() { force_isa(before); }
  Isa before;
};

std::uint32_t seed_for(const char* test) {
  const std::uint32_t seed = std::random_device{}();
  std::printf("%s: seed %u\n", test, seed);
  return seed;
}

// Documents from pieces chosen to sit across 16- and 64-byte blocks and
// window refills: quotes hiding '>', long names, long text, multi-byte
// text, references, CR LF, and markup the fast path leaves to the general one.
std::string random_document(std::mt19937& rng, bool sound) {
  static const char* pieces[] = {
      "<a>", "</a>", "<b x=\"1>2\" y='\"'>", "</b>", "<c/>", "<c />", "<abcdefghijklmnopqrstuvwxyz0123456789>",
      "</abcdefghijklmnopqrstuvwxyz0123456789>", "text", "caf\xC3\xA9 \xE2\x82\xAC", "&amp;&#233;", "\r\n",
      "<!-- c -- > -->", "<![CDATA[ ]] > <x> ]]>", "<?pi ?>", "   ", "<d\tk='v'\n>", "</d >",
      "<e a=\"'\" b='\"'/>", "<f v='a<b<'>", "</f>", "0123456789012345678901234567890123456789012345678901234567890123456789"};
  static const char* faults[] = {"</zz>", "<", "<!x>", "<a x='", "]]>", "<!--", "\xFF"};
  std::uniform_int_distribution<int> n_pieces(0, 120), pick(0, sizeof pieces / sizeof *pieces - 1),
      fault(0, sizeof faults / sizeof *faults - 1), coin(0, 40);
  std::string doc = "<r>";
  for (int i = n_pieces(rng); i > 0; --i) doc += !sound && coin(rng) == 0 ? faults[fault(rng)] : pieces[pick(rng)];
  return doc + "</r>";
}

// Every event with its bytes and offset, every error with its position.
std::string events_of(const std::string& doc, std::size_t chunk, bool discard) {
  auto r = Reader::from_bytes(doc, chunk);
  r->set_discard_content(discard);
  std::string out, buf;
  for (int guard = 0; guard < 100000; ++guard) {
    buf.clear();
    std::string_view bytes;
    Event ev;
    XmlStreamError err;
    if (!r->read_event(buf, bytes, ev, err)) {
      out += "ERR:" + err.text + "\n";
      continue;
    }
    out += std::to_string(static_cast<int>(ev)) + ":" + std::string(bytes) + " @" +
           std::to_string(r->stream_offset()) + "\n";
    if (ev == Event::Eof) break;
  }
  return out;
}

// The count the record rule gives, read event by event as before the
// counter skipped records' insides.
std::string count_by_events(const std::string& doc, std::size_t chunk) {
  auto r = Reader::from_bytes(doc, chunk);
  r->set_discard_content(true);
  std::uint64_t depth = 0, records = 0;
  std::string buf;
  for (;;) {
    buf.clear();
    Event ev;
    XmlStreamError err;
    if (!r->read_event(buf, ev, err)) return "ERR:" + err.text;
    if (ev == Event::Start) ++depth;
    if (ev == Event::End && depth > 0 && --depth == 1) ++records;
    if (ev == Event::Empty && depth == 1) ++records;
    if (ev == Event::Eof) return std::to_string(records);
  }
}

std::string count_of(const std::string& doc, std::size_t chunk) {
  auto r = Reader::from_bytes(doc, chunk);
  std::uint64_t n = 0;
  XmlStreamError err;
  if (!count_records(*r, n, err)) return "ERR:" + err.text;
  return std::to_string(n);
}

}  // namespace

TEST(scan_classifiers_agree_with_bytes) {
  std::mt19937 rng(seed_for("scan_classifiers_agree_with_bytes"));
  const char alphabet[] = "<>\"'a \n\x80\xFF";
  std::uniform_int_distribution<int> len(0, 300), any(0, 255), from_alphabet(0, sizeof alphabet - 2), coin(0, 1);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = static_cast<std::size_t>(len(rng));
    std::vector<char> bytes(n + 64);
    for (char& c : bytes) c = static_cast<char>(coin(rng) ? alphabet[from_alphabet(rng)] : any(rng));
    std::vector<Block> want((n + 63) / 64);
    for (std::size_t i = 0; i < n; ++i) {
      Block& b = want[i / 64];
      const std::uint64_t bit = std::uint64_t{1} << (i % 64);
      if (bytes[i] == '<') b.lt |= bit;
      if (bytes[i] == '>') b.gt |= bit;
      if (bytes[i] == '"') b.dq |= bit;
      if (bytes[i] == '\'') b.sq |= bit;
    }
    for (Isa isa : kAll) {
      if (!isa_supported(isa)) continue;
      std::vector<Block> got(want.size() + 1, Block{1, 1, 1, 1});
      classifier(isa)(bytes.data(), n, got.data());
      for (std::size_t k = 0; k < want.size(); ++k) {
        const bool same = got[k].lt == want[k].lt && got[k].gt == want[k].gt && got[k].dq == want[k].dq &&
                          got[k].sq == want[k].sq;
        if (!same) check::fail(__FILE__, __LINE__, std::string(isa_name(isa)) + ": block " + std::to_string(k) +
                                                       " of " + std::to_string(n) + " bytes");
      }
      CHECK(got.back().lt == 1);  // no block written past the last
    }
  }
}

TEST(scan_next_bit_crosses_blocks_and_stops_at_the_sentinel) {
  std::vector<Block> b(4, Block{0, 0, 0, 0});
  b[0].lt = std::uint64_t{1} << 5;
  b[2].lt = std::uint64_t{1} << 63;
  b[3] = kSentinel;
  const auto lt = [](const Block& k) { return k.lt; };
  CHECK_EQ(next_bit(b.data(), 0, lt), 5u);
  CHECK_EQ(next_bit(b.data(), 5, lt), 5u);
  CHECK_EQ(next_bit(b.data(), 6, lt), 191u);
  CHECK_EQ(next_bit(b.data(), 192, lt), 192u);  // past the classified bytes
  CHECK_EQ(next_bit(b.data(), 193, lt), 193u);
  b[2].lt = 0;
  CHECK_EQ(next_bit(b.data(), 6, lt), 192u);
}

TEST(scan_reader_and_counter_same_on_every_path) {
  std::mt19937 rng(seed_for("scan_reader_and_counter_same_on_every_path"));
  for (int round = 0; round < 60; ++round) {
    const std::string doc = random_document(rng, round % 2 == 0);
    for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(64), std::size_t(65), Reader::kReadBufferSize}) {
      std::string want_events[2], want_count;
      {
        ForcedIsa scalar(Isa::Scalar);
        want_events[0] = events_of(doc, chunk, false);
        want_events[1] = events_of(doc, chunk, true);
        want_count = count_by_events(doc, chunk);
      }
      for (Isa isa : kAll) {
        if (!isa_supported(isa)) continue;
        ForcedIsa forced(isa);
        const std::string where = std::string(isa_name(isa)) + ", chunk " + std::to_string(chunk) + ": " + doc;
        if (events_of(doc, chunk, false) != want_events[0] || events_of(doc, chunk, true) != want_events[1])
          check::fail(__FILE__, __LINE__, "events differ on " + where);
        const std::string got = count_of(doc, chunk);
        if (got != want_count)
          check::fail(__FILE__, __LINE__, "count " + got + " vs " + want_count + " on " + where);
      }
    }
  }
}

TEST(scan_skip_element_stops_at_its_end) {
  // Records whose insides need the general path (comments, CDATA, a PI,
  // a refill) and one left open by the end of input.
  const std::string doc = "<r><a><b x='><'/><!--<c>--><![CDATA[</a>]]><?p?>" + std::string(9000, 't') +
                          "</a><a><d></d></a><a><e>";
  for (std::size_t chunk : {std::size_t(1), std::size_t(100), Reader::kReadBufferSize}) {
    auto r = Reader::from_bytes(doc, chunk);
    std::string buf;
    Event ev;
    XmlStreamError err;
    std::vector<std::uint64_t> ends;
    while (r->read_event(buf, ev, err) && ev != Event::Eof) {
      if (ev == Event::Start && r->open_depth() == 2) {
        CHECK(r->skip_element(ev, err));
        CHECK_EQ(r->open_depth(), ev == Event::End ? 1u : 3u);
        ends.push_back(ev == Event::End ? r->stream_offset() : 0);
      }
      buf.clear();
    }
    CHECK(ends == (std::vector<std::uint64_t>{9052, 9066, 0}));
  }
}

namespace {

// Records of nested, repeated, prefixed and empty elements, with the markup
// the names walk leaves to read_event (comments, CDATA, PIs, long text past
// a refill) at any depth inside them; with `fault`, one record's end tag
// is wrong.
std::string random_records(std::mt19937& rng, bool fault) {
  static const char* names[] = {"a", "b", "x:c", "longname_abcdefghijklmnopqrstuvwxyz_0123456789", "d"};
  static const char* between[] = {"", "text", "<!--<z>-->", "<![CDATA[</a>]]>", "<?p <q>?>", " &amp; ", "\n  "};
  std::uniform_int_distribution<int> name(0, 4), other(0, 6), coin(0, 3), records(1, 30);
  std::string doc = "<?xml version='1.0'?><root>";
  const int n = records(rng), bad = fault ? std::uniform_int_distribution<int>(0, n - 1)(rng) : -1;
  for (int k = 0; k < n; ++k) {
    doc += "<rec>";
    std::vector<std::string> open;
    for (int step = std::uniform_int_distribution<int>(0, 40)(rng); step > 0; --step) {
      doc += between[other(rng)];
      const int c = coin(rng);
      if (c == 0 && !open.empty()) {
        doc += "</" + open.back() + " >";
        open.pop_back();
      } else if (c == 1) {
        doc += std::string("<") + names[name(rng)] + " k='>'/>";
      } else if (c == 2 && open.size() < 4) {
        open.emplace_back(names[name(rng)]);
        doc += "<" + open.back() + ">";
      } else if (c == 3) {
        doc += std::string(coin(rng) == 0 ? 9000 : 5, 't');
      }
    }
    while (!open.empty()) {
      doc += "</" + open.back() + ">";
      open.pop_back();
    }
    // A wrong end tag: another name, the open one cut short or run on
    // (`</re>` and `</recs>` match `rec` in all but their length).
    static const char* wrong[] = {"</wrong>", "</re>", "</recs>", "</rec/>"};
    doc += k == bad ? wrong[static_cast<std::size_t>(k) % 4] : "</rec>";
  }
  return doc + "</root>";
}

// Every batch's columns and values, then the error if reading failed.
std::string read_values(const std::string& doc, std::size_t chunk) {
  XmlBatchInner inner(Reader::from_bytes(doc, chunk), 5, "doc");
  ReadOptions options;
  options.check_end = true;
  inner.set_options(options);
  std::string out;
  XmlStreamError err;
  for (;;) {
    const XmlBatchInner::Step step = inner.next_batch(err);
    if (step == XmlBatchInner::Step::Error) return out + "error: " + err.text;
    if (step == XmlBatchInner::Step::Finished) return out;
    const Batch b = inner.take_batch();
    for (std::size_t c = 0; c < b.columns.size(); ++c) {
      out += b.columns[c] + ":";
      for (std::size_t r = 0; r < b.rows; ++r)
        out += b.column_values[c].is_null(r) ? std::string("~|") : std::string(b.column_values[c].value(r)) + "|";
      out += "\n";
    }
  }
}

// Discovery's columns and record count, or its error, in one line.
std::string discovered(const std::string& doc, std::size_t chunk, bool check_text) {
  XmlBatchInner inner(Reader::from_bytes(doc, chunk), 0, "doc");
  Discovery found;
  XmlStreamError err;
  if (!discover_columns(inner, found, err, check_text)) return "error: " + err.text;
  std::string out = std::to_string(found.records) + ":";
  for (const std::string& c : found.columns) out += " " + c;
  return out;
}

// The record count and columns of reading the document in one batch, as
// discovered() gives them.
std::string read_columns(const std::string& doc) {
  XmlBatchInner inner(Reader::from_bytes(doc, Reader::kReadBufferSize), 1 << 20, "doc");
  XmlStreamError err;
  CHECK(inner.next_batch(err) == XmlBatchInner::Step::Batch);
  const Batch b = inner.take_batch();
  std::string out = std::to_string(b.rows) + ":";
  for (const std::string& c : b.columns) out += " " + c;
  return out;
}

}  // namespace

// The names walk discovery takes when it skips text must find what reading
// every event finds: the same columns in the same order, and the same first
// error, on every path and at every window size.
TEST(scan_discovery_names_walk_same_as_events) {
  std::mt19937 rng(seed_for("scan_discovery_names_walk_same_as_events"));
  for (int round = 0; round < 80; ++round) {
    const bool fault = round % 4 == 3;
    const std::string doc = random_records(rng, fault);
    const std::string want = discovered(doc, Reader::kReadBufferSize, true);
    CHECK_EQ(want.rfind("error: ", 0) == 0, fault);
    for (std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(64), std::size_t(100), Reader::kReadBufferSize}) {
      for (Isa isa : kAll) {
        if (!isa_supported(isa)) continue;
        ForcedIsa forced(isa);
        const std::string got = discovered(doc, chunk, false);
        if (got != want)
          check::fail(__FILE__, __LINE__,
                      std::string(isa_name(isa)) + ", chunk " + std::to_string(chunk) + ": " + got + " vs " + want + " on " + doc);
      }
    }
  }
}

// The values walk must read what reading every event reads: the same rows
// and the same first error, on every path and at every window size. Read a
// byte at a time, the window never holds a tag ahead, so nothing is walked.
TEST(scan_values_walk_same_as_events) {
  std::mt19937 rng(seed_for("scan_values_walk_same_as_events"));
  for (int round = 0; round < 80; ++round) {
    std::string doc = random_records(rng, round % 4 == 3);
    // An undeclared reference in some record's text: an error the walk's
    // text handler finds, not the reader.
    if (round % 4 == 1) doc.insert(doc.find("</rec>"), "x&bogus;");
    std::string want;
    {
      ForcedIsa scalar(Isa::Scalar);
      want = read_values(doc, 1);
    }
    for (std::size_t chunk : {std::size_t(3), std::size_t(64), std::size_t(100), Reader::kReadBufferSize}) {
      for (Isa isa : kAll) {
        if (!isa_supported(isa)) continue;
        ForcedIsa forced(isa);
        const std::string got = read_values(doc, chunk);
        if (got != want)
          check::fail(__FILE__, __LINE__,
                      std::string(isa_name(isa)) + ", chunk " + std::to_string(chunk) + ":\n" + got + "\nvs\n" + want + "\non " + doc);
      }
    }
  }
}

// Discovery remembers record shapes only while that pays, and drops its
// cache in a file whose records nearly all differ: the columns must be the
// reading's either way, for records past the drop as before it.
TEST(scan_discovery_columns_same_with_and_without_its_shape_cache) {
  std::mt19937 rng(seed_for("scan_discovery_columns_same_with_and_without_its_shape_cache"));
  static const char* fields[] = {"<a>1</a>", "<b>2</b>", "<c><d>3</d><a>4</a></c>", "<e/>", "<f>5</f>", "<g><h>6</h></g>"};
  std::uniform_int_distribution<int> pick(0, 5), count(0, 8);
  for (const bool varied : {true, false}) {
    std::string doc = "<root>";
    for (int k = 0; k < 6000; ++k) {
      doc += "<rec>";
      // Varied: a shape nearly every record of its own; else a handful, so
      // that the cache keeps finding them. A rare field comes late.
      const int n = varied ? 6 + count(rng) : 2 + k % 3;
      for (int i = 0; i < n; ++i) doc += fields[varied ? pick(rng) : i % 3];
      if (k == 5000) doc += "<late>7</late><late>8</late>";
      doc += "</rec>";
    }
    doc += "</root>";
    CHECK_EQ(discovered(doc, Reader::kReadBufferSize, false), read_columns(doc));
  }
}

// Discovery folds a record from its children's keys, each child subtree
// flattened once: the columns must be those of flattening records whole, in
// the same order, with repeats and prefixes colliding at every level
// (`rec_a` and `c_a` are also what prefixing makes), and past the point
// where the cache of subtrees fills and is emptied.
TEST(scan_discovery_folds_records_as_reading_flattens_them) {
  const unsigned seed = seed_for("scan_discovery_folds_records_as_reading_flattens_them");
  std::mt19937 rng(seed);
  const std::vector<std::string> names = {"a", "b", "x:a", "c", "rec_a", "c_a", "a_a", "rec", "y:c", "\xc3\xa9", "z:\xc3\xa9"};
  std::uniform_int_distribution<int> name(0, 10), children(0, 3), top(1, 7), coin(0, 9);
  const auto element = [&](auto& self, int depth) -> std::string {
    const std::string& n = names[static_cast<std::size_t>(name(rng))];
    const int kids = depth < 3 ? children(rng) : 0;
    if (kids == 0) return coin(rng) == 0 ? "<" + n + "/>" : "<" + n + ">1</" + n + ">";
    std::string out = "<" + n + ">";
    for (int k = 0; k < kids; ++k) out += self(self, depth + 1);
    return out + "</" + n + ">";
  };
  for (int round = 0; round < 6; ++round) {
    std::string doc = "<root>";
    for (int k = 0; k < 3000; ++k) {
      doc += "<rec>";
      for (int i = top(rng); i > 0; --i) doc += element(element, 1);
      // Subtrees seen once, enough of them to fill the cache.
      if (round % 2 == 1) doc += "<u" + std::to_string(k) + "><a>1</a><a>2</a></u" + std::to_string(k) + ">";
      // A child too large to keep: its record is flattened whole.
      if (k % 1000 == 7) {
        doc += "<big>";
        for (int i = 0; i < 500; ++i) doc += "<b" + std::to_string(i % 300) + ">1</b" + std::to_string(i % 300) + ">";
        doc += "<a>2</a></big>";
      }
      doc += "</rec>";
    }
    doc += "</root>";
    const std::string want = read_columns(doc);
    const std::string got = discovered(doc, Reader::kReadBufferSize, false);
    if (got != want) check::fail(__FILE__, __LINE__, "seed " + std::to_string(seed) + ": " + got + "\nvs\n" + want);
  }
}

// A record whose child is deep in repeated names is an error for discovery
// as for reading, though discovery folds records from their children.
TEST(scan_discovery_fails_on_a_record_too_complex_to_flatten) {
  const int n = 20000;
  std::string doc = "<root><rec><x>1</x></rec><rec><x>1</x>";
  for (int i = 0; i < n; ++i) doc += "<a><v>1</v>";
  for (int i = 0; i < n; ++i) doc += "</a>";
  doc += "</rec></root>";
  const std::string got = discovered(doc, Reader::kReadBufferSize, false);
  CHECK(got.rfind("error: record too deeply nested with repeated element names", 0) == 0);
}

// A start tag's name is whatever comes before its first space, so a
// malformed one can hold a quoted '>'; its end tag then ends at that '>',
// whichever way the record is read.
TEST(scan_end_tag_ends_at_its_first_gt) {
  for (const char* doc : {"<r><rec><a\"x>y\">1</a\"x>y\"><b>2</b></rec><rec><b>3</b></rec></r>",
                          "<r><rec><a'>'>1</a'>'></rec></r>", "<r><rec><a>1</a ><a\n>2</a\n></rec></r>"}) {
    const std::string want = discovered(doc, Reader::kReadBufferSize, true);
    for (std::size_t chunk : {std::size_t(1), std::size_t(5), std::size_t(64), Reader::kReadBufferSize})
      CHECK_EQ(discovered(doc, chunk, false), want);
  }
}
