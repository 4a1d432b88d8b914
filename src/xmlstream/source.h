// The reader's source: a file, bytes in memory or a caller's callback, read a chunk at a time
// into a window, UTF-16 documents transcoded to UTF-8 on the way in.
//
// The tokenizer owns one by value and reads the window directly (`win`,
// `pos`, `end` are plain members): its fast path touches them for every
// event, so no call or indirection stands between it and the bytes. Only a
// refill, once per chunk, leaves the tokenizer's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "xmlstream/encoding.h"
#include "xmlstream/errors.h"

namespace qk::xml {

class Source {
 public:
  // Lookahead carried across a refill (at most the 7 bytes after `<!`), the
  // most a refill can add (a UTF-16 chunk grows by half when transcoded),
  // and padding for the scanners' over-read: the structural index reads
  // whole 64-byte blocks, up to 63 bytes past `end`.
  static constexpr std::size_t kLookahead = 16;
  // The most bytes one read asks for (the reader's kReadBufferSize).
  static constexpr std::size_t kMaxChunk = 8192;
  static constexpr std::size_t kRawSize = kMaxChunk + 4;
  static constexpr std::size_t kWindowSize =
      kLookahead + enc::Utf16Transcoder::max_output(kRawSize) + 64;

  // `chunk` caps each read; it is clamped to 1..kMaxChunk.
  explicit Source(std::size_t chunk);
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Reads from the file at `path`, opened read-only with close-on-exec; reads
  // nothing yet. On failure returns false and fills `err` (Kind::Io). A path
  // holding NUL is refused before the system is asked.
  bool open(std::string_view path, XmlStreamError& err);

  // Reads from `data` instead of a file.
  void assign(std::string data);
  // Reads from bytes it does not own, which `keep` holds alive.
  void assign_view(std::string_view data, std::shared_ptr<const void> keep);
  // Reads from `callback`, kPullSize bytes per call, whose context `keep`
  // holds alive. The input cannot be read again: line_of finds no line.
  void assign_callback(ReadCallback callback, std::shared_ptr<const void> keep);
  // A callback is asked for this much at a time: it may be costly to call
  // (the boundary's takes the interpreter lock), so it is called seldom.
  static constexpr std::size_t kPullSize = std::size_t{1} << 20;

  // Reads the first bytes and picks the document's encoding from them
  // (enc::sniff), skipping a byte-order mark; from then on a UTF-16 document
  // arrives transcoded. Returns false on a read failure.
  bool start(const enc::Encoding*& encoding);

  // Instead of start(): reads on from the file offset `offset` of a
  // document in `encoding`, as a reader would that had read everything
  // before it. The offset must follow a `>` (checked, so that a file that
  // changed since is caught early). A callback's input must already stand
  // at the byte before the offset (two before, in UTF-16), unread so far.
  // Returns false with `err` filled (Kind::Io) otherwise.
  bool resume(std::uint64_t offset, const enc::Encoding& encoding, XmlStreamError& err);

  // Stream bytes consumed so far: cheap, for pacing; file bytes but for a
  // UTF-16 document, where they are its UTF-8.
  std::uint64_t stream_offset() const { return discarded_ + pos; }
  // The file offset of the first unconsumed byte.
  std::uint64_t file_offset() const {
    return utf16_ ? raw_discarded_ + utf16_bytes(pos) : discarded_ + pos;
  }

  // Adds input behind the unconsumed bytes, moving them to the front; false
  // once the input has ended or a read failed.
  bool more();

  // Makes at least `n` unconsumed bytes available; false if the input ends
  // (or a read fails) first.
  bool peek(std::size_t n) {
    while (end - pos < n)
      if (!more()) return false;
    return true;
  }

  // Asked when a signal cuts a read short. When it says stop, more() (and
  // start()) return false with stopped() set, the input not ended.
  const Interrupt* interrupt = nullptr;
  bool stopped() const { return stopped_; }
  void clear_stopped() { stopped_ = false; }
  void stop() { stopped_ = true; }

  // Positions for error messages. The tokenizer marks where each event
  // starts; that costs one store, and everything else is worked out only
  // when an error needs it.
  void mark(std::size_t window_offset) { mark_ = discarded_ + window_offset; }
  // The offset in the file's own bytes of the last mark.
  std::uint64_t mark_offset() const;
  // The line (from 1, counting LF) holding the file offset, found by reading
  // the file again up to there; none when it cannot be read again (a pipe).
  std::optional<std::uint64_t> line_of(std::uint64_t offset);
  // The line at `offset` is known: line_of counts on from there.
  void know_line(std::uint64_t offset, std::uint64_t line) { lines_at_ = offset, lines_ = line; }

  // Whether the bytes are transcoded from UTF-16.
  bool transcoding() const { return utf16_ != nullptr; }

  // Whether a read failed, and the system's message for it.
  bool read_failed() const { return read_errno_ != 0; }
  std::string read_error() const;

  // The window of input bytes; [pos, end) is not consumed yet. Padding
  // behind `end` keeps the scanners' 16-byte loads inside the allocation.
  std::unique_ptr<char[]> win;
  std::size_t pos = 0, end = 0;
  // Changes whenever the window's bytes may have moved or grown, so that an
  // index of them knows when it is stale.
  std::uint64_t generation = 0;

 private:
  // One read of at most `chunk_` bytes; -1 on failure (read_errno_ set), -2
  // when the interrupt said stop.
  long read_chunk(void* dst);

  int fd_ = -1;  // bytes come from view_ or callback_ when fd_ < 0
  std::string mem_;
  // Memory input (mem_'s or a borrowed view), read from mem_pos_ on.
  std::string_view view_;
  std::size_t mem_pos_ = 0;
  // Callback input, pulled in large blocks into pull_, of which
  // [pull_pos_, pull_end_) is not handed out yet.
  ReadCallback callback_;
  std::unique_ptr<char[]> pull_;
  std::size_t pull_pos_ = 0, pull_end_ = 0;
  bool callback_failed_ = false;
  std::shared_ptr<const void> keep_;
  std::size_t chunk_;
  bool src_end_ = false;
  bool stopped_ = false;

  // Window bytes moved out of the window so far: the stream offset of win[0].
  std::uint64_t discarded_ = 0;
  std::uint64_t mark_ = 0;  // stream offset of the mark
  // UTF-16 only, where window bytes are not file bytes: the file bytes behind
  // the discarded window bytes (a byte-order mark included), and the file
  // offset of a mark taken when its bytes left the window.
  std::uint64_t raw_discarded_ = 0;
  std::uint64_t mark_raw_ = 0;
  // Where line_of last stopped, so that many errors do not each read the
  // file from its start.
  std::uint64_t lines_at_ = 0, lines_ = 1;
  // File bytes behind the first `n` window bytes of a UTF-16 document.
  std::uint64_t utf16_bytes(std::size_t n) const;
  int read_errno_ = 0;
  std::unique_ptr<enc::Utf16Transcoder> utf16_;  // set for UTF-16 documents
  std::unique_ptr<unsigned char[]> raw_;         // UTF-16 bytes before transcoding
};

}  // namespace qk::xml
