// Counting records without building them.
#include "xmlstream/count.h"

#include <memory>
#include <string>

#include "xmlstream/record_rule.h"

namespace qk::xml {

bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       const Interrupt* interrupt, std::size_t chunk) {
  std::unique_ptr<Reader> reader = Reader::open(path, err, chunk);
  if (!reader) return false;
  reader->set_interrupt(interrupt);
  return count_records(*reader, count, err);
}

bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err) {
  // No text is ever looked at here, so none of it needs buffering.
  reader.set_discard_content(true);
  std::string buf;
  buf.reserve(4096);
  RecordRule rule;
  std::uint64_t records = 0;
  while (true) {
    buf.clear();
    Event ev;
    if (!reader.read_event(buf, ev, err)) return false;
    switch (ev) {
      case Event::Start:
        rule.start();
        break;
      case Event::End:
        if (rule.end() == RecordRule::Role::Record) ++records;
        break;
      case Event::Empty:
        if (rule.empty() == RecordRule::Role::Record) ++records;
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
