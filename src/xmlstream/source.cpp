#include "xmlstream/source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace qk::xml {

namespace {

std::string os_error(int n) {
  char b[256];
  const char* m = strerror_r(n, b, sizeof b);  // GNU variant: returns the message
  return std::string(m) + " (os error " + std::to_string(n) + ")";
}

}  // namespace

Source::Source(std::size_t chunk)
    : win(new char[kWindowSize]()), chunk_(std::clamp<std::size_t>(chunk, 1, kMaxChunk)) {}

Source::~Source() {
  if (fd_ >= 0) ::close(fd_);
}

bool Source::open(std::string_view path, XmlStreamError& err) {
  if (path.find('\0') != std::string_view::npos) {
    err = {XmlStreamError::Kind::Io, "file name contained an unexpected NUL byte"};
    return false;
  }
  const std::string p(path);
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    err = {XmlStreamError::Kind::Io, os_error(errno)};
    err.os_errno = errno;
    return false;
  }
  fd_ = fd;
  return true;
}

void Source::assign(std::string data) {
  mem_ = std::move(data);
  view_ = mem_;
}

void Source::assign_view(std::string_view data, std::shared_ptr<const void> keep) {
  view_ = data;
  keep_ = std::move(keep);
}

void Source::assign_callback(ReadCallback callback, std::shared_ptr<const void> keep) {
  callback_ = callback;
  keep_ = std::move(keep);
  pull_.reset(new char[kPullSize]);
}

std::string Source::read_error() const {
  if (callback_failed_) return "the input's read failed";
  return os_error(read_errno_);
}

long Source::read_chunk(void* dst) {
  if (callback_.read != nullptr) {
    if (pull_pos_ == pull_end_) {
      if (callback_failed_) return -1;
      const long r = callback_.read(callback_.context, pull_.get(), kPullSize);
      if (r < 0 || static_cast<std::size_t>(r) > kPullSize) {
        // read_errno_ is what read_failed() looks at; the text is ours.
        callback_failed_ = true;
        read_errno_ = EIO;
        return -1;
      }
      pull_pos_ = 0;
      pull_end_ = static_cast<std::size_t>(r);
      if (r == 0) return 0;
    }
    const std::size_t n = std::min(chunk_, pull_end_ - pull_pos_);
    std::memcpy(dst, pull_.get() + pull_pos_, n);
    pull_pos_ += n;
    return static_cast<long>(n);
  }
  if (fd_ < 0) {
    std::size_t n = std::min(chunk_, view_.size() - mem_pos_);
    std::memcpy(dst, view_.data() + mem_pos_, n);
    mem_pos_ += n;
    return static_cast<long>(n);
  }
  for (;;) {
    ssize_t r = ::read(fd_, dst, chunk_);
    if (r >= 0) return static_cast<long>(r);
    // A signal cut the read short: a pipe that stays silent would otherwise
    // keep Ctrl-C waiting for its writer.
    if (errno == EINTR && interrupt != nullptr && interrupt->stop(interrupt->context, true)) {
      stopped_ = true;
      return -2;
    }
    if (errno != EINTR) {
      read_errno_ = errno;
      return -1;
    }
  }
}

bool Source::more() {
  ++generation;
  if (pos > 0) {
    if (utf16_) {
      if (mark_ >= discarded_ && mark_ - discarded_ < pos) mark_raw_ = raw_discarded_ + utf16_bytes(mark_ - discarded_);
      raw_discarded_ += utf16_bytes(pos);
    }
    discarded_ += pos;
    std::memmove(win.get(), win.get() + pos, end - pos);
    end -= pos;
    pos = 0;
  }
  while (!src_end_) {
    long r = read_chunk(utf16_ ? static_cast<void*>(raw_.get()) : win.get() + end);
    if (r == -2) return false;
    if (r <= 0) src_end_ = true;
    if (!utf16_) {
      if (r <= 0) return false;
      end += static_cast<std::size_t>(r);
      return true;
    }
    std::size_t k = r > 0    ? utf16_->feed(raw_.get(), static_cast<std::size_t>(r), win.get() + end)
                    : r == 0 ? utf16_->finish(win.get() + end)
                             : 0;
    end += k;
    if (k > 0) return true;
  }
  return false;
}

bool Source::start(const enc::Encoding*& encoding) {
  ++generation;
  while (end < 4 && more()) {
  }
  if (read_errno_ || stopped_) return false;
  const enc::Sniffed sniffed = enc::sniff(std::string_view(win.get(), end));
  encoding = sniffed.encoding;
  if (!enc::is_utf16(*sniffed.encoding)) {
    pos = sniffed.skip;
    return true;
  }
  // Run what was read so far through the transcoder; later refills go
  // through it in more().
  utf16_ = std::make_unique<enc::Utf16Transcoder>(sniffed.encoding->kind == enc::Kind::Utf16BE);
  raw_.reset(new unsigned char[kRawSize]);
  raw_discarded_ = sniffed.skip;
  const std::size_t n = end - sniffed.skip;
  std::memcpy(raw_.get(), win.get() + sniffed.skip, n);
  end = utf16_->feed(raw_.get(), n, win.get());
  if (src_end_) end += utf16_->finish(win.get() + end);
  pos = 0;
  return true;
}

bool Source::resume(std::uint64_t offset, const enc::Encoding& encoding, XmlStreamError& err) {
  const auto refuse = [&](std::string text) {
    err = {XmlStreamError::Kind::Io, std::move(text)};
    return false;
  };
  const bool wide = enc::is_utf16(encoding);
  const std::size_t n = wide ? 2 : 1;
  char before[2] = {0, 0};
  if (offset < n) return refuse("split point at byte " + std::to_string(offset) + " is before any markup");
  if (callback_.read != nullptr) {
    // The caller has put the input at `offset - n`: the bytes before the
    // split point come first, checked like a file's.
    if (pull_pos_ != pull_end_ || callback_failed_)
      return refuse("an input read as a stream cannot be read from a split point");
    std::size_t have = 0;
    while (have < n) {
      const long r = callback_.read(callback_.context, pull_.get() + have, kPullSize - have);
      if (r < 0 || static_cast<std::size_t>(r) > kPullSize - have) {
        callback_failed_ = true;
        read_errno_ = EIO;
        return refuse(read_error());
      }
      if (r == 0) return refuse("the input is shorter than when it was split");
      have += static_cast<std::size_t>(r);
    }
    std::memcpy(before, pull_.get(), n);
    pull_pos_ = n;
    pull_end_ = have;
  } else if (fd_ >= 0) {
    ssize_t got;
    do {
      got = ::pread(fd_, before, n, static_cast<off_t>(offset - n));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return refuse(os_error(errno));
    if (static_cast<std::size_t>(got) != n) return refuse("the file is shorter than when it was split");
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return refuse(os_error(errno));
  } else {
    if (offset > view_.size()) return refuse("the input is shorter than when it was split");
    std::memcpy(before, view_.data() + offset - n, n);
    mem_pos_ = static_cast<std::size_t>(offset);
  }
  const bool gt = !wide ? before[0] == '>'
                  : encoding.kind == enc::Kind::Utf16BE ? before[0] == 0 && before[1] == '>'
                                                        : before[0] == '>' && before[1] == 0;
  if (!gt) return refuse("no tag ends before the split point at byte " + std::to_string(offset) +
                         ": the file changed since it was split");
  pos = end = 0;
  ++generation;
  if (wide) {
    utf16_ = std::make_unique<enc::Utf16Transcoder>(encoding.kind == enc::Kind::Utf16BE);
    raw_.reset(new unsigned char[kRawSize]);
    raw_discarded_ = mark_raw_ = offset;
    discarded_ = mark_ = 0;
  } else {
    discarded_ = mark_ = offset;
  }
  return true;
}

// ---- Positions ------------------------------------------------------------------

std::uint64_t Source::utf16_bytes(std::size_t n) const {
  // The transcoder turns each code unit into one UTF-8 sequence (a pair of
  // surrogates into one of four bytes), and a lone surrogate into 0xFF.
  std::uint64_t raw = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(win[i]);
    if ((b & 0xC0) != 0x80) raw += b >= 0xF0 && b != 0xFF ? 4 : 2;
  }
  return raw;
}

std::uint64_t Source::mark_offset() const {
  if (!utf16_) return mark_;
  return mark_ < discarded_ ? mark_raw_ : raw_discarded_ + utf16_bytes(mark_ - discarded_);
}

std::optional<std::uint64_t> Source::line_of(std::uint64_t offset) {
  if (callback_.read != nullptr) return std::nullopt;  // what was read is gone
  if (offset < lines_at_) lines_at_ = 0, lines_ = 1;
  // A UTF-16 line feed is a code unit, at an even offset.
  const bool wide = utf16_ != nullptr;
  const bool big_endian = wide && utf16_->big_endian();
  char buf[1 << 16];
  while (lines_at_ < offset) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, offset - lines_at_));
    ssize_t got;
    if (fd_ < 0) {
      if (lines_at_ >= view_.size()) return std::nullopt;
      got = static_cast<ssize_t>(std::min<std::uint64_t>(want, view_.size() - lines_at_));
      std::memcpy(buf, view_.data() + lines_at_, static_cast<std::size_t>(got));
    } else {
      do {
        got = ::pread(fd_, buf, want, static_cast<off_t>(lines_at_));
      } while (got < 0 && errno == EINTR);
      if (got <= 0) return std::nullopt;  // a pipe, or the file changed
    }
    const auto n = static_cast<std::size_t>(got);
    if (!wide) {
      for (const char* p = buf; (p = static_cast<const char*>(std::memchr(p, '\n', buf + n - p))) != nullptr; ++p)
        ++lines_;
    } else {
      // Whole code units only; an odd tail is read again next time.
      for (std::size_t i = 0; i + 1 < n; i += 2)
        if (buf[i + big_endian] == '\n' && buf[i + !big_endian] == 0) ++lines_;
    }
    lines_at_ += wide ? n & ~std::size_t{1} : n;
    if (wide && n < 2) return std::nullopt;
  }
  return lines_;
}

}  // namespace qk::xml
