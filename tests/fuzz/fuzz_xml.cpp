// Coverage-guided fuzz target over the native XML core: the reader and its
// decoders, reference resolution, record flattening, batch accumulation and
// record counting. Event bytes the reader lends from its window must be the
// ones it copies, and every structural classifier the CPU runs must give the
// scalar one's events, errors and count.
//
// Input layout: byte 0 picks the chunk-size class (bits 0-1) and batch_rows
// (bits 2-4); byte 1 picks the chunk size within its class; the rest is the document. Small chunks are favoured because they
// split markup, references and multi-byte sequences in the most places.
//
// Besides the invariants of every batch (checked here) and the uniqueness of
// the keys of every record (asserted in the event loop, which this build
// compiles with assertions on), a run over the same document read in
// whole 8192-byte chunks must give the same batches and errors. Every
// violated property ends in __builtin_trap(), so libFuzzer records the input
// as a crash. A document whose survey succeeds is also read as ranges between
// its split points, which together must give the whole reading's rows and
// errors.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "xmlstream/batch.h"
#include "xmlstream/discover.h"
#include "xmlstream/count.h"
#include "xmlstream/flatten.h"
#include "xmlstream/entities.h"
#include "xmlstream/scan.h"
#include "xmlstream/split.h"
#include "xmlstream/text.h"
#include "xmlstream/types.h"

using namespace qk::xml;

namespace {

#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) __builtin_trap(); \
  } while (0)

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p;
    std::size_t n;
    std::uint32_t cp, min;
    if (c < 0x80) { ++p; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; min = 0x10000; }
    else return false;
    if (static_cast<std::size_t>(end - p) <= n) return false;
    for (std::size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += n + 1;
  }
  return true;
}

struct Params {
  std::size_t chunk;
  std::uint64_t batch_rows;
};

Params decode_params(std::uint8_t b0, std::uint8_t b1) {
  static constexpr std::uint64_t kBatchRows[8] = {0, 1, 2, 3, 7, 64, 1000, UINT64_MAX};
  Params p{};
  switch (b0 & 3) {
    case 0: p.chunk = 1 + b1 % 8; break;                       // 1..8
    case 1: p.chunk = 1 + b1; break;                           // 1..256
    case 2: p.chunk = 1 + (static_cast<std::size_t>(b1) * 32) % Reader::kReadBufferSize; break;
    default: p.chunk = Reader::kReadBufferSize; break;
  }
  p.batch_rows = kBatchRows[(b0 >> 2) & 7];
  return p;
}

// A value's candidate types are exactly those it converts to, so a column
// typed from its values always converts.
void check_types(std::string_view v) {
  using namespace type_bits;
  const std::uint8_t bits = classify(v);
  std::int64_t i;
  double f;
  std::int32_t d;
  bool tz = false;
  FUZZ_CHECK(((bits & kInt64) != 0) == parse_int64(v, i));
  FUZZ_CHECK(((bits & kFloat64) != 0) == parse_float64(v, f));
  FUZZ_CHECK(((bits & kBool) != 0) == (v == "true" || v == "false"));
  FUZZ_CHECK(((bits & kDate32) != 0) == parse_date(v, d));
  const bool ts = parse_timestamp(v, i, tz);
  FUZZ_CHECK(((bits & kTimestamp) != 0) == (ts && !tz));
  FUZZ_CHECK(((bits & kTimestampUtc) != 0) == (ts && tz));
}

// Checks one batch against the row count the accumulator reported for it,
// appends its content to `trace`, and returns that count.
std::uint64_t check_batch(const Batch& batch, std::uint64_t rows, std::uint64_t batch_rows,
                          std::string& trace) {
  FUZZ_CHECK(rows >= 1);
  FUZZ_CHECK(rows <= (batch_rows ? batch_rows : 1));
  FUZZ_CHECK(batch.columns.size() == batch.column_values.size());
  trace += "B" + std::to_string(rows) + "\n";
  std::unordered_set<std::string_view> names;
  for (std::size_t c = 0; c < batch.columns.size(); ++c) {
    const std::string& name = batch.columns[c];
    FUZZ_CHECK(names.insert(name).second);
    FUZZ_CHECK(valid_utf8(name));
    trace += name + "\n";
    const Column& col = batch.column_values[c];
    FUZZ_CHECK(col.rows() == rows);
    // The bitmap ends at the last null (rows after it are valid) until the
    // batch is handed to Arrow.
    FUZZ_CHECK(col.begin(0) == 0 && col.validity.size() <= (rows + 7) / 8);
    FUZZ_CHECK((col.nulls == 0) == col.validity.empty());
    std::uint64_t prev = 0, nulls = 0;
    for (std::size_t r = 0; r < col.rows(); ++r) {
      const std::uint64_t end = col.begin(r + 1);
      FUZZ_CHECK(end >= prev && end <= col.bytes.size());
      if (col.is_null(r)) {
        FUZZ_CHECK(end == prev);
        ++nulls;
      } else {
        FUZZ_CHECK(valid_utf8(col.value(r)));
        check_types(col.value(r));
      }
      prev = end;
    }
    FUZZ_CHECK(prev == col.bytes.size() && nulls == col.nulls);
    trace.append(col.bytes.data(), col.bytes.size());
    for (std::size_t r = 0; r < col.rows(); ++r)
      trace += std::to_string(col.begin(r + 1)) + (col.is_null(r) ? "n," : ",");
    trace += "\n";
  }
  return rows;
}

struct Outcome {
  std::string trace;  // every step's result, to compare runs over other chunk sizes
  std::uint64_t delivered = 0;
  bool had_error = false;
  std::vector<std::string> columns;  // of every batch, in order of first appearance
  std::unordered_set<std::string> seen;
};

// Iterates `doc` to exhaustion, checking every batch.
Outcome iterate(const std::string& doc, std::size_t chunk, const Params& p, const ReadOptions& options,
                bool fast = true) {
  XmlBatchInner inner(Reader::from_bytes(doc, chunk), p.batch_rows, "fuzz.xml");
  inner.set_options(options);
  inner.set_flat_fast_path(fast);
  Outcome out;
  const std::uint64_t full = p.batch_rows ? p.batch_rows : 1;
  bool short_batch = false;  // only the last batch may be short, and only without errors
  // Every step that does not finish consumes at least one event, hence at
  // least one byte, so more steps than bytes is a hang.
  const std::size_t max_steps = doc.size() + 16;
  bool finished = false;
  for (std::size_t step = 0; step < max_steps && !finished; ++step) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Batch: {
        FUZZ_CHECK(out.had_error || !short_batch);
        const std::uint64_t rows = inner.row_count();
        Batch batch = inner.take_batch();
        FUZZ_CHECK(inner.row_count() == 0);
        out.delivered += check_batch(batch, rows, p.batch_rows, out.trace);
        for (const std::string& name : batch.columns)
          if (out.seen.insert(name).second) out.columns.push_back(name);
        short_batch = rows < full;
        break;
      }
      case XmlBatchInner::Step::Finished:
        finished = true;
        break;
      case XmlBatchInner::Step::Error:
        FUZZ_CHECK(!err.text.empty());
        FUZZ_CHECK(err.kind == XmlStreamError::Kind::Xml);
        out.trace += "E" + err.text + "\n";
        out.had_error = true;
        break;
    }
  }
  FUZZ_CHECK(finished);
  XmlStreamError err;
  FUZZ_CHECK(inner.next_batch(err) == XmlBatchInner::Step::Finished);  // sticky
  return out;
}

// Every step as text, the rows over `listed` alone (null where a batch lacks
// the column), read with `options`; false when a batch of a projected
// reading has other columns than the listed ones.
bool rows_over(const std::string& doc, const Params& p, const ReadOptions& options,
               const std::vector<std::string>& listed, std::string& out) {
  XmlBatchInner inner(Reader::from_bytes(doc, p.chunk), p.batch_rows, "fuzz.xml");
  inner.set_options(options);
  for (std::size_t step = 0; step < doc.size() + 16; ++step) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Finished:
        return true;
      case XmlBatchInner::Step::Error:
        out += "E" + err.text + "\n";
        break;
      case XmlBatchInner::Step::Batch: {
        const Batch b = inner.take_batch();
        if (options.project && b.columns != listed) return false;
        for (std::size_t r = 0; r < b.rows; ++r) {
          for (const std::string& name : listed) {
            std::size_t i = 0;
            while (i < b.columns.size() && b.columns[i] != name) ++i;
            out += i == b.columns.size() || b.column_values[i].is_null(r)
                       ? std::string("~")
                       : "'" + std::string(b.column_values[i].value(r)) + "'";
          }
          out += "\n";
        }
        out += "|\n";
        break;
      }
    }
  }
  return false;
}

// Every check of one reading of `doc`, with or without attributes.
void check_reading(const std::string& doc, const Params& p, const ReadOptions& options) {
  const Outcome out = iterate(doc, p.chunk, p, options);
  // Projection onto every other column (and one never seen) must keep the
  // listed columns' values, and the errors, exactly.
  if (!out.columns.empty()) {
    std::vector<std::string> listed{"no:such"};
    for (std::size_t i = out.columns.size() % 2; i < out.columns.size(); i += 2) listed.push_back(out.columns[i]);
    ReadOptions projected = options;
    projected.project = listed;
    std::string plain, kept;
    FUZZ_CHECK(rows_over(doc, p, options, listed, plain));
    FUZZ_CHECK(rows_over(doc, p, projected, listed, kept));
    FUZZ_CHECK(plain == kept);
  }
  // How the input is split into reads must change nothing. Read a byte at
  // a time, the window never holds a tag ahead, so the reader's tag walk
  // takes nothing and every event goes through read_event.
  if (p.chunk != Reader::kReadBufferSize)
    FUZZ_CHECK(iterate(doc, Reader::kReadBufferSize, p, options).trace == out.trace);
  if (p.chunk != 1) FUZZ_CHECK(iterate(doc, 1, p, options).trace == out.trace);
  // Flat records take a shortcut past the general flattening; it must give
  // exactly what the general way gives.
  FUZZ_CHECK(iterate(doc, p.chunk, p, options, false).trace == out.trace);

  std::unique_ptr<Reader> reader = Reader::from_bytes(doc, p.chunk);
  std::uint64_t count = 0;
  XmlStreamError err;
  const bool counted = count_records(*reader, count, err);
  if (!out.had_error) {
    // Without errors the iterator saw every event the counter sees, so the
    // counter cannot fail either.
    FUZZ_CHECK(counted);
    FUZZ_CHECK(count == out.delivered);
    // Discovery keeps no values and takes shortcuts for flat records; it
    // must still find exactly the columns and records the batches hold.
    XmlBatchInner names(Reader::from_bytes(doc, p.chunk), 0, "fuzz.xml");
    names.set_options(options);
    Discovery found;
    FUZZ_CHECK(discover_columns(names, found, err));
    FUZZ_CHECK(found.records == out.delivered);
    FUZZ_CHECK(found.columns == out.columns);
    XmlBatchInner names_only(Reader::from_bytes(doc, p.chunk), 0, "fuzz.xml");
    names_only.set_options(options);
    Discovery skimmed;
    FUZZ_CHECK(discover_columns(names_only, skimmed, err, false));
    FUZZ_CHECK(skimmed.records == out.delivered && skimmed.columns == out.columns);
    // So must discovery with types, which reads batches of its own size.
    Discovery typed;
    FUZZ_CHECK(discover_types(Reader::from_bytes(doc, p.chunk), "fuzz.xml", typed, err, nullptr, options));
    FUZZ_CHECK(typed.records == out.delivered && typed.columns == out.columns);
    FUZZ_CHECK(typed.types.size() == typed.columns.size());
  }
}

// A reading one row per step, as text: every value and error, in order.
std::string row_steps(std::unique_ptr<Reader> reader, const ReadOptions& options) {
  XmlBatchInner inner(std::move(reader), 1, "doc");
  inner.set_options(options);
  std::string out;
  for (int guard = 0; guard < 1 << 16; ++guard) {
    XmlStreamError err;
    switch (inner.next_batch(err)) {
      case XmlBatchInner::Step::Batch: {
        const Batch b = inner.take_batch();
        out += "|row";
        for (std::size_t i = 0; i < b.columns.size(); ++i) {
          out += ' ' + b.columns[i] + '=';
          out += b.column_values[i].is_null(0) ? std::string("null") : "'" + std::string(b.column_values[i].value(0)) + "'";
        }
        break;
      }
      case XmlBatchInner::Step::Error:
        out += "|error " + err.text;
        if (err.kind == XmlStreamError::Kind::Io) return out;
        break;
      case XmlBatchInner::Step::Finished:
        return out;
    }
  }
  return out;
}

// Ranges between the split points of a survey that skims text, as the
// callers split files, equal the whole reading.
void check_splits(const std::string& doc, const Params& p, std::uint64_t every, const ReadOptions& options) {
  XmlBatchInner survey(Reader::from_bytes(doc, p.chunk), 0, "doc");
  survey.set_options(options);
  Discovery found;
  survey.set_splits(every, 1, &found.splits);
  XmlStreamError err;
  if (!discover_columns(survey, found, err, false)) return;
  const std::string whole = row_steps(Reader::from_bytes(doc, p.chunk), options);
  std::string parts;
  for (std::size_t i = 0; i <= found.splits.size(); ++i) {
    auto reader = Reader::from_bytes(doc, p.chunk);
    ReadOptions range = options;
    if (i > 0) {
      SplitPoint at;
      FUZZ_CHECK(parse_split(serialize_split(found.splits[i - 1]), at));
      FUZZ_CHECK(reader->resume(at, err));
    }
    if (i < found.splits.size()) {
      range.records = found.splits[i].records - (i > 0 ? found.splits[i - 1].records : 0);
      range.end = found.splits[i].offset;
    }
    parts += row_steps(std::move(reader), range);
  }
  // A document whose entities outgrow the per-document total is refused
  // wherever its reader reaches the limit, which a range, allowed its own
  // total, reaches elsewhere or not at all.
  if (whole.find("in this document") != std::string::npos) return;
  FUZZ_CHECK(parts == whole);
}

// A reading stopped at `until` ends right after a record at or past it, as
// the record counter's does, and the reading resumed there gives the rest of
// the whole reading. A reader resumed at a guessed offset (any byte, inside
// a tag, a name or a character) reads or fails, and never faults.
void check_until(const std::string& doc, const Params& p, std::uint64_t until, const ReadOptions& options) {
  XmlBatchInner first(Reader::from_bytes(doc, p.chunk), 0, "doc");
  ReadOptions head = options;
  head.until = until;
  first.set_options(head);
  Discovery found;
  first.set_splits(std::uint64_t{1} << 62, 1, &found.splits);
  XmlStreamError err;
  if (!discover_columns(first, found, err, false)) return;
  {
    auto reader = Reader::from_bytes(doc, p.chunk);
    std::uint64_t count = 0;
    std::vector<SplitPoint> stops;
    FUZZ_CHECK(count_records(*reader, count, err, 0, 1, stops, until));
    FUZZ_CHECK(count == found.records && stops.size() == found.splits.size());
    if (!stops.empty()) FUZZ_CHECK(stops.back().offset == found.splits.back().offset);
  }
  if (found.splits.empty()) return;  // the input ended first
  const SplitPoint& stop = found.splits.back();
  FUZZ_CHECK(found.splits.size() == 1 && stop.offset >= until && stop.records == found.records);
  ReadOptions range = options;
  range.records = stop.records;
  range.end = stop.offset;
  std::string parts = row_steps(Reader::from_bytes(doc, p.chunk), range);
  auto rest = Reader::from_bytes(doc, p.chunk);
  FUZZ_CHECK(rest->resume(stop, err));
  parts += row_steps(std::move(rest), options);
  FUZZ_CHECK(parts == row_steps(Reader::from_bytes(doc, p.chunk), options));
  SplitPoint guess = stop;
  guess.offset = until % (doc.size() + 1);
  auto guessed = Reader::from_bytes(doc, p.chunk);
  if (guessed->resume(guess, err)) row_steps(std::move(guessed), options);
}

}  // namespace

// The events of `doc`, read with their bytes copied or lent from the
// reader's window; `discard` as set_discard_content.
std::string event_trace(const std::string& doc, std::size_t chunk, bool discard, bool lend) {
  auto r = Reader::from_bytes(doc, chunk);
  r->set_discard_content(discard);
  std::string trace, buf;
  for (;;) {
    buf.clear();
    std::string_view bytes;
    Event ev;
    XmlStreamError err;
    const bool ok = lend ? r->read_event(buf, bytes, ev, err) : r->read_event(buf, ev, err);
    if (!ok) {
      if (err.kind == XmlStreamError::Kind::Interrupted) return trace + "interrupted";
      trace += "E" + err.text + "\n";
      continue;
    }
    if (!lend) bytes = buf;
    trace += std::to_string(static_cast<int>(ev)) + ":" + std::string(bytes) + "@" +
             std::to_string(r->stream_offset()) + "\n";
    if (ev == Event::Eof) return trace;
  }
}

// The counter's result, or its error with position; `by_events` counts
// event by event under the default rule instead of letting the counter skip
// records' insides.
std::string count_trace(const std::string& doc, std::size_t chunk, bool by_events) {
  auto r = Reader::from_bytes(doc, chunk);
  XmlStreamError err;
  std::uint64_t n = 0;
  if (!by_events) return count_records(*r, n, err) ? std::to_string(n) : "E" + err.text;
  r->set_discard_content(true);
  std::uint64_t depth = 0;
  std::string buf;
  for (;;) {
    buf.clear();
    Event ev;
    if (!r->read_event(buf, ev, err)) return "E" + err.text;
    if (ev == Event::Start) ++depth;
    if (ev == Event::End && depth > 0 && --depth == 1) ++n;
    if (ev == Event::Empty && depth == 1) ++n;
    if (ev == Event::Eof) return std::to_string(n);
  }
}

// Every structural classifier this CPU runs gives the scalar one's events,
// errors and count.
void check_scan_paths(const std::string& doc, std::size_t chunk) {
  using namespace qk::xml::scan;
  const Isa before = active_isa();
  force_isa(Isa::Scalar);
  const std::string events[2] = {event_trace(doc, chunk, false, true), event_trace(doc, chunk, true, true)};
  const std::string count = count_trace(doc, chunk, true);
  for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    force_isa(isa);
    FUZZ_CHECK(event_trace(doc, chunk, false, true) == events[0]);
    FUZZ_CHECK(event_trace(doc, chunk, true, true) == events[1]);
    FUZZ_CHECK(count_trace(doc, chunk, false) == count);
  }
  force_isa(before);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Params p = decode_params(data[0], data[1]);
  const std::string doc(reinterpret_cast<const char*>(data) + 2, size - 2);
  // Lent bytes are the copied ones, whatever the chunks and errors.
  for (bool discard : {false, true})
    FUZZ_CHECK(event_trace(doc, p.chunk, discard, true) == event_trace(doc, p.chunk, discard, false));
  check_scan_paths(doc, p.chunk);
  check_reading(doc, p, ReadOptions{});
  check_reading(doc, p, ReadOptions{.attributes = true});
  // Declared and HTML entities, as the companion reader takes them: split
  // points must carry the DOCTYPE's declarations to the ranges.
  static const std::shared_ptr<const Entities> entities = [] {
    auto e = std::make_shared<Entities>();
    e->set_read_subset(true);
    e->set_html(true);
    return e;
  }();
  const auto with = [&](bool attributes, bool declared) {
    return ReadOptions{.attributes = attributes, .entities = declared ? entities : nullptr};
  };
  // Split points from every record to every few hundred bytes.
  check_splits(doc, p, 1 + (data[1] >> 5) * 37, with((data[0] & 0x20) != 0, (data[0] & 0x40) != 0));
  check_until(doc, p, (static_cast<std::uint64_t>(data[0]) * 131 + data[1]) % (doc.size() + 1),
              with((data[1] & 0x10) != 0, (data[0] & 0x80) != 0));
  return 0;
}
