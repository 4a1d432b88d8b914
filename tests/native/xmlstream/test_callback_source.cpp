// Readers over a caller's callback and over borrowed bytes: the same events
// and errors as over owned bytes, whatever sizes the callback hands back.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/reader.h"

namespace {

using qk::xml::Event;
using qk::xml::ReadCallback;
using qk::xml::Reader;
using qk::xml::XmlStreamError;

// Serves `doc` at most `step` bytes a call; fails (-1) once `fail_at` bytes
// are served, or hands back more than asked when `overfill` is set.
struct Feed {
  std::string doc;
  std::size_t step = 1;
  std::size_t at = 0;
  std::size_t fail_at = std::string::npos;
  bool overfill = false;
  int calls = 0;

  static long read(void* self, char* dst, std::size_t size) {
    auto& f = *static_cast<Feed*>(self);
    ++f.calls;
    if (f.at >= f.fail_at) return -1;
    if (f.overfill) return static_cast<long>(size) + 1;
    const std::size_t n = std::min({size, f.step, f.doc.size() - f.at});
    f.doc.copy(dst, n, f.at);
    f.at += n;
    return static_cast<long>(n);
  }
};

// Every event as "Kind:bytes", then the error text if reading failed.
std::string trace(Reader& r) {
  std::string out, buf;
  for (;;) {
    buf.clear();
    Event ev;
    XmlStreamError err;
    if (!r.read_event(buf, ev, err)) return out + "ERROR:" + err.text;
    out += std::to_string(static_cast<int>(ev)) + ":" + buf + "|";
    if (ev == Event::Eof) return out;
  }
}

std::unique_ptr<Reader> over(Feed& feed) {
  return Reader::from_callback(ReadCallback{&Feed::read, &feed}, nullptr);
}

const std::vector<std::string> kDocs = {
    "<?xml version=\"1.0\"?>\n<r a='1'><x>t &amp; u</x><!-- c --><![CDATA[<y>]]><e/></r>\n",
    std::string("<r>") + std::string(300000, 'x') + "</r>",  // text across many pulls
    "\xEF\xBB\xBF<r>\n<a>1</b></r>",                          // a byte-order mark, then an error
    std::string("\xFF\xFE<\0r\0>\0<\0/\0r\0>\0", 16),         // UTF-16
};

}  // namespace

TEST(callback_source_gives_the_events_of_owned_bytes_for_any_read_size) {
  for (const std::string& doc : kDocs) {
    auto want = trace(*Reader::from_bytes(doc));
    // Errors from a callback give the byte alone: the input cannot be read again.
    const std::string want_no_line = check::without_position(want);
    for (std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{4096},
                             std::size_t{1} << 20}) {
      Feed feed{doc, step};
      const std::string got = trace(*over(feed));
      CHECK_EQ(check::without_position(got), want_no_line);
      CHECK(got.find(" at line ") == std::string::npos);
    }
  }
}

TEST(callback_source_failure_is_a_read_error_and_the_callback_is_not_asked_again) {
  Feed feed{std::string("<r>") + std::string(100000, 'x') + "</r>", 4096};
  feed.fail_at = 50000;
  auto reader = over(feed);
  const std::string got = trace(*reader);
  CHECK_EQ(check::without_position(got.substr(got.find("ERROR:"))), std::string("ERROR:failed to read file: the input's read failed"));
  const int calls = feed.calls;
  std::string buf;
  Event ev;
  XmlStreamError err;
  CHECK(!reader->read_event(buf, ev, err) || ev == Event::Eof);
  CHECK_EQ(feed.calls, calls);
}

TEST(callback_source_handing_back_more_than_asked_is_a_read_error) {
  Feed feed{"<r/>", 1};
  feed.overfill = true;
  const std::string got = trace(*over(feed));
  CHECK(got.find("ERROR:failed to read file") != std::string::npos);
}

TEST(view_source_reads_borrowed_bytes_and_keeps_their_owner_alive) {
  auto owner = std::make_shared<const std::string>("<r>\n<a>1</b></r>");
  auto reader = Reader::from_view(*owner, owner);
  CHECK_EQ(owner.use_count(), 2L);
  const std::string got = trace(*reader);
  CHECK_EQ(got, trace(*Reader::from_bytes(*owner)));
  CHECK(got.find(" at line 2, byte ") != std::string::npos);  // bytes can be read again
  reader.reset();
  CHECK_EQ(owner.use_count(), 1L);
}
