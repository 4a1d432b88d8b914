// Declared, given and HTML entities, and their bounded expansion.
#include "xmlstream/entities.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "xmlstream/encoding.h"
#include "xmlstream/text.h"
#include "xmlstream/utf8.h"

namespace qk::xml {

namespace {

struct HtmlEntity {
  std::string_view name, text;
};

constexpr HtmlEntity kHtml[] = {
#include "xmlstream/html_entities.inc"
};

bool ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool name_char(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == ':' || c == '-' || c == '.';
}

std::string mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// A cursor over DTD text.
struct Dtd {
  std::string_view s;
  std::size_t i = 0;

  bool at(std::string_view word) const { return s.substr(i, word.size()) == word; }
  void skip_ws() {
    while (i < s.size() && ws(s[i])) ++i;
  }
  // Past the next `term`, or to the end.
  void skip_past(std::string_view term) {
    const std::size_t at = s.find(term, i);
    i = at == std::string_view::npos ? s.size() : at + term.size();
  }
  std::string_view name() {
    const std::size_t from = i;
    while (i < s.size() && name_char(s[i])) ++i;
    return s.substr(from, i - from);
  }
  // A quoted literal's content; false when there is none, or it is not closed.
  bool literal(std::string_view& out) {
    if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return false;
    const std::size_t close = s.find(s[i], i + 1);
    if (close == std::string_view::npos) return false;
    out = s.substr(i + 1, close - i - 1);
    i = close + 1;
    return true;
  }
};

}  // namespace

bool html_entity(std::string_view name, std::string_view& text) {
  const auto it = std::lower_bound(std::begin(kHtml), std::end(kHtml), name,
                                   [](const HtmlEntity& e, std::string_view n) { return e.name < n; });
  if (it == std::end(kHtml) || it->name != name) return false;
  text = it->text;
  return true;
}

void Entities::put(std::string name, Entity e) {
  const auto it = map_.find(name);
  if (it == map_.end()) {
    map_.emplace(std::move(name), std::move(e));
  } else if (e.origin > it->second.origin) {
    it->second = std::move(e);
  }
}

void Entities::add_text(std::string name, std::string text) {
  put(std::move(name), Entity{std::move(text), Origin::Given, true, false});
}

bool Entities::add_declarations(std::string_view dtd, Origin origin, std::string& error) {
  if (dtd.size() > kMaxDtd) {
    error = "DTD text longer than " + mib(kMaxDtd);
    return false;
  }
  Dtd d{dtd};
  while (d.i < dtd.size()) {
    if (d.at("<!--")) {
      d.skip_past("-->");
    } else if (d.at("<?")) {
      d.skip_past("?>");
    } else if (d.at("<!ENTITY") && d.i + 8 < dtd.size() && ws(dtd[d.i + 8])) {
      const std::size_t decl = d.i;
      const auto bad = [&](const char* why) {
        std::string text(dtd.substr(decl, std::min<std::size_t>(60, dtd.size() - decl)));
        for (char& c : text)
          if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        error = std::string("malformed entity declaration (") + why + "): `" + text + "`";
        return false;
      };
      d.i += 8;
      d.skip_ws();
      bool parameter = false;
      if (d.i < dtd.size() && dtd[d.i] == '%') {
        parameter = true;
        ++d.i;
        d.skip_ws();
      }
      const std::string_view name = d.name();
      if (name.empty()) return bad("no name");
      d.skip_ws();
      std::string_view value;
      bool external = false;
      if (d.at("SYSTEM") || d.at("PUBLIC")) {
        external = true;
        const bool pub = d.at("PUBLIC");
        d.i += 6;
        d.skip_ws();
        if (!d.literal(value)) return bad("no system literal");
        if (pub) {
          d.skip_ws();
          if (!d.literal(value)) return bad("no system literal");
        }
        d.skip_ws();
        if (d.at("NDATA")) {
          d.i += 5;
          d.skip_ws();
          if (d.name().empty()) return bad("no notation name");
        }
        value = {};
      } else if (!d.literal(value)) {
        return bad("no quoted value");
      }
      d.skip_ws();
      if (d.i >= dtd.size() || dtd[d.i] != '>') return bad("no closing `>`");
      ++d.i;
      if (!parameter) put(std::string(name), Entity{std::string(value), origin, false, external});
    } else if (d.at("<!")) {
      // Another declaration: its quoted literals may hold '>'.
      d.i += 2;
      while (d.i < dtd.size() && dtd[d.i] != '>') {
        std::string_view ignored;
        if (!d.literal(ignored)) ++d.i;
      }
      if (d.i < dtd.size()) ++d.i;
    } else {
      ++d.i;  // white space, parameter entity references, conditional sections' brackets
    }
  }
  return true;
}

bool Entities::add_dtd_file(const std::string& path, std::string& error) {
  const auto failed = [&](std::string why) {
    error = "DTD file '" + path + "': " + why;
    return false;
  };
  if (path.find('\0') != std::string::npos) return failed("the path holds a NUL character");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rbe"), &std::fclose);
  if (!f) return failed(std::strerror(errno));
  std::string text;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    text.append(chunk, n);
    if (text.size() > kMaxDtd) return failed("longer than " + mib(kMaxDtd));
  }
  if (std::ferror(f.get())) return failed(std::strerror(errno));
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  // Its texts become values as they are.
  if (!enc::valid_utf8(text)) return failed("not valid UTF-8");
  std::string why;
  if (!add_declarations(text, Origin::Dtd, why)) return failed(why);
  return true;
}

bool Entities::charge(std::size_t n, std::size_t now, std::size_t start, std::string& error) {
  if (now - start + n > kMaxOne) {
    error = "entity `" + std::string(top_) + "` expands past " + mib(kMaxOne);
    return false;
  }
  spent_ += n;
  if (spent_ > kMaxTotal + kPerInputByte * input_) {
    error = "entity references expand past " + mib(kMaxTotal + kPerInputByte * input_) + " in this document, at `" +
            std::string(top_) + "`";
    return false;
  }
  return true;
}

bool Entities::expand_entity(std::string_view name, const Entity& e, std::string& out, int depth, std::size_t start,
                             std::string& error) {
  if (e.external) {
    error = "entity `" + std::string(name) + "` is external (SYSTEM or PUBLIC), and external entities are never read";
    return false;
  }
  if (e.literal) {
    if (!charge(e.text.size(), out.size(), start, error)) return false;
    out.append(e.text);
    return true;
  }
  if (e.text.find('<') != std::string::npos) {
    error = "entity `" + std::string(name) + "` holds markup (`<`), which is read only as text";
    return false;
  }
  if (depth >= kMaxDepth) {
    error = "entity references nested more than " + std::to_string(kMaxDepth) + " deep, at `" + std::string(name) + "`";
    return false;
  }
  const std::string_view text(e.text);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) amp = text.size();
    if (!charge(amp - i, out.size(), start, error)) return false;
    out.append(text.substr(i, amp - i));
    if (amp == text.size()) break;
    const std::size_t semi = text.find(';', amp + 1);
    if (semi == std::string_view::npos) {
      error = "unterminated reference in entity `" + std::string(name) + "`";
      return false;
    }
    const std::string_view ref = text.substr(amp + 1, semi - amp - 1);
    i = semi + 1;
    char one = 0;
    if (!ref.empty() && ref[0] == '#') {
      const std::uint32_t cp = character_reference_value(ref);
      if (cp == 0) {
        error = "invalid character reference in entity `" + std::string(name) + "`";
        return false;
      }
      char buf[4];
      const std::size_t n = static_cast<std::size_t>(enc::put_utf8(buf, cp) - buf);
      if (!charge(n, out.size(), start, error)) return false;
      out.append(buf, n);
      continue;
    }
    if (ref == "lt") one = '<';
    else if (ref == "gt") one = '>';
    else if (ref == "amp") one = '&';
    else if (ref == "apos") one = '\'';
    else if (ref == "quot") one = '"';
    if (one) {
      if (!charge(1, out.size(), start, error)) return false;
      out += one;
      continue;
    }
    if (const auto it = map_.find(ref); it != map_.end()) {
      if (!expand_entity(ref, it->second, out, depth + 1, start, error)) return false;
      continue;
    }
    std::string_view html;
    if (html_ && html_entity(ref, html)) {
      if (!charge(html.size(), out.size(), start, error)) return false;
      out.append(html);
      continue;
    }
    std::string shown(ref.substr(0, 40));
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    error = "unrecognized entity `" + shown + "` in entity `" + std::string(name) + "`";
    return false;
  }
  return true;
}

Entities::Found Entities::expand(std::string_view name, std::string& out, std::string& error) {
  if (const auto it = map_.find(name); it != map_.end()) {
    top_ = name;
    const std::size_t start = out.size();
    if (expand_entity(name, it->second, out, 0, start, error)) return Found::Yes;
    out.resize(start);
    return Found::Error;
  }
  std::string_view html;
  if (html_ && html_entity(name, html)) {
    // An HTML text is at most a few bytes longer than its reference: it
    // cannot amplify.
    out.append(html);
    return Found::Yes;
  }
  return Found::No;
}

}  // namespace qk::xml
