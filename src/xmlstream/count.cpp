// Counting records without building them.
#include "xmlstream/records.h"

namespace qk::xml {

bool count_xml_records(std::string_view path, std::uint64_t& count, XmlStreamError& err,
                       std::size_t chunk) {
  std::unique_ptr<Reader> reader = Reader::open(path, err, chunk);
  return reader && count_records(*reader, count, err);
}

bool count_records(Reader& reader, std::uint64_t& count, XmlStreamError& err) {
  // No text is ever looked at here, so none of it needs buffering.
  reader.set_discard_content(true);
  std::string buf;
  buf.reserve(4096);
  std::uint64_t depth = 0, records = 0;
  while (true) {
    buf.clear();
    Event ev;
    if (!reader.read_event(buf, ev, err)) return false;
    switch (ev) {
      case Event::Start:
        ++depth;
        break;
      case Event::End:
        if (depth == 0) break;  // the reader rejects such a tag; keep the count sane
        if (--depth == 1) ++records;
        break;
      case Event::Empty:
        if (depth == 1) ++records;
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
