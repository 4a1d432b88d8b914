#include "xmlstream/source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qk::xml {

namespace {

std::string os_error(int n) {
  char b[256];
  const char* m = strerror_r(n, b, sizeof b);  // GNU variant: returns the message
  return std::string(m) + " (os error " + std::to_string(n) + ")";
}

}  // namespace

Source::Source(std::size_t chunk)
    : win(new char[kWindowSize]()), chunk_(std::clamp<std::size_t>(chunk, 1, Reader::kReadBufferSize)) {}

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
    return false;
  }
  fd_ = fd;
  return true;
}

void Source::assign(std::string data) { mem_ = std::move(data); }

std::string Source::read_error() const { return os_error(read_errno_); }

long Source::read_chunk(void* dst) {
  if (fd_ < 0) {
    std::size_t n = std::min(chunk_, mem_.size() - mem_pos_);
    std::memcpy(dst, mem_.data() + mem_pos_, n);
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
  if (pos > 0) {
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
  const std::size_t n = end - sniffed.skip;
  std::memcpy(raw_.get(), win.get() + sniffed.skip, n);
  end = utf16_->feed(raw_.get(), n, win.get());
  if (src_end_) end += utf16_->finish(win.get() + end);
  pos = 0;
  return true;
}

}  // namespace qk::xml
