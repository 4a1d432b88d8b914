// The pull reader: a source layer (file or memory, optional UTF-16 to UTF-8
// transcoding) that fills a window, and a tokenizer that scans the window
// with memchr/SSE2 and copies each event's bytes into the caller's buffer.
//
// The tokenizer never needs a whole event in the window: it copies what it
// has scanned before asking for more input, so the window only ever carries
// a few bytes of lookahead across refills and memory stays flat however
// large a text, comment or tag is.
#include "xmlstream/reader.h"

#include <emmintrin.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "xmlstream/encoding.h"

namespace qk::xml {

namespace {

// ---------------------------------------------------------------------------
// Character classes

constexpr std::uint8_t kWs = 1;

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r'}) t[c] |= kWs;
  return t;
}
constexpr std::array<std::uint8_t, 256> kClass = make_classes();

inline bool is_ws(char c) { return kClass[static_cast<unsigned char>(c)] & kWs; }

// First of three bytes in [p, e), 16 bytes at a time. May load up to 15
// bytes past `e`, which the window's padding keeps inside the allocation.
inline const char* find3(const char* p, const char* e, char a, char b, char c) {
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; p < e; p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                               _mm_cmpeq_epi8(x, vc));
    if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
      const char* q = p + __builtin_ctz(m);
      return q < e ? q : nullptr;
    }
  }
  return nullptr;
}

// First `c` in [p, e). Most distances between markup characters are short,
// where a call to memchr costs more than the search, so the first 64 bytes
// are searched inline (over-reading like find3) and memchr takes the rest.
inline const char* find1(const char* p, const char* e, char c) {
  const __m128i vc = _mm_set1_epi8(c);
  for (int i = 0; i < 4 && p < e; ++i, p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vc)))) {
      const char* q = p + __builtin_ctz(m);
      return q < e ? q : nullptr;
    }
  }
  return p < e ? static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(e - p))) : nullptr;
}

// Bytes of `x` that may end a tag: '>' and both quotes.
inline __m128i tag_ends(__m128i x) {
  return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('>')), _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))),
                      _mm_cmpeq_epi8(x, _mm_set1_epi8('\'')));
}

// Offset of the first whitespace byte in [p, e), or e - p. Over-reads like
// find3. Bytes up to ' ' are candidates, checked against the table, since
// other control bytes are rare in tags.
inline std::size_t ws_offset(const char* p, const char* e) {
  const __m128i space = _mm_set1_epi8(' ');
  for (const char* b = p; b < e; b += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, space), x)));
    for (; m; m &= m - 1) {
      const char* q = b + __builtin_ctz(m);
      if (q >= e) break;
      if (is_ws(*q)) return static_cast<std::size_t>(q - p);
    }
  }
  return static_cast<std::size_t>(e - p);
}

// Open-element names back to back. Names are short, so with 16 bytes of
// slack behind the last one a name from the (padded) window is copied and
// compared in one 16-byte load instead of calls to memcpy and memcmp.
class NameStack {
 public:
  bool empty() const { return starts_.empty(); }
  std::string_view top() const { return {bytes_.get() + starts_.back(), size_ - starts_.back()}; }
  void pop() {
    size_ = starts_.back();
    starts_.pop_back();
  }

  // `padded`: 16 bytes may be read from `src` whatever `n` is.
  [[gnu::always_inline]] void push(const char* src, std::size_t n, bool padded) {
    if (n >= cap_ - size_) grow(n);  // also allocates for the first, maybe empty, name
    char* dst = bytes_.get() + size_;
    if (padded && n <= 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
    else
      std::memcpy(dst, src, n);
    starts_.push_back(size_);
    size_ += n;
  }

  // Whether the innermost name is the `n` bytes at `src`.
  bool top_is(const char* src, std::size_t n, bool padded) const {
    const std::size_t at = starts_.back();
    if (n != size_ - at) return false;
    if (!padded || n > 16) return std::memcmp(src, bytes_.get() + at, n) == 0;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_.get() + at));
    const unsigned diff = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
    return (diff & ((1u << n) - 1)) == 0;
  }

 private:
  static constexpr std::size_t kSlack = 16;

  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t cap = std::max(2 * cap_, size_ + n + 240);
    std::unique_ptr<char[]> b(new char[cap + kSlack]());
    if (size_) std::memcpy(b.get(), bytes_.get(), size_);
    bytes_ = std::move(b);
    cap_ = cap;
  }

  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0, cap_ = 0;
  std::vector<std::size_t> starts_;
};

std::string os_error(int n) {
  char b[256];
  const char* m = strerror_r(n, b, sizeof b);  // GNU variant: returns the message
  return std::string(m) + " (os error " + std::to_string(n) + ")";
}

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
// State

struct Reader::Impl {
  // Lookahead carried across a refill (at most the 7 bytes after `<!`), the
  // most a refill can add (a UTF-16 chunk grows by half when transcoded),
  // and padding for find3's over-read.
  static constexpr std::size_t kLookahead = 16;
  static constexpr std::size_t kRawSize = kReadBufferSize + 4;
  static constexpr std::size_t kWindowSize =
      kLookahead + enc::Utf16Transcoder::max_output(kRawSize) + 32;

  enum class State : std::uint8_t { Initial, Text, Markup, Done };
  enum class Step : std::uint8_t { Delivered, Skipped, Failed };

  explicit Impl(std::size_t chunk_size)
      : chunk(std::clamp<std::size_t>(chunk_size, 1, kReadBufferSize)), win(new char[kWindowSize]()) {}
  ~Impl() {
    if (fd >= 0) ::close(fd);
  }

  // Source: a file descriptor, or bytes in memory when fd < 0.
  int fd = -1;
  std::string mem;
  std::size_t mem_pos = 0;
  std::size_t chunk;
  bool src_end = false;
  int read_errno = 0;
  std::unique_ptr<enc::Utf16Transcoder> utf16;  // set for UTF-16 documents
  std::unique_ptr<unsigned char[]> raw;         // UTF-16 bytes before transcoding

  // Window of input bytes; [pos, end) is not consumed yet.
  std::unique_ptr<char[]> win;
  std::size_t pos = 0, end = 0;

  State state = State::Initial;
  bool discard = false;

  const Interrupt* interrupt = nullptr;
  bool interrupted(bool urgent) const {
    return interrupt != nullptr && interrupt->stop(interrupt->context, urgent);
  }

  NameStack names;  // of the open elements, innermost last
  std::size_t name_size = 0;  // of the last Start or Empty tag

  const enc::Encoding* encoding = &enc::utf8();
  bool encoding_declared = false;
  enc::Decoder decoder;

  // --- source --------------------------------------------------------------

  // One read of at most `chunk` bytes; -1 on failure (read_errno set).
  long read_chunk(void* dst) {
    if (fd < 0) {
      std::size_t n = std::min(chunk, mem.size() - mem_pos);
      std::memcpy(dst, mem.data() + mem_pos, n);
      mem_pos += n;
      return static_cast<long>(n);
    }
    for (;;) {
      ssize_t r = ::read(fd, dst, chunk);
      if (r >= 0) return static_cast<long>(r);
      if (errno != EINTR) {
        read_errno = errno;
        return -1;
      }
    }
  }

  // Adds input behind the unconsumed bytes; false once the input has ended
  // or a read failed.
  bool more() {
    if (pos > 0) {
      std::memmove(win.get(), win.get() + pos, end - pos);
      end -= pos;
      pos = 0;
    }
    while (!src_end) {
      long r = read_chunk(utf16 ? static_cast<void*>(raw.get()) : win.get() + end);
      if (r <= 0) src_end = true;
      if (!utf16) {
        if (r <= 0) return false;
        end += static_cast<std::size_t>(r);
        return true;
      }
      std::size_t k = r > 0    ? utf16->feed(raw.get(), static_cast<std::size_t>(r), win.get() + end)
                      : r == 0 ? utf16->finish(win.get() + end)
                               : 0;
      end += k;
      if (k > 0) return true;
    }
    return false;
  }

  bool peek(std::size_t n) {
    while (end - pos < n)
      if (!more()) return false;
    return true;
  }

  // Reads the first bytes and picks UTF-8 or UTF-16 from a byte-order mark
  // or the shape of `<?`; false on a read failure.
  bool start() {
    while (end < 4 && more()) {
    }
    if (read_errno) return false;
    auto starts = [&](const char* sig, std::size_t len) { return end >= len && std::memcmp(win.get(), sig, len) == 0; };
    if (starts("\xEF\xBB\xBF", 3)) {
      pos = 3;
      return true;
    }
    const enc::Encoding* e = nullptr;
    std::size_t skip = 0;
    if (starts("\xFE\xFF", 2)) {
      e = &enc::utf16be();
      skip = 2;
    } else if (starts("\xFF\xFE", 2)) {
      e = &enc::utf16le();
      skip = 2;
    } else if (starts("\0<\0?", 4)) {
      e = &enc::utf16be();
    } else if (starts("<\0?\0", 4)) {
      e = &enc::utf16le();
    }
    if (!e) return true;
    // Run what was read so far through the transcoder.
    encoding = e;
    utf16 = std::make_unique<enc::Utf16Transcoder>(e->kind == enc::Kind::Utf16BE);
    raw.reset(new unsigned char[kRawSize]);
    std::size_t n = end - skip;
    std::memcpy(raw.get(), win.get() + skip, n);
    end = utf16->feed(raw.get(), n, win.get());
    if (src_end) end += utf16->finish(win.get() + end);
    pos = 0;
    return true;
  }

  // --- errors --------------------------------------------------------------

  Step fail(XmlStreamError& err, std::string text, bool fatal) {
    if (fatal) state = State::Done;
    err.kind = XmlStreamError::Kind::Xml;
    err.text = std::move(text);
    return Step::Failed;
  }

  // Input ended inside markup: a read failure if that is why, else a syntax error.
  Step cut_off(XmlStreamError& err, const char* where) {
    if (read_errno) return read_failed(err);
    return fail(err, std::string("unexpected end of file ") + where, true);
  }

  Step read_failed(XmlStreamError& err) {
    return fail(err, "failed to read file: " + os_error(read_errno), true);
  }

  // --- scanning ------------------------------------------------------------

  // Consumes text up to the next '<', which stays unconsumed; false when the
  // input ends first.
  bool scan_text(std::string* out) {
    for (;;) {
      const char* s = win.get() + pos;
      const char* lt = find1(s, win.get() + end, '<');
      std::size_t stop = lt ? static_cast<std::size_t>(lt - win.get()) : end;
      if (out) out->append(s, stop - pos);
      pos = stop;
      if (lt) return true;
      if (!more()) return false;
    }
  }

  // Consumes through the next '>', appending the bytes before it.
  bool scan_to_gt(std::string& out) {
    for (;;) {
      const char* s = win.get() + pos;
      const char* e = win.get() + end;
      if (const char* gt = find1(s, e, '>')) {
        out.append(s, static_cast<std::size_t>(gt - s));
        pos = static_cast<std::size_t>(gt + 1 - win.get());
        return true;
      }
      out.append(s, static_cast<std::size_t>(e - s));
      pos = end;
      if (!more()) return false;
    }
  }

  // Consumes a start or empty-element tag through its '>'. A '>' inside a
  // quoted attribute value does not end the tag.
  bool scan_tag(std::string& out) {
    char quote = 0;
    for (;;) {
      const char* s = win.get() + pos;
      const char* e = win.get() + end;
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
            pos = static_cast<std::size_t>(p + 1 - win.get());
            return true;
          }
          quote = *p++;
        }
      }
      out.append(s, static_cast<std::size_t>(e - s));
      pos = end;
      if (!more()) return false;
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
      const char* s = win.get() + pos;
      const char* e = win.get() + end;
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
          pos = static_cast<std::size_t>(p + 1 - win.get());
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
      pos = end;
      if (!more()) return false;
    }
  }

  // Consumes a DOCTYPE declaration after `<!DOCTYPE` through the '>' that
  // closes it. Quoted literals, and comments and PIs in the internal subset,
  // may hold ']' and '>' that end nothing. DOCTYPEs are small and rare, so
  // this walks byte by byte.
  bool scan_doctype(std::string* out, bool& has_name) {
    enum class Dt : std::uint8_t { Out, OutQuote, Subset, SubsetQuote, Lt, LtBang, LtBangDash,
                                   Comment, CommentDash, CommentDashDash, Pi, PiQ };
    Dt st = Dt::Out;
    char quote = 0;
    bool seen = false;
    has_name = false;
    for (;;) {
      const char* s = win.get() + pos;
      const char* e = win.get() + end;
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
              pos = static_cast<std::size_t>(p + 1 - win.get());
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
      pos = end;
      if (!more()) return false;
    }
  }

  // --- encoding ------------------------------------------------------------

  void apply_declaration(std::string_view decl) {
    // A UTF-16 document was recognised from its first bytes and is already
    // transcoded; its declaration cannot change that.
    if (encoding_declared || utf16) return;
    std::string_view label;
    if (!declared_label(decl, label)) return;
    const enc::Encoding* e = enc::lookup_label(label);
    if (!e) return;
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
  [[gnu::always_inline]] bool next(std::string& buf, Event& ev, XmlStreamError& err) {
    for (;;) {
      const char* w = win.get();
      const char* e = w + end;
      // The first byte after the '<' that may end its tag ('>' or a quote),
      // when the 16 bytes loaded to find the '<' show it: short text and
      // the tag after it then cost one load, not two dependent searches.
      const char* first_end = nullptr;
      if (state == State::Text) {
        const char* s = w + pos;
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('<'))));
        const char* lt = m ? s + __builtin_ctz(m) : find1(std::min(s + 16, e), e, '<');
        if (!lt || lt >= e) return next_general(buf, ev, err);
        pos = static_cast<std::size_t>(lt - w);
        state = State::Markup;
        if (!discard && lt != s) {
          buf.append(s, static_cast<std::size_t>(lt - s));
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
      const char* s = w + pos + 1;  // after the '<'
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
        buf.append(s, n);
        ev = Event::End;
      } else if (*s == '!') {
        const bool comment = e - s >= 3 && s[1] == '-' && s[2] == '-';
        const bool cdata = !comment && e - s >= 8 && std::memcmp(s + 1, "[CDATA[", 7) == 0;
        if (!comment && !cdata) return next_general(buf, ev, err);
        s += comment ? 3 : 8;
        if (!(gt = close_of(s, e, comment ? '-' : ']'))) return next_general(buf, ev, err);
        pos = static_cast<std::size_t>(gt + 1 - w);
        state = State::Text;
        if (!discard) buf.append(s, static_cast<std::size_t>(gt - 2 - s));
        else if (cdata) continue;  // consumed without a trace
        ev = comment ? Event::Comment : Event::CData;
        return true;
      } else {
        if (*s == '?' || !(gt = tag_end_in(first_end ? first_end : s, e))) return next_general(buf, ev, err);
        if (gt > s && gt[-1] == '/') {
          name_size = ws_offset(s, gt - 1);
          buf.append(s, static_cast<std::size_t>(gt - 1 - s));
          ev = Event::Empty;
        } else {
          name_size = ws_offset(s, gt);
          names.push(s, name_size, true);
          buf.append(s, static_cast<std::size_t>(gt - s));
          ev = Event::Start;
        }
      }
      pos = static_cast<std::size_t>(gt + 1 - w);
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

  // Every event, following it across refills, with every check and error.
  [[gnu::noinline]] bool next_general(std::string& buf, Event& ev, XmlStreamError& err) {
    const std::size_t base = buf.size();
    for (;;) {
      switch (state) {
        case State::Done:
          ev = Event::Eof;
          return true;
        case State::Initial:
          if (!start()) {
            read_failed(err);
            return false;
          }
          state = State::Text;
          [[fallthrough]];
        case State::Text:
          if (!scan_text(discard ? nullptr : &buf)) {
            if (read_errno) {
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
    ++pos;
    if (!peek(1)) return cut_off(err, "after `<`");
    switch (win[pos]) {
      case '/':
        ++pos;
        return end_tag(buf, base, ev, err);
      case '?':
        ++pos;
        return instruction(buf, base, ev, err);
      case '!':
        ++pos;
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

  Step start_tag(std::string& buf, std::size_t base, Event& ev, XmlStreamError& err) {
    if (!scan_tag(buf)) return cut_off(err, "inside a tag");
    const bool empty = buf.size() > base && buf.back() == '/';
    if (empty) buf.pop_back();
    const std::string_view name = tag_name(std::string_view(buf).substr(base));
    name_size = name.size();
    if (empty) {
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
    peek(5);  // may fall short at the end of input; the scan below reports that
    const char* p = win.get() + pos;
    const std::size_t avail = end - pos;
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
    peek(7);
    const char* p = win.get() + pos;
    const std::size_t avail = end - pos;
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
      pos += 2;
      if (!scan_to(out, "-->", 3)) return cut_off(err, "inside a comment");
      ev = Event::Comment;
      return Step::Delivered;
    }
    if (cdata == 2) {
      pos += 7;
      if (!scan_to(out, "]]>", 3)) return cut_off(err, "inside a CDATA section");
      ev = Event::CData;
      return discard ? Step::Skipped : Step::Delivered;
    }
    if (doctype == 2) {
      pos += 7;
      bool has_name;
      if (!scan_doctype(out, has_name)) return cut_off(err, "inside a DOCTYPE declaration");
      if (!has_name) return fail(err, "DOCTYPE declaration has no name", false);
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
  if (path.find('\0') != std::string_view::npos) {
    err = {XmlStreamError::Kind::Io, "file name contained an unexpected NUL byte"};
    return nullptr;
  }
  const std::string p(path);
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    err = {XmlStreamError::Kind::Io, os_error(errno)};
    return nullptr;
  }
  auto impl = std::make_unique<Impl>(chunk);
  impl->fd = fd;
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

std::unique_ptr<Reader> Reader::from_bytes(std::string data, std::size_t chunk) {
  auto impl = std::make_unique<Impl>(chunk);
  impl->mem = std::move(data);
  return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::~Reader() = default;

bool Reader::read_event(std::string& buf, Event& ev, XmlStreamError& err) {
  if (--events_until_poll_ == 0) {
    events_until_poll_ = kEventsPerPoll;
    if (impl_->interrupted(false)) {
      err = {XmlStreamError::Kind::Interrupted, {}, false};
      return false;
    }
  }
  return impl_->next(buf, ev, err);
}

void Reader::set_interrupt(const Interrupt* interrupt) { impl_->interrupt = interrupt; }

std::size_t Reader::last_name_size() const { return impl_->name_size; }

void Reader::set_discard_content(bool on) { impl_->discard = on; }

bool Reader::decode(std::string_view bytes, std::string& out, XmlStreamError& err) {
  std::string text;
  if (impl_->decoder.decode(*impl_->encoding, bytes, out, text)) return true;
  err.kind = XmlStreamError::Kind::Xml;
  err.text = std::move(text);
  return false;
}

bool Reader::text_is_utf8() const {
  const enc::Kind k = impl_->encoding->kind;
  return k == enc::Kind::Utf8 || k == enc::Kind::Utf16BE || k == enc::Kind::Utf16LE;
}

}  // namespace qk::xml
