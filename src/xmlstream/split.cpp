#include "xmlstream/split.h"

namespace qk::xml {

namespace {

// Version and kind in one tag, so a stale or foreign string is refused
// rather than misread.
constexpr std::string_view kMagic = "qksplit2";

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

void put_bytes(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s);
}

struct Cursor {
  std::string_view s;
  bool ok = true;

  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (s.empty()) break;
      const auto b = static_cast<unsigned char>(s.front());
      s.remove_prefix(1);
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  std::string_view bytes() {
    const std::uint64_t n = varint();
    if (!ok || n > s.size()) {
      ok = false;
      return {};
    }
    std::string_view out = s.substr(0, n);
    s.remove_prefix(n);
    return out;
  }
};

}  // namespace

std::string serialize_split(const SplitPoint& at) {
  std::string out(kMagic);
  put_varint(out, at.offset);
  put_varint(out, at.records);
  put_varint(out, at.line);
  put_bytes(out, at.encoding ? at.encoding->name : "");
  // 2: an encoding was declared that is not known here, its label follows.
  out += static_cast<char>(at.declared ? 1 : at.unsupported.empty() ? 0 : 2);
  if (!at.declared && !at.unsupported.empty()) put_bytes(out, at.unsupported);
  put_varint(out, at.open.size());
  for (const std::string& name : at.open) put_bytes(out, name);
  // Last and optional: a point without a subset reads as it always did.
  if (at.subset) put_bytes(out, *at.subset);
  return out;
}

bool parse_split(std::string_view bytes, SplitPoint& out) {
  if (bytes.substr(0, kMagic.size()) != kMagic) return false;
  Cursor c{bytes.substr(kMagic.size())};
  SplitPoint at;
  at.offset = c.varint();
  at.records = c.varint();
  at.line = c.varint();
  at.encoding = enc::by_exact_name(c.bytes());
  if (!c.ok || at.encoding == nullptr || c.s.empty()) return false;
  const char declared = c.s.front();
  c.s.remove_prefix(1);
  if (declared != 0 && declared != 1 && declared != 2) return false;
  at.declared = declared == 1;
  if (declared == 2) {
    at.unsupported = c.bytes();
    if (!c.ok || at.unsupported.empty()) return false;
  }
  const std::uint64_t n = c.varint();
  // Each name takes at least its length byte.
  if (!c.ok || n > c.s.size()) return false;
  for (std::uint64_t i = 0; i < n && c.ok; ++i) at.open.emplace_back(c.bytes());
  if (c.ok && !c.s.empty()) at.subset = std::make_shared<const std::string>(c.bytes());
  if (!c.ok || !c.s.empty()) return false;
  out = std::move(at);
  return true;
}

}  // namespace qk::xml
