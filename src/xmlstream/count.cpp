// Counting records without building them.
#include "xmlstream/count.h"

#include <algorithm>
#include <memory>
#include <string>

#include "xmlstream/record_rule.h"
#include "xmlstream/split.h"

namespace qk::xml {

bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       const Interrupt* interrupt, std::size_t chunk) {
  std::unique_ptr<Reader> reader = Reader::open(path, err, chunk);
  if (!reader) return false;
  reader->set_interrupt(interrupt);
  return count_records(*reader, count, err);
}

bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err) {
  std::vector<SplitPoint> none;
  return count_records(reader, count, err, 0, 1, none);
}

bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err, std::uint64_t split_every,
                   std::uint64_t split_align, std::vector<SplitPoint>& splits, std::uint64_t until,
                   std::shared_ptr<const RecordPaths> paths) {
  // No text is ever looked at here, so none of it needs buffering.
  reader.set_discard_content(true);
  std::string buf;
  buf.reserve(4096);
  RecordRule rule(reader.open_depth());
  std::string scratch;
  if (paths) {
    std::vector<std::string> open;
    for (std::size_t i = 0; i < reader.open_depth(); ++i)
      open.emplace_back(reader.utf8_name(reader.open_name(i), scratch));
    rule = RecordRule(paths, open);
  }
  std::uint64_t records = 0;
  const std::uint64_t align = split_align == 0 ? 1 : split_align;
  std::uint64_t next_split = split_every == 0 ? UINT64_MAX : reader.stream_offset() + split_every;
  // Paced as XmlBatchInner::take_split paces them; true at `until`, whose
  // point is noted too.
  const auto record = [&] {
    ++records;
    const bool paced = reader.stream_offset() >= next_split && records % align == 0;
    const bool stop = until != UINT64_MAX && reader.file_offset() >= until;
    if (!paced && !stop) return false;
    SplitPoint& at = splits.emplace_back();
    reader.split_here(at);
    at.records = records;
    if (paced) {
      const std::uint64_t every = enc::is_utf16(*at.encoding) ? split_every / 2 : split_every;
      next_split = reader.stream_offset() + std::max<std::uint64_t>(every, 1);
    }
    return stop;
  };
  // The event's bytes, left in the reader's window where they can be: no
  // tag is copied only to be counted. Only chosen records look at names.
  std::string_view bytes;
  const auto name = [&] {
    return rule.named() ? reader.utf8_name(bytes.substr(0, reader.last_name_size()), scratch) : std::string_view();
  };
  while (true) {
    buf.clear();
    Event ev;
    if (!reader.read_event(buf, bytes, ev, err)) return false;
    switch (ev) {
      case Event::Start:
        // Nothing inside a record changes the count, so the reader runs
        // through it without a call per event.
        if (rule.start(name()) != RecordRule::Role::Record) break;
        if (!reader.skip_element(ev, err)) return false;
        if (ev == Event::Eof) {
          count = records;
          return true;
        }
        if (rule.end() == RecordRule::Role::Record && record()) {
          count = records;
          return true;
        }
        break;
      case Event::End:
        if (rule.end() == RecordRule::Role::Record && record()) {
          count = records;
          return true;
        }
        break;
      case Event::Empty:
        if (rule.empty(name()) == RecordRule::Role::Record && record()) {
          count = records;
          return true;
        }
        break;
      case Event::Eof:
        count = records;
        return true;
      default:
        break;
    }
  }
}

}  // namespace qk::xml
