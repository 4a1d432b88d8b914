// Pull reader for XML files: events, the document's decoder, and errors.
//
// This header is the contract between the reader and its users (the record
// iterator, the record counter, native tests and the fuzz target). It
// includes no Python header so the whole XML core can be built and fuzzed
// natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xmlstream/errors.h"

namespace qk::xml {

struct SplitPoint;
class Entities;

// Event kinds, in the order the subsystem numbers them.
enum class Event : std::uint8_t {
  Start,    // bytes: qualified name then raw, unparsed attributes (no '<', '>')
  End,      // bytes: qualified name, trailing whitespace trimmed
  Empty,    // bytes: as Start, without the final '/'
  Text,     // bytes: raw text between markup, untrimmed, references unresolved; never empty
  CData,    // bytes: raw content between <![CDATA[ and ]]>
  Comment,  // bytes: content between <!-- and -->
  Decl,     // bytes: content between <? and ?> of an XML declaration ("xml version=...")
  PI,       // bytes: content between <? and ?>
  DocType,  // bytes: content after <!DOCTYPE
  Eof,      // nothing; delivered for ever once the input has ended
};

class Reader {
 public:
  static constexpr std::size_t kReadBufferSize = 8192;

  // Opens `path` read-only with close-on-exec. Reads nothing. On failure
  // returns null and fills `err` (Kind::Io). A path holding NUL is refused
  // before the system is asked. `chunk` (1..8192) caps each read, so tests
  // can feed the parser in every split.
  static std::unique_ptr<Reader> open(std::string_view path, XmlStreamError& err,
                                      std::size_t chunk = kReadBufferSize);

  // A reader over bytes in memory, for tests and fuzzing.
  static std::unique_ptr<Reader> from_bytes(std::string data,
                                            std::size_t chunk = kReadBufferSize);
  // A reader over bytes it does not own; `keep` holds them alive as long as
  // the reader lives.
  static std::unique_ptr<Reader> from_view(std::string_view data, std::shared_ptr<const void> keep,
                                           std::size_t chunk = kReadBufferSize);
  // A reader pulling its bytes from `callback`, whose context `keep` holds
  // alive as long as the reader lives. Its input cannot be read again, so
  // error positions give the byte alone.
  static std::unique_ptr<Reader> from_callback(ReadCallback callback, std::shared_ptr<const void> keep,
                                               std::size_t chunk = kReadBufferSize);

  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the next event, appending its bytes to `buf` (the caller empties
  // it between events and so keeps its capacity). Returns false with `err`
  // filled (Kind::Xml) on a read failure, a syntax error or an ill-formed
  // document; the reader's state afterwards follows the reader's contract
  // (done after read/syntax errors, usable after end-name/DOCTYPE errors).
  bool read_event(std::string& buf, Event& ev, XmlStreamError& err);
  // The same, but the event's bytes may be left in the reader's window
  // rather than appended to `buf`: `bytes` gets them either way, valid until
  // the next call. For a caller that copies them on anyway, a copy fewer.
  bool read_event(std::string& buf, std::string_view& bytes, Event& ev, XmlStreamError& err);

  // After a Start event: reads on through the end tag that closes its
  // element (ev = End), or to the end of input (ev = Eof), with every check
  // read_event makes, delivering nothing in between. For a caller that only
  // needs to know where an element ends, such as a counter: the events
  // inside cost no call each. Returns false as read_event does.
  bool skip_element(Event& ev, XmlStreamError& err);

  // For a caller that needs the names of the tags inside an element and no
  // text: consumes tags as skip_element does, those lying wholly in the
  // window, appending for each `open`, the size of its qualified name (four
  // bytes, native order) and the name (a start tag), `close` (an end tag)
  // or both (an empty-element tag), until the end tag
  // that leaves fewer than `depth` elements open, consumed without a mark
  // (true), or anything else: other markup, text the caller must see, the
  // window's end, or time to poll (false; read_event goes on from there).
  // `opened` gets the elements opened less those closed. Text in between
  // is passed over unchecked, as while content is discarded.
  bool skim_names(std::size_t depth, std::string& shape, char open, char close, std::ptrdiff_t& opened);

  // The same walk delivering what read_event would deliver of it, to a
  // caller that takes each event as it comes: Text (its bytes, in the
  // window, marked for errors as read_event marks it), Start and Empty
  // (the qualified name) and End (no bytes), through `sink`, but for the
  // end tag that leaves fewer than `depth` elements open, consumed without
  // a call (true). Stops where skim_names stops (false), or when `sink`
  // returns false (false, with `failed` set, that event consumed as
  // read_event consumes it, so reading may go on). While content is
  // discarded, text is passed over without a call.
  struct EventSink {
    virtual bool on(Event ev, std::string_view bytes) = 0;

   protected:
    ~EventSink() = default;
  };
  bool skim_events(std::size_t depth, EventSink& sink, bool& failed);

  // After a Start or Empty event: the size of its qualified name, the bytes
  // `tag_name` would find at the start of the event's bytes. The reader
  // scans the name anyway, so callers need not scan it again. Unspecified
  // after other events.
  std::size_t last_name_size() const;

  // While on, Text and CData events are consumed without being buffered or
  // delivered at all, and Comment/PI/DocType events arrive with empty bytes,
  // so character data nobody looks at costs no memory. All checks still
  // apply. Off by default.
  void set_discard_content(bool on);

  // Right after a Start or Empty event, given the size of its bytes: makes
  // position() point at its tag, for a caller that finds errors in the
  // tag's attributes. The reader marks only events it may report errors in
  // itself, which saves a store for every tag.
  void mark_tag(std::size_t tag_bytes, bool empty);

  // The interrupt asked before long work, or null for none; it must outlive
  // its use. Off by default.
  void set_interrupt(const Interrupt* interrupt);

  // Decodes bytes of the document's current encoding to UTF-8, appending to
  // `out`. A malformed sequence is an error (Kind::Xml); nothing is replaced.
  bool decode(std::string_view bytes, std::string& out, XmlStreamError& err);

  // Where the last event began, for an error found in its bytes: " at line
  // L, byte B" (offsets in the file's own bytes, UTF-16 included), or
  // " at byte B" when the file cannot be read again to count lines.
  std::string position();
  // Appends position() to the error's text and notes its offset in `at`.
  void locate(XmlStreamError& err);
  // Decoding errors in a document whose declared encoding is not one known
  // here (so it was read as UTF-8) say so first. Off by default.
  void explain_encoding() { explain_encoding_ = true; }
  // The same for a file offset of the caller's (the end of the input).
  std::string position_at(std::uint64_t at);
  // Whether the input has ended (every later read delivers Eof), and
  // whether it held any element before.
  bool at_end() const;
  bool any_element() const;
  // The offset in the file's own bytes where the last event began: how far
  // reading has got, for progress.
  std::uint64_t offset() const;

  // A name from the document's bytes (a tag's, or an open element's) as
  // UTF-8: the bytes themselves while text arrives as UTF-8, else decoded
  // into `scratch`. Bytes that do not decode are returned as they are.
  std::string_view utf8_name(std::string_view raw, std::string& scratch);

  // True while the document's text arrives as UTF-8 already (UTF-8
  // documents, and UTF-16 ones transcoded as they are read): `decode` then
  // only checks the bytes and appends them unchanged, so a caller may check
  // them in place with enc::valid_utf8 and use them as they are, leaving
  // `decode` to report an invalid piece.
  bool text_is_utf8() const;

  // Split points (see split.h). After an End or Empty event: the state a
  // reader resumed at the next byte needs. `records` is left to the caller.
  void split_here(SplitPoint& out) const;
  // Consumed bytes, cheap to ask for each record (see Source::stream_offset).
  std::uint64_t stream_offset() const;
  // The file offset of the first byte not consumed yet.
  std::uint64_t file_offset() const;
  // Before the first event: reads on from `at`, of the same file, as the
  // reader that took it would have. False with `err` filled (Kind::Io)
  // when the input cannot be read from there.
  bool resume(const SplitPoint& at, XmlStreamError& err);
  // Elements open now, and the qualified name of the `i`th (outermost
  // first; valid until the next event).
  std::size_t open_depth() const;
  std::string_view open_name(std::size_t i) const;

  // Entities beyond the predefined ones (see entities.h), copied: with
  // `given.read_subset()`, the reader also reads the declarations of its
  // document's internal subset (the first DOCTYPE's), keeping its bytes even
  // while content is discarded, and its split points carry them. Set before
  // the first event, before or after resume. Never set, every such name is
  // an error, and DOCTYPEs are skipped unread.
  void set_entities(const Entities& given);
  // The reader's entities, for resolving text, or null when never set.
  Entities* entities();

  struct Impl;

 private:
  explicit Reader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  // Asks the interrupt; false with `err` filled when it says stop.
  bool poll(XmlStreamError& err);
  // Events are short, so asking the interrupt before each would cost more
  // than the events; every few thousand is soon enough.
  static constexpr std::uint32_t kEventsPerPoll = 4096;
  std::uint32_t events_until_poll_ = kEventsPerPoll;
  bool explain_encoding_ = false;
};

// The qualified name at the start of a Start or Empty event's bytes.
std::string_view tag_name(std::string_view tag_bytes);

}  // namespace qk::xml
