// The pull reader's tokenizer: it scans the source's window (scan.h) and
// copies each event's bytes into the caller's buffer. The source (source.h)
// fills the window from a file or memory, transcoding UTF-16 on the way.
//
// The tokenizer never needs a whole event in the window: it copies what it
// has scanned before asking for more input, so the window only ever carries
// a few bytes of lookahead across refills and memory stays flat however
// large a text, comment or tag is.
#include "xmlstream/reader.h"

#include <optional>

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "xmlstream/encoding.h"
#include "xmlstream/entities.h"
#include "xmlstream/scan.h"
#include "xmlstream/source.h"
#include "xmlstream/split.h"

static_assert(qk::xml::Source::kMaxChunk == qk::xml::Reader::kReadBufferSize,
              "the source reads in the pieces the reader promises its users");

namespace qk::xml {

using namespace scan;  // the scanners are this file's vocabulary

namespace {

// Value of the `encoding` pseudo-attribute of an XML declaration's content.
bool declared_label(std::string_view d, std::string_view& label) {
  for (std::size_t at = d.find("encoding"); at != std::string_view::npos; at = d.find("encoding", at + 1)) {
    if (at == 0 || !is_ws(d[at - 1])) continue;
    std::size_t i = at + 8;
    while (i < d.size() && is_ws(d[i])) ++i;
    if (i >= d.size() || d[i] != '=') continue;
    ++i;
    while (i < d.size() && is_ws(d[i])) ++i;
    if (i >= d.size() || (d[i] != '"' && d[i] != '\'')) continue;
    std::size_t close = d.find(d[i], i + 1);
    if (close == std::string_view::npos) return false;
    label = d.substr(i + 1, close - i - 1);
    return true;
  }
  return false;
}

std::string quoted_end(std::string_view name) {
  std::string s = "`</";
  enc::append_printable(s, name);
  s += ">`";
  return s;
}

}  // namespace

std::string_view tag_name(std::string_view tag_bytes) {
  std::size_t i = 0;
  while (i < tag_bytes.size() && !is_ws(tag_bytes[i])) ++i;
  return tag_bytes.substr(0, i);
}

// ---------------------------------------------------------------------------
// Tokenizer

struct Reader::Impl {
  enum class State : std::uint8_t { Initial, Text, Markup, Done };
  enum class Step : std::uint8_t { Delivered, Skipped, Failed };

  explicit Impl(std::size_t chunk_size)
      : src(chunk_size), blocks(new Block[(Source::kWindowSize + 63) / 64 + 1]), classify(active_classifier()) {}

  Source src;

  // The window's structural index: valid while `indexed` is the source's
  // generation, its blocks then ending in a sentinel (see next_bit).
  std::unique_ptr<Block[]> blocks;
  std::uint64_t indexed = UINT64_MAX;
  ClassifyFn classify;

  State state = State::Initial;
  bool discard = false;

  const Interrupt* interrupt = nullptr;
  bool interrupted(bool urgent) const {
    return interrupt != nullptr && interrupt->stop(interrupt->context, urgent);
  }

  NameStack names;  // of the open elements, innermost last
  std::size_t name_size = 0;  // of the last Start or Empty tag
  bool top_empty = false;     // an empty-element tag was read outside every element

  const enc::Encoding* encoding = &enc::utf8();
  bool encoding_declared = false;
  enc::Decoder decoder;

  // Entities beyond the predefined ones, this reader's own (its document's
  // declarations join them); null when there are none to know.
  std::unique_ptr<Entities> entities;
  // The document's internal subset in UTF-8, once read (or given by a split
  // point): a reader resumed past the DOCTYPE learns its declarations from it.
  std::shared_ptr<const std::string> subset;

  // The encoding the XML declaration named when no decoder here knows it:
  // the document is then read as UTF-8.
  std::string unsupported;

  // --- errors --------------------------------------------------------------

  Step fail(XmlStreamError& err, std::string text, bool fatal) {
    if (fatal) state = State::Done;
    err.kind = XmlStreamError::Kind::Xml;
    err.text = std::move(text);
    err.text += position();
    err.at = src.mark_offset();
    return Step::Failed;
  }

  // Where the event being read began: " at line L, byte B", or only the
  // byte where the file cannot be read again to count lines (a pipe).
  std::string position() { return position_at(src.mark_offset()); }
  std::string position_at(std::uint64_t at) {
    const std::optional<std::uint64_t> line = src.line_of(at);
    std::string s = " at ";
    if (line) s += "line " + std::to_string(*line) + ", ";
    return s + "byte " + std::to_string(at);
  }

  // Input ended inside markup: a read failure if that is why, else a syntax error.
  Step cut_off(XmlStreamError& err, const char* where) {
    if (src.stopped()) return stopped(err, true, false);
    if (src.read_failed()) return read_failed(err);
    return fail(err, std::string("unexpected end of file ") + where, true);
  }

  // The interrupt said stop. Between events, or in text, nothing is lost
  // but the text read so far, and reading goes on from here; inside other
  // markup the construct cannot be resumed, so reading ends.
  Step stopped(XmlStreamError& err, bool mid_event, bool resumable) {
    src.clear_stopped();
    if (!resumable) state = State::Done;
    err = {XmlStreamError::Kind::Interrupted, {}, mid_event};
    return Step::Failed;
  }

  Step read_failed(XmlStreamError& err) {
    state = State::Done;
    err = {XmlStreamError::Kind::Xml, "failed to read file: " + src.read_error(), false};
    return Step::Failed;
  }

  // --- scanning ------------------------------------------------------------

  // Consumes text up to the next '<', which stays unconsumed; false when the
  // input ends first.
  bool scan_text(std::string* out) {
    for (;;) {
      const char* s = src.win.get() + src.pos;
      const char* lt = find1(s, src.win.get() + src.end, '<');
      std::size_t stop = lt ? static_cast<std::size_t>(lt - src.win.get()) : src.end;
      if (out) out->append(s, stop - src.pos);
      src.pos = stop;
      if (lt) return true;
      // Text can run on for gigabytes, so each refill may be the caller's
      // chance to stop.
      if (interrupted(false)) {
        src.stop();
        return false;
      }
      if (!src.more()) return false;
    }
  }

  // Consumes through the next '>', appending the bytes before it.
  bool scan_to_gt(std::string& out) {
    for (;;) {
      const char* s = src.win.get() + src.pos;
      const char* e = src.win.get() + src.end;
      if (const char* gt = find1(s, e, '>')) {
        out.append(s, static_cast<std::size_t>(gt - s));
        src.pos = static_cast<std::size_t>(gt + 1 - src.win.get());
        return true;
      }
      out.append(s, static_cast<std::size_t>(e - s));
      src.pos = src.end;
      if (!src.more()) return false;
    }
  }

  // Consumes a start or empty-element tag through its '>'. A '>' inside a
  // quoted attribute value does not end the tag.
  bool scan_tag(std::string& out) {
    char quote = 0;
    for (;;) {
      const char* s = src.win.get() + src.pos;
      const char* e = src.win.get() + src.end;
      const char* p = s;
      while (p < e) {
        if (quote) {
          if (!(p = find1(p, e, quote))) break;
          quote = 0;
          ++p;
        } else {
          if (!(p = find3(p, e, '>', '"', '\''))) break;
          if (*p == '>') {
            out.append(s, static_cast<std::size_t>(p - s));
            src.pos = static_cast<std::size_t>(p + 1 - src.win.get());
            return true;
          }
          quote = *p++;
        }
      }
      out.append(s, static_cast<std::size_t>(e - s));
      src.pos = src.end;
      if (!src.more()) return false;
    }
  }

  // Consumes through the first `term` (2 or 3 bytes ending in '>'),
  // appending the content before it to *out when out is set. Terminator
  // bytes that were consumed before a refill are matched through `tail`,
  // the last content bytes seen, and taken back out of *out.
  bool scan_to(std::string* out, const char* term, std::size_t tlen) {
    const std::size_t k = tlen - 1;  // terminator bytes before its '>'
    char tail[2];
    std::size_t tail_len = 0;
    for (;;) {
      const char* s = src.win.get() + src.pos;
      const char* e = src.win.get() + src.end;
      for (const char* p = s; (p = find1(p, e, '>')) != nullptr; ++p) {
        const std::size_t here = static_cast<std::size_t>(p - s);
        bool match = true;
        for (std::size_t i = 1; i <= k && match; ++i) {
          if (i <= here)
            match = p[-static_cast<std::ptrdiff_t>(i)] == term[k - i];
          else
            match = i - here <= tail_len && tail[tail_len - (i - here)] == term[k - i];
        }
        if (match) {
          std::size_t from_tail = k > here ? k - here : 0;
          if (out) {
            out->resize(out->size() - from_tail);
            out->append(s, here - (k - from_tail));
          }
          src.pos = static_cast<std::size_t>(p + 1 - src.win.get());
          return true;
        }
      }
      const std::size_t n = static_cast<std::size_t>(e - s);
      if (out) out->append(s, n);
      if (n >= k) {
        std::memcpy(tail, e - k, k);
        tail_len = k;
      } else if (n == 1) {  // so k == 2: shift the byte in
        if (tail_len == 2) tail[0] = tail[1];
        tail[tail_len == 0 ? 0 : 1] = *s;
        tail_len = tail_len == 0 ? 1 : 2;
      }
      src.pos = src.end;
      if (!src.more()) return false;
    }
  }

  // Consumes a DOCTYPE declaration after `<!DOCTYPE` through the '>' that
  // closes it. Quoted literals, and comments and PIs in the internal subset,
  // may hold ']' and '>' that end nothing. DOCTYPEs are small and rare, so
  // this walks byte by byte.
  bool scan_doctype(std::string* out, bool& has_name, std::size_t cap, bool& too_long) {
    enum class Dt : std::uint8_t { Out, OutQuote, Subset, SubsetQuote, Lt, LtBang, LtBangDash,
                                   Comment, CommentDash, CommentDashDash, Pi, PiQ };
    Dt st = Dt::Out;
    char quote = 0;
    bool seen = false;
    has_name = false;
    for (;;) {
      const char* s = src.win.get() + src.pos;
      const char* e = src.win.get() + src.end;
      const char* p = s;
      while (p < e) {
        char c = *p;
        if (!seen && !is_ws(c)) {
          seen = true;
          has_name = c != '>' && c != '[' && c != '"' && c != '\'';
        }
        bool again = false;  // re-read c in the subset after a '<' that opened nothing
        switch (st) {
          case Dt::Out:
            if (c == '>') {
              if (out) out->append(s, static_cast<std::size_t>(p - s));
              src.pos = static_cast<std::size_t>(p + 1 - src.win.get());
              return true;
            }
            if (c == '[') st = Dt::Subset;
            else if (c == '"' || c == '\'') quote = c, st = Dt::OutQuote;
            break;
          case Dt::OutQuote:
            if (c == quote) st = Dt::Out;
            break;
          case Dt::Subset:
            if (c == ']') st = Dt::Out;
            else if (c == '"' || c == '\'') quote = c, st = Dt::SubsetQuote;
            else if (c == '<') st = Dt::Lt;
            break;
          case Dt::SubsetQuote:
            if (c == quote) st = Dt::Subset;
            break;
          case Dt::Lt:
            if (c == '!') st = Dt::LtBang;
            else if (c == '?') st = Dt::Pi;
            else st = Dt::Subset, again = true;
            break;
          case Dt::LtBang:
            if (c == '-') st = Dt::LtBangDash;
            else st = Dt::Subset, again = true;
            break;
          case Dt::LtBangDash:
            if (c == '-') st = Dt::Comment;
            else st = Dt::Subset, again = true;
            break;
          case Dt::Comment:
            if (c == '-') st = Dt::CommentDash;
            break;
          case Dt::CommentDash:
            st = c == '-' ? Dt::CommentDashDash : Dt::Comment;
            break;
          case Dt::CommentDashDash:
            if (c == '>') st = Dt::Subset;
            else if (c != '-') st = Dt::Comment;
            break;
          case Dt::Pi:
            if (c == '?') st = Dt::PiQ;
            break;
          case Dt::PiQ:
            if (c == '>') st = Dt::Subset;
            else if (c != '?') st = Dt::Pi;
            break;
        }
        if (!again) ++p;
      }
      if (out) out->append(s, static_cast<std::size_t>(e - s));
      src.pos = src.end;
      if (out && out->size() > cap) {
        too_long = true;
        return false;
      }
      if (!src.more()) return false;
    }
  }

  // The internal subset of a DOCTYPE's content: between the first '[' outside
  // quoted literals and the last ']'; empty when there is none.
  static std::string_view internal_subset(std::string_view doctype) {
    char quote = 0;
    for (std::size_t i = 0; i < doctype.size(); ++i) {
      const char c = doctype[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        const std::size_t close = doctype.rfind(']');
        return close == std::string_view::npos || close < i ? std::string_view{} : doctype.substr(i + 1, close - i - 1);
      }
    }
    return {};
  }

  // Learns the declarations of the internal subset `raw` (in the document's
  // encoding).
  bool learn_subset(std::string_view raw, XmlStreamError& err) {
    auto text = std::make_shared<std::string>();
    std::string why;
    if (!decoder.decode(*encoding, raw, *text, why)) {
      fail(err, "in the DOCTYPE declaration: " + why, false);
      return false;
    }
    subset = std::move(text);
    if (!entities->add_declarations(*subset, Entities::Origin::Subset, why)) {
      fail(err, "in the DOCTYPE declaration: " + why, false);
      return false;
    }
    return true;
  }

  // --- encoding ------------------------------------------------------------

  void apply_declaration(std::string_view decl) {
    // A UTF-16 document was recognised from its first bytes and is already
    // transcoded; its declaration cannot change that.
    if (encoding_declared || src.transcoding()) return;
    std::string_view label;
    if (!declared_label(decl, label)) return;
    const enc::Encoding* e = enc::lookup_label(label);
    if (!e) {
      unsupported.assign(label);
      return;
    }
    // This document has just been read as ASCII-compatible bytes, so a
    // UTF-16 label is wrong about it; decoding its text as UTF-16 would
    // garble every value.
    if (enc::is_utf16(*e)) e = &enc::utf8();
    encoding = e;
    encoding_declared = true;
  }

  // --- events --------------------------------------------------------------

  // The common events, handled while their bytes lie wholly in the window:
  // text up to a '<', then a start, empty-element or matching end tag, a
  // comment or a CDATA section. They are scanned there, appended to `buf` in
  // one piece, and names are copied and compared from the window. Anything
  // else (other markup, an event crossing the window's end, a failing check)
  // changes nothing here and goes to the general path, which starts over
  // from the same state.
  //
  // With `lend` (null or not as a constant where this is inlined), the
  // event's bytes stay in the window, in *lend, instead of being appended to
  // `buf`. The caller's own local, not a member: a member written here in two
  // halves and read back whole right after stalls store forwarding, which
  // cost more than the rest of a short event.
  [[gnu::always_inline]] bool next(std::string& buf, Event& ev, XmlStreamError& err, std::string_view* lend) {
    for (;;) {
      const char* w = src.win.get();
      const char* e = w + src.end;
      // The first byte after the '<' that may end its tag ('>' or a quote),
      // when the 16 bytes loaded to find the '<' show it: short text and
      // the tag after it then cost one load, not two dependent searches.
      const char* first_end = nullptr;
      if (state == State::Text) {
        const char* s = w + src.pos;
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('<'))));
        const char* lt = m ? s + __builtin_ctz(m) : find1(std::min(s + 16, e), e, '<');
        if (!lt || lt >= e) return next_general(buf, ev, err);
        src.pos = static_cast<std::size_t>(lt - w);
        state = State::Markup;
        if (!discard && lt != s) {
          // Markup errors all come from the general path, which marks its
          // own events; only text delivered here can still fail (decoding,
          // references), so only it is marked, and a count marks nothing.
          src.mark(static_cast<std::size_t>(s - w));
          if (lend) *lend = {s, static_cast<std::size_t>(lt - s)};
          else buf.append(s, static_cast<std::size_t>(lt - s));
          ev = Event::Text;
          return true;
        }
        if (m) {
          const unsigned ends = static_cast<unsigned>(_mm_movemask_epi8(tag_ends(x))) & (~1u << __builtin_ctz(m));
          if (ends) first_end = s + __builtin_ctz(ends);
        }
      } else if (state != State::Markup) [[unlikely]] {
        return next_general(buf, ev, err);
      }
      const char* s = w + src.pos + 1;  // after the '<'
      if (s >= e) return next_general(buf, ev, err);
      const char* gt;
      if (*s == '/') {
        ++s;
        gt = first_end && first_end < e && *first_end == '>' ? first_end : find1(s, e, '>');
        if (!gt) return next_general(buf, ev, err);
        const char* name_end = gt;
        while (name_end > s && is_ws(name_end[-1])) --name_end;
        const std::size_t n = static_cast<std::size_t>(name_end - s);
        if (names.empty() || !names.top_is(s, n, true)) return next_general(buf, ev, err);
        names.pop();
        if (lend) *lend = {s, n};
        else buf.append(s, n);
        ev = Event::End;
      } else if (*s == '!') {
        const bool comment = e - s >= 3 && s[1] == '-' && s[2] == '-';
        const bool cdata = !comment && e - s >= 8 && std::memcmp(s + 1, "[CDATA[", 7) == 0;
        if (!comment && !cdata) return next_general(buf, ev, err);
        s += comment ? 3 : 8;
        if (!(gt = close_of(s, e, comment ? '-' : ']'))) return next_general(buf, ev, err);
        if (!discard) src.mark(src.pos);  // CDATA text may still fail to decode
        src.pos = static_cast<std::size_t>(gt + 1 - w);
        state = State::Text;
        if (!discard) {
          if (lend) *lend = {s, static_cast<std::size_t>(gt - 2 - s)};
          else buf.append(s, static_cast<std::size_t>(gt - 2 - s));
        } else if (cdata) {
          continue;  // consumed without a trace
        }
        ev = comment ? Event::Comment : Event::CData;
        return true;
      } else {
        if (*s == '?' || !(gt = tag_end_in(first_end ? first_end : s, e))) return next_general(buf, ev, err);
        if (gt > s && gt[-1] == '/') {
          name_size = ws_offset(s, gt - 1);
          top_empty |= names.empty();
          if (lend) *lend = {s, static_cast<std::size_t>(gt - 1 - s)};
          else buf.append(s, static_cast<std::size_t>(gt - 1 - s));
          ev = Event::Empty;
        } else {
          name_size = ws_offset(s, gt);
          names.push(s, name_size, true);
          if (lend) *lend = {s, static_cast<std::size_t>(gt - s)};
          else buf.append(s, static_cast<std::size_t>(gt - s));
          ev = Event::Start;
        }
      }
      src.pos = static_cast<std::size_t>(gt + 1 - w);
      state = State::Text;
      return true;
    }
  }

  // The '>' of the first `cc>` (`-->`, `]]>`) wholly after `s` in [s, e),
  // or null.
  static const char* close_of(const char* s, const char* e, char c) {
    for (const char* p = s + 2; p < e && (p = find1(p, e, '>')); ++p)
      if (p[-1] == c && p[-2] == c) return p;
    return nullptr;
  }

  // The window's structural index (scan.h) for [0, src.end), rebuilt when
  // a refill has changed the window since. Only skim walks it: for events
  // delivered one per call, the 16-byte searches next() makes cost fewer
  // instructions than keeping the index and walking it (measured).
  [[gnu::noinline]] void reindex() {
    const std::size_t n = (src.end + 63) / 64;
    classify(src.win.get(), src.end, blocks.get());
    blocks[n] = kSentinel;
    indexed = src.generation;
  }

  // For skip_element, skim_names and skim_events: consumes, from text, the
  // start, empty-element and matching end tags lying wholly in the indexed
  // window, as next() would, telling `tag` of each but the last (Start or
  // Empty with its qualified name, End with none) and, with kText, of the
  // text before each (Text, never empty, marked as next() marks it), and
  // without kText passing over comments and CDATA sections, until the end
  // tag that leaves fewer than `depth` elements open (true) or anything
  // else: markup next() must see, the window's end, `budget` tags,
  // or `tag` returning false (false, with `failed` set, and the event it
  // refused consumed, as read_event would have consumed it).
  template <bool kText, class Tag>
  [[gnu::always_inline]] bool skim(std::size_t depth, std::uint32_t& budget, Tag&& tag, bool* failed = nullptr) {
    if (state != State::Text) return false;
    if (indexed != src.generation) reindex();
    const char* const w = src.win.get();
    const char* const e = w + src.end;
    const Block* const ix = blocks.get();
    std::size_t pos = src.pos;
    bool closed = false;
    const auto lts = [](const Block& k) { return k.lt; };
    std::size_t lt = next_bit(ix, pos, lts);
    // The text before the tag at `lt`, once the tag is known to be taken:
    // text and tag are consumed together or not at all.
    const auto text = [&]() {
      if (!kText || lt == pos) return true;
      src.mark(pos);
      src.pos = lt;
      if (tag(Event::Text, std::string_view(w + pos, lt - pos))) return true;
      // As after a Text event whose handler failed: the tag comes next.
      *failed = true;
      state = State::Markup;
      return false;
    };
    while (budget > 1) {
      if (lt >= src.end) break;
      const char* s = w + lt + 1;
      if (s >= e) break;
      const char* gt;
      if (*s == '/') {
        ++s;
        if (names.empty()) break;
        // Nearly every end tag is `</name>`, the open name and then its
        // '>': told by one compare, with no search for the '>'.
        if (names.top_then(s, '>') && s + names.top_size() < e) {
          gt = s + names.top_size();
        } else {
          const std::size_t at = next_bit(ix, lt + 2, [](const Block& k) { return k.gt; });
          if (at >= src.end) break;
          gt = w + at;
          std::size_t n = names.top_size();
          if (gt != s + n) {
            const char* name_end = gt;
            while (name_end > s && is_ws(name_end[-1])) --name_end;
            n = static_cast<std::size_t>(name_end - s);
          }
          if (!names.top_is(s, n, true)) break;
        }
        if (!text()) return false;
        names.pop();
        closed = names.size() < depth;
        if (!closed && !tag(Event::End, std::string_view{})) [[unlikely]] {
          *failed = true;
          src.pos = static_cast<std::size_t>(gt + 1 - w);
          return false;
        }
      } else if (*s == '!') {
        // Comments, and CDATA where text goes unread, are passed over here
        // as next() would pass them: leaving the walk for each costs more
        // than the comment, and some files have one in every record.
        if constexpr (kText) break;
        const bool comment = e - s >= 3 && s[1] == '-' && s[2] == '-';
        const bool cdata = !comment && e - s >= 8 && std::memcmp(s + 1, "[CDATA[", 7) == 0;
        if (!(comment || cdata) || !(gt = close_of(s + (comment ? 3 : 8), e, comment ? '-' : ']'))) break;
      } else {
        if (*s == '?') break;
        // Most tags are `<name>` or `<name/>`, with no attributes: the first
        // white space, '>', '/' or quote in the 16 bytes after the '<' ends
        // the name and, as '>' or "/>", the tag, with no search for its end.
        // A quote (a malformed name) leaves it to the walk below, as next()
        // would read it.
        std::size_t n = name_end(s);
        bool empty;
        if (s[n] == '>' && s + n < e) {
          gt = s + n;
          empty = false;
        } else if (s[n] == '/' && s[n + 1] == '>' && s + n + 1 < e) {
          gt = s + n + 1;
          empty = true;
        } else {
          if (!(gt = tag_end_ix(ix, w, e, s))) break;
          empty = gt > s && gt[-1] == '/';
          n = ws_offset(s, empty ? gt - 1 : gt);
        }
        if (!text()) return false;
        bool ok;
        if (!empty) {
          names.push(s, n, true);
          ok = tag(Event::Start, std::string_view(s, n));
        } else {
          ok = tag(Event::Empty, std::string_view(s, n));
        }
        if (!ok) [[unlikely]] {
          *failed = true;
          src.pos = static_cast<std::size_t>(gt + 1 - w);
          return false;
        }
      }
      pos = static_cast<std::size_t>(gt + 1 - w);
      --budget;
      if (closed) break;
      // The next '<' is sought from this one, not from the tag's end, so
      // the search need not wait for the tag's; one inside a quoted
      // value is passed over by searching again.
      lt = next_bit(ix, lt + 1, lts);
      if (lt < pos) [[unlikely]]
        lt = next_bit(ix, pos, lts);
    }
    src.pos = pos;
    return closed;
  }

  // Every event, following it across refills, with every check and error.
  [[gnu::noinline]] bool next_general(std::string& buf, Event& ev, XmlStreamError& err) {
    const std::size_t base = buf.size();
    for (;;) {
      switch (state) {
        case State::Done:
          ev = Event::Eof;
          return true;
        case State::Initial:
          if (!src.start(encoding)) {
            if (src.stopped()) stopped(err, false, true);
            else read_failed(err);
            return false;
          }
          state = State::Text;
          [[fallthrough]];
        case State::Text:
          src.mark(src.pos);
          if (!scan_text(discard ? nullptr : &buf)) {
            if (src.stopped()) {
              stopped(err, buf.size() > base, true);
              buf.resize(base);
              return false;
            }
            if (src.read_failed()) {
              read_failed(err);
              return false;
            }
            state = State::Done;
            ev = buf.size() > base ? Event::Text : Event::Eof;
            return true;
          }
          state = State::Markup;
          if (buf.size() > base) {
            ev = Event::Text;
            return true;
          }
          [[fallthrough]];
        case State::Markup: {
          state = State::Text;
          Step s = markup(buf, base, ev, err);
          if (s != Step::Skipped) return s == Step::Delivered;
          break;
        }
      }
    }
  }

  // One piece of markup, from the '<' at pos.
  Step markup(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    src.mark(src.pos);
    ++src.pos;
    if (!src.peek(1)) return cut_off(err, "after `<`");
    switch (src.win[src.pos]) {
      case '/':
        ++src.pos;
        return end_tag(buf, base, ev, err);
      case '?':
        ++src.pos;
        return instruction(buf, base, ev, err);
      case '!':
        ++src.pos;
        return bang(buf, base, ev, err);
      default:
        return start_tag(buf, base, ev, err);
    }
  }

  // The '>' ending the start or empty-element tag at `s` if the window holds
  // all of it, else null. A '>' inside a quoted attribute value ends nothing.
  static const char* tag_end_in(const char* s, const char* e) {
    for (const char* p = s;;) {
      if (!(p = find3(p, e, '>', '"', '\''))) return nullptr;
      if (*p == '>') return p;
      if (!(p = find1(p + 1, e, *p))) return nullptr;
      ++p;
    }
  }

  // The '>' ending the start or empty-element tag at `s` if the indexed
  // window [w, e) holds all of it, else null. A '>' inside a quoted
  // attribute value ends nothing.
  [[gnu::always_inline]] static const char* tag_end_ix(const Block* ix, const char* w, const char* e, const char* s) {
    const std::size_t end = static_cast<std::size_t>(e - w);
    for (std::size_t at = static_cast<std::size_t>(s - w);;) {
      if ((at = next_bit(ix, at, [](const Block& k) { return k.gt | k.dq | k.sq; })) >= end) return nullptr;
      if (w[at] == '>') return w + at;
      at = w[at] == '"' ? next_bit(ix, at + 1, [](const Block& k) { return k.dq; })
                        : next_bit(ix, at + 1, [](const Block& k) { return k.sq; });
      if (at >= end) return nullptr;
      ++at;
    }
  }

  Step start_tag(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    if (!scan_tag(buf)) return cut_off(err, "inside a tag");
    const bool empty = buf.size() > base && buf.back() == '/';
    if (empty) buf.pop_back();
    const std::string_view name = tag_name(std::string_view(buf).substr(base));
    name_size = name.size();
    if (empty) {
      top_empty |= names.empty();
      ev = Event::Empty;
    } else {
      names.push(name.data(), name.size(), false);
      ev = Event::Start;
    }
    return Step::Delivered;
  }

  Step end_tag(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    if (!scan_to_gt(buf)) return cut_off(err, "inside an end tag");
    while (buf.size() > base && is_ws(buf.back())) buf.pop_back();
    const std::string_view name = std::string_view(buf).substr(base);
    if (names.empty())
      return fail(err, "unexpected end tag " + quoted_end(name) + " with no open element", false);
    if (!names.top_is(name.data(), name.size(), false)) {
      // The innermost element counts as closed all the same, so one typo
      // does not make every later end tag wrong too.
      fail(err, "expected " + quoted_end(names.top()) + ", found " + quoted_end(name), false);
      names.pop();
      return Step::Failed;
    }
    names.pop();
    ev = Event::End;
    return Step::Delivered;
  }

  // `<?xml` then whitespace or `?>` opens the XML declaration; anything
  // else after `<?` (`<?xml-stylesheet` included) is a processing instruction.
  Step instruction(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    src.peek(5);  // may fall short at the end of input; the scan below reports that
    const char* p = src.win.get() + src.pos;
    const std::size_t avail = src.end - src.pos;
    const bool decl = avail >= 4 && std::memcmp(p, "xml", 3) == 0 &&
                      (is_ws(p[3]) || (p[3] == '?' && avail >= 5 && p[4] == '>'));
    if (!scan_to(decl || !discard ? &buf : nullptr, "?>", 2))
      return cut_off(err, decl ? "inside an XML declaration" : "inside a processing instruction");
    if (decl) {
      apply_declaration(std::string_view(buf).substr(base));
      ev = Event::Decl;
    } else {
      ev = Event::PI;
    }
    return Step::Delivered;
  }

  Step bang(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    src.peek(7);
    const char* p = src.win.get() + src.pos;
    const std::size_t avail = src.end - src.pos;
    // 2 = present, 1 = a prefix of it before the end of input, 0 = absent.
    auto opens = [&](std::string_view word, bool any_case) {
      std::size_t n = std::min(avail, word.size());
      for (std::size_t i = 0; i < n; ++i) {
        char c = any_case && p[i] >= 'a' && p[i] <= 'z' ? static_cast<char>(p[i] - 32) : p[i];
        if (c != word[i]) return 0;
      }
      return n == word.size() ? 2 : 1;
    };
    const int comment = opens("--", false), cdata = opens("[CDATA[", false), doctype = opens("DOCTYPE", true);
    std::string* out = discard ? nullptr : &buf;
    if (comment == 2) {
      src.pos += 2;
      if (!scan_to(out, "-->", 3)) return cut_off(err, "inside a comment");
      ev = Event::Comment;
      return Step::Delivered;
    }
    if (cdata == 2) {
      src.pos += 7;
      if (!scan_to(out, "]]>", 3)) return cut_off(err, "inside a CDATA section");
      ev = Event::CData;
      return discard ? Step::Skipped : Step::Delivered;
    }
    if (doctype == 2) {
      src.pos += 7;
      bool has_name, too_long = false;
      // Declarations are read only from the first DOCTYPE, as a document
      // has one; its bytes are kept for that even when content is discarded.
      const bool learn = entities && entities->read_subset() && !subset;
      std::string own;
      std::string* into = learn && !out ? &own : out;
      const std::size_t from = into == &buf ? base : 0;
      if (!scan_doctype(into, has_name, learn ? from + Entities::kMaxDtd : SIZE_MAX, too_long)) {
        if (too_long) return fail(err, "DOCTYPE declaration longer than 16 MiB", true);
        return cut_off(err, "inside a DOCTYPE declaration");
      }
      if (!has_name) return fail(err, "DOCTYPE declaration has no name", false);
      if (learn && !learn_subset(internal_subset(std::string_view(*into).substr(from)), err)) {
        if (out) buf.resize(base);
        return Step::Failed;
      }
      if (out) {
        std::size_t lead = base;
        while (lead < buf.size() && is_ws(buf[lead])) ++lead;
        buf.erase(base, lead - base);
      }
      ev = Event::DocType;
      return Step::Delivered;
    }
    if (comment || cdata || doctype) return cut_off(err, "after `<!`");
    return fail(err, "`<!` must begin a comment, a CDATA section or a DOCTYPE declaration", true);
  }
};

// ---------------------------------------------------------------------------
// Public interface

std::unique_ptr<Reader> Reader::open(std::string_view path, XmlStreamError& err, std::size_t chunk) {
  auto impl = std::make_unique<Impl>(chunk);
  if (!impl->src.open(path, err)) return nullptr;
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

std::unique_ptr<Reader> Reader::from_bytes(std::string data, std::size_t chunk) {
  auto impl = std::make_unique<Impl>(chunk);
  impl->src.assign(std::move(data));
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

std::unique_ptr<Reader> Reader::from_view(std::string_view data, std::shared_ptr<const void> keep,
                                          std::size_t chunk) {
  auto impl = std::make_unique<Impl>(chunk);
  impl->src.assign_view(data, std::move(keep));
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

std::unique_ptr<Reader> Reader::from_callback(ReadCallback callback, std::shared_ptr<const void> keep,
                                              std::size_t chunk) {
  auto impl = std::make_unique<Impl>(chunk);
  impl->src.assign_callback(callback, std::move(keep));
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::~Reader() = default;

bool Reader::poll(XmlStreamError& err) {
  events_until_poll_ = kEventsPerPoll;
  if (!impl_->interrupted(false)) return true;
  err = {XmlStreamError::Kind::Interrupted, {}, false};
  return false;
}

bool Reader::read_event(std::string& buf, Event& ev, XmlStreamError& err) {
  if (--events_until_poll_ == 0) {
    events_until_poll_ = kEventsPerPoll;
    if (impl_->interrupted(false)) {
      err = {XmlStreamError::Kind::Interrupted, {}, false};
      return false;
    }
  }
  return impl_->next(buf, ev, err, nullptr);
}

bool Reader::read_event(std::string& buf, std::string_view& bytes, Event& ev, XmlStreamError& err) {
  if (--events_until_poll_ == 0 && !poll(err)) return false;
  Impl& m = *impl_;
  const std::size_t base = buf.size();
  std::string_view lent;
  const bool ok = m.next(buf, ev, err, &lent);
  bytes = lent.data() ? lent : std::string_view(buf).substr(base);
  return ok;
}

bool Reader::skip_element(Event& ev, XmlStreamError& err) {
  Impl& m = *impl_;
  const std::size_t depth = m.names.size();
  std::string buf;  // the general path's; the fast path lends instead
  for (;;) {
    if (m.skim<false>(depth, events_until_poll_, [](Event, std::string_view) { return true; })) {
      ev = Event::End;
      return true;
    }
    // What skim leaves: other markup, a refill, or time to poll.
    if (--events_until_poll_ == 0 && !poll(err)) return false;
    buf.clear();
    std::string_view lent;
    if (!m.next(buf, ev, err, &lent)) return false;
    if ((ev == Event::End && m.names.size() < depth) || ev == Event::Eof) return true;
  }
}

bool Reader::skim_names(std::size_t depth, std::string& shape, char open, char close, std::ptrdiff_t& opened) {
  opened = 0;
  return impl_->skim<false>(depth, events_until_poll_, [&](Event ev, std::string_view name) {
    if (ev != Event::End) {
      // An entry is put together aside and appended at once: one capacity
      // check, where three appends make three. The name lies in the padded
      // window, so a short one is copied by one 16-byte move.
      const auto n = static_cast<std::uint32_t>(name.size());
      char entry[1 + sizeof n + 16 + 1];
      if (name.size() <= 16) {
        entry[0] = open;
        std::memcpy(entry + 1, &n, sizeof n);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(entry + 1 + sizeof n),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(name.data())));
        std::size_t size = 1 + sizeof n + name.size();
        if (ev == Event::Empty) entry[size++] = close;
        shape.append(entry, size);
        opened += ev == Event::Start;
        return true;
      }
      shape += open;
      shape.append(reinterpret_cast<const char*>(&n), sizeof n);
      shape.append(name);
    }
    if (ev != Event::Start) shape += close;
    opened += ev == Event::Start ? 1 : ev == Event::End ? -1 : 0;
    return true;
  });
}

bool Reader::skim_events(std::size_t depth, EventSink& sink, bool& failed) {
  failed = false;
  const auto deliver = [&](Event ev, std::string_view bytes) { return sink.on(ev, bytes); };
  // Discarded content is passed over unread, as read_event would.
  if (impl_->discard) return impl_->skim<false>(depth, events_until_poll_, deliver, &failed);
  return impl_->skim<true>(depth, events_until_poll_, deliver, &failed);
}

void Reader::set_interrupt(const Interrupt* interrupt) {
  impl_->interrupt = interrupt;
  impl_->src.interrupt = interrupt;
}

std::size_t Reader::last_name_size() const { return impl_->name_size; }

void Reader::set_discard_content(bool on) { impl_->discard = on; }
void Reader::mark_tag(std::size_t tag_bytes, bool empty) {
  // The fast path delivers a tag only when the window holds all of it, and
  // marks nothing; the general path marked its '<' already, and a tag that
  // outgrew the window has left its start behind.
  const std::size_t n = tag_bytes + (empty ? 3 : 2);
  if (impl_->src.pos >= n) impl_->src.mark(impl_->src.pos - n);
}

bool Reader::decode(std::string_view bytes, std::string& out, XmlStreamError& err) {
  std::string text;
  if (impl_->decoder.decode(*impl_->encoding, bytes, out, text)) return true;
  err.kind = XmlStreamError::Kind::Xml;
  err.text.clear();
  if (explain_encoding_ && !impl_->unsupported.empty())
    err.text = "the document declares encoding '" + impl_->unsupported +
               "', which is not supported; it was read as UTF-8: ";
  err.text += text;
  locate(err);
  return false;
}

std::string Reader::position() { return impl_->position(); }
std::string Reader::position_at(std::uint64_t at) { return impl_->position_at(at); }
bool Reader::at_end() const { return impl_->state == Impl::State::Done; }
bool Reader::any_element() const { return impl_->names.ever_pushed() || impl_->top_empty; }

void Reader::locate(XmlStreamError& err) {
  err.text += impl_->position();
  err.at = impl_->src.mark_offset();
}

std::uint64_t Reader::offset() const { return impl_->src.mark_offset(); }

void Reader::split_here(SplitPoint& out) const {
  const Impl& m = *impl_;
  out.offset = m.src.file_offset();
  out.encoding = m.encoding;
  out.declared = m.encoding_declared;
  out.unsupported = m.unsupported;
  out.subset = m.subset;
  out.open.clear();
  for (std::size_t i = 0; i < m.names.size(); ++i) out.open.emplace_back(m.names.at(i));
}

std::uint64_t Reader::stream_offset() const { return impl_->src.stream_offset(); }
std::uint64_t Reader::file_offset() const { return impl_->src.file_offset(); }
std::size_t Reader::open_depth() const { return impl_->names.size(); }
std::string_view Reader::open_name(std::size_t i) const { return impl_->names.at(i); }

bool Reader::resume(const SplitPoint& at, XmlStreamError& err) {
  Impl& m = *impl_;
  if (m.state != Impl::State::Initial || at.encoding == nullptr) {
    err = {XmlStreamError::Kind::Io, "a reader resumes at a split point only before it reads", false};
    return false;
  }
  if (!m.src.resume(at.offset, *at.encoding, err)) return false;
  if (at.line != 0) m.src.know_line(at.offset, at.line);
  m.encoding = at.encoding;
  m.encoding_declared = at.declared;
  m.unsupported = at.unsupported;
  if (at.subset) {
    m.subset = at.subset;
    if (m.entities) {
      std::string ignored;  // it was read without fault by the reader that took the split point
      m.entities->add_declarations(*m.subset, Entities::Origin::Subset, ignored);
    }
  }
  for (const std::string& name : at.open) m.names.push(name.data(), name.size(), false);
  // Right after a `>`: between markup, where text begins.
  m.state = Impl::State::Text;
  return true;
}

void Reader::set_entities(const Entities& given) {
  Impl& m = *impl_;
  m.entities = std::make_unique<Entities>(given);
  // A split point's subset may have come first.
  if (m.subset) {
    std::string ignored;  // it was read without fault by the reader that took the split point
    m.entities->add_declarations(*m.subset, Entities::Origin::Subset, ignored);
  }
}

Entities* Reader::entities() {
  Impl& m = *impl_;
  if (!m.entities) return nullptr;
  m.entities->note_input(m.src.stream_offset());
  return m.entities.get();
}

std::string_view Reader::utf8_name(std::string_view raw, std::string& scratch) {
  if (text_is_utf8()) return raw;
  scratch.clear();
  std::string why;
  if (!impl_->decoder.decode(*impl_->encoding, raw, scratch, why)) return raw;
  return scratch;
}

bool Reader::text_is_utf8() const {
  const enc::Kind k = impl_->encoding->kind;
  return k == enc::Kind::Utf8 || k == enc::Kind::Utf16BE || k == enc::Kind::Utf16LE;
}

}  // namespace qk::xml
