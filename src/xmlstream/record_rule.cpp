// Record names chosen by the caller: parsing and checking them.
#include "xmlstream/record_rule.h"

namespace qk::xml {

namespace {

// The code point at `s[i]` (valid UTF-8, as callers pass), advancing `i`.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  char32_t cp;
  std::size_t n;
  if (c < 0x80) cp = c, n = 1;
  else if (c < 0xE0 && i + 1 < s.size()) cp = ((c & 0x1Fu) << 6) | (b(1) & 0x3Fu), n = 2;
  else if (c < 0xF0 && i + 2 < s.size()) cp = ((c & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu), n = 3;
  else if (i + 3 < s.size())
    cp = ((c & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu), n = 4;
  else cp = 0xFFFF, n = s.size() - i;  // cut short: never a name character
  i += n;
  return cp;
}

// XML's NameStartChar, without ':' (names here are local).
bool name_start(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool name_char(char32_t c) {
  return name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool local_xml_name(std::string_view s) {
  std::size_t i = 0;
  if (s.empty() || !name_start(next_code_point(s, i))) return false;
  while (i < s.size())
    if (!name_char(next_code_point(s, i))) return false;
  return true;
}

}  // namespace

bool RecordPaths::parse(std::span<const std::string> given, RecordPaths& out, std::string& why) {
  out.paths.clear();
  if (given.empty()) {
    why = "record takes at least one name";
    return false;
  }
  for (const std::string& text : given) {
    std::string_view rest(text);
    Path path;
    path.absolute = !rest.empty() && rest.front() == '/';
    if (path.absolute) rest.remove_prefix(1);
    if (rest.empty()) {
      why = "record: an empty name";
      return false;
    }
    while (true) {
      const std::size_t slash = rest.find('/');
      const std::string_view segment = rest.substr(0, slash);
      if (segment.empty()) {
        why = "record: '" + text + "' has an empty step between slashes";
        return false;
      }
      if (segment.find(':') != std::string_view::npos) {
        why = "record: names are matched by their local name: give '" + std::string(local_part(segment)) +
              "', not '" + std::string(segment) + "'";
        return false;
      }
      if (!local_xml_name(segment)) {
        why = "record: '" + std::string(segment) + "' is not an XML name";
        return false;
      }
      path.names.emplace_back(segment);
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
    out.paths.push_back(std::move(path));
  }
  return true;
}

bool RecordPaths::inside(std::span<const std::string> open) const {
  for (std::size_t depth = 1; depth <= open.size(); ++depth)
    if (matches(depth, [&](std::size_t i) { return local_part(open[i]); })) return true;
  return false;
}

}  // namespace qk::xml
