// The event loop of nested reading: records go whole to a NestedSink, which
// finds their shapes or builds their values. Reading, record boundaries,
// ranges and split points are the flat loop's own.
#include <cstring>

#include "xmlstream/attributes.h"
#include "xmlstream/batch.h"
#include "xmlstream/encoding.h"
#include "xmlstream/entities.h"
#include "xmlstream/nested.h"
#include "xmlstream/text.h"

namespace qk::xml {

// Decodes the event's bytes onto the sink's text, resolving references for
// character data (not CDATA).
bool XmlBatchInner::nested_text(bool resolve, XmlStreamError& err) {
  if (!nested_->wants_text() && reader_->text_is_utf8()) {
    // Only whether it is blank matters: plain ASCII says so at once. Text
    // errors are the reading pass's to report, as for a flat discovery.
    bool plain = true, blank = true;
    for (const char c : ev_) {
      const auto b = static_cast<unsigned char>(c);
      if (b >= 0x80 || c == '&') {
        plain = false;
        break;
      }
      blank = blank && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    }
    if (plain) {
      if (!blank) nested_->nonblank_text();
      return true;
    }
  }
  std::string& text = nested_->text();
  const std::size_t mark = text.size();
  const Scan scan = scan_piece(ev_);
  bool amp = scan.amp;
  if (reader_->text_is_utf8() && (!scan.high || enc::valid_utf8(ev_))) {
    text.append(ev_);
  } else if (reader_->decode(ev_, text, err)) {
    amp = std::memchr(text.data() + mark, '&', text.size() - mark) != nullptr;
  } else {
    text.resize(mark);
    return false;
  }
  if (resolve && amp && !resolve_here(text, mark, err)) {
    text.resize(mark);
    return false;
  }
  return true;
}

// The element of `tag` (its qualified name, `name_size` bytes, then its raw
// attributes) opens, with its attributes when they are read. Inside a
// whole-text element only the depth is kept.
bool XmlBatchInner::nested_open(std::string_view tag, std::size_t name_size, bool empty, XmlStreamError& err) {
  ++nested_depth_;
  if (nested_gather_) {
    ++nested_gather_;
    return true;
  }
  // Shapes and arrays are walked recursively, so their depth is bounded.
  if (nested_depth_ > kMaxNestedDepth) {
    err = XmlStreamError{XmlStreamError::Kind::Xml,
                         "a record nested deeper than " + std::to_string(kMaxNestedDepth) +
                             " elements, the most nested reading takes (text_of= reads an element whole)"};
    reader_->locate(err);
    return false;
  }
  // Field names are UTF-8, whatever the document's encoding.
  const std::string_view local = local_name_in(utf8_name(tag.substr(0, name_size), decoded_name_), nested_name_);
  if (!nested_->open(local, err)) {
    reader_->locate(err);
    return false;
  }
  const auto& text_of = nested_->options().text_of;
  if (!text_of.empty() && text_of.count(std::string(local))) nested_gather_ = 1;
  if (!opts_.read.attributes) return true;
  reader_->mark_tag(tag.size(), empty);
  tokenize_attributes(tag, name_size, true, attrs_);
  for (const Attribute& at : attrs_.items) {
    if (is_namespace_declaration(at.name)) continue;
    attr_value_.clear();
    bool ok = true;
    if (reader_->text_is_utf8() && (!at.high || enc::valid_utf8(at.raw))) attr_value_.append(at.raw);
    else ok = reader_->decode(at.raw, attr_value_, err);
    if (ok && at.amp) ok = resolve_here(attr_value_, 0, err);
    if (!ok) {
      err.text = "attribute " + std::string(at.name) + " of <" + std::string(tag.substr(0, name_size)) +
                 ">: " + err.text;
      return false;
    }
    attr_arena_.clear();
    local_name_append(utf8_name(at.name, attr_name_), attr_arena_);
    if (!nested_->attribute(attr_arena_, attr_value_, err)) {
      reader_->locate(err);
      return false;
    }
  }
  if (attrs_.error) {
    err = XmlStreamError{XmlStreamError::Kind::Xml, std::string(attrs_.error) + " in tag <" +
                                                        std::string(tag.substr(0, name_size)) + ">"};
    reader_->locate(err);
    return false;
  }
  return true;
}

template <bool kStops>
XmlBatchInner::Step XmlBatchInner::run_nested(XmlStreamError& err) {
  // The record in progress is lost with the error, so reading ends there.
  const auto fail = [&] {
    nested_->abandon();
    nested_depth_ = nested_gather_ = 0;
    finished_ = true;
    return Step::Error;
  };
  const auto close = [&]() -> bool {
    --nested_depth_;
    if (nested_gather_ && --nested_gather_ != 0) return true;
    if (nested_->close(err)) return true;
    reader_->locate(err);
    return false;
  };
  // Inside a record, the reader's tag walk hands the record's tags (and
  // text the sink needs) straight to the handlers below, without a
  // read_event call each; it stops at anything else, which comes as events.
  // Attributes need the whole tag, and a reading that skips faulty records
  // the events' own marks. A sink that skips text by where it stands (the
  // shape pass without types) is asked at each piece: the walk lends text
  // unread, so passing over it costs no more than discarding it.
  const bool walks = !opts_.read.attributes && !opts_.read.skip;
  struct Walk final : Reader::EventSink {
    XmlBatchInner& in;
    XmlStreamError& err;
    decltype(close)& close_one;
    std::ptrdiff_t opened = 0;
    Walk(XmlBatchInner& i, XmlStreamError& e, decltype(close)& c) : in(i), err(e), close_one(c) {}
    bool on(Event ev, std::string_view bytes) override {
      switch (ev) {
        case Event::Text:
          if (!in.nested_->needs_text()) return true;
          in.ev_ = bytes;
          return in.nested_text(true, err);
        case Event::Start:
          ++opened;
          return in.nested_open(bytes, bytes.size(), false, err);
        case Event::Empty:
          return in.nested_open(bytes, bytes.size(), true, err) && close_one();
        case Event::End:
          --opened;
          return close_one();
        default:
          return true;
      }
    }
  };
  bool walked_end = false;
  const auto walk = [&]() -> bool {
    if (!walks || nested_depth_ == 0) return true;
    // The record's start tag was read while nothing was open, its text
    // discarded; a sink that wants text needs all of it.
    if (discarding_) reader_->set_discard_content(discarding_ = false);
    Walk w(*this, err, close);
    bool failed = false;
    walked_end = reader_->skim_events(reader_->open_depth() + 1 - nested_depth_, w, failed);
    follow_walk(w.opened);
    return !failed;
  };
  while (true) {
    Event ev;
    if (walked_end) {
      walked_end = false;
      ev = Event::End;
    } else {
      buf_.clear();
      // Text outside records, or that the sink has no use for, is skipped
      // unread; its faults are the reading pass's to report.
      const bool discard = nested_depth_ == 0 || !nested_->needs_text();
      if (discarding_ != discard) reader_->set_discard_content(discarding_ = discard);
      if (!reader_->read_event(buf_, ev, err)) return fail();
      ev_ = buf_;
    }
    RecordRule::Role role;
    switch (ev) {
      case Event::Start:
      case Event::Empty: {
        const std::size_t name_size = reader_->last_name_size();
        const std::string_view name = utf8_name(std::string_view(buf_).substr(0, name_size), decoded_name_);
        role = ev == Event::Start ? rule_.start(name) : rule_.empty(name);
        if (role == RecordRule::Role::Outside) break;
        if constexpr (kStops) {
          if (opts_.read.skip && role == RecordRule::Role::Record) note_record_start(ev == Event::Empty);
        }
        if (!nested_open(buf_, name_size, ev == Event::Empty, err)) return fail();
        if (ev == Event::Start) {
          if (!walk()) return fail();
          break;
        }
      }
        [[fallthrough]];
      case Event::End:
        if (ev == Event::End) role = rule_.end();
        if (role == RecordRule::Role::Outside) break;
        if (!close()) return fail();
        if (role == RecordRule::Role::Record) {
          ++row_count_;
          if (record_done<kStops>()) return finished_ && !range_end_ok(err) ? Step::Error : Step::Batch;
        } else if (!walk()) {
          return fail();
        }
        break;
      case Event::Text:
      case Event::CData:
        if (nested_depth_ != 0 && !nested_text(ev == Event::Text, err)) return fail();
        break;
      case Event::Eof:
        if (opts_.read.check_end && !end_ok(err)) return fail();
        if (row_count_ == 0) {
          finished_ = true;
          return Step::Finished;
        }
        return Step::Batch;
      case Event::Comment:
      case Event::Decl:
      case Event::PI:
      case Event::DocType:
        break;
    }
  }
}

template XmlBatchInner::Step XmlBatchInner::run_nested<false>(XmlStreamError&);
template XmlBatchInner::Step XmlBatchInner::run_nested<true>(XmlStreamError&);

}  // namespace qk::xml
