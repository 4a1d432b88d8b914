// Element names, white space and references in record text.
#include "records_helpers.h"

using namespace qk::xml;
using namespace qk::xml::testing;

// ---- Names and white space ------------------------------------------------------

TEST(records_local_name) {
  const std::pair<std::string, std::string> cases[] = {
      {"ns:item", "item"}, {"a:b:c", "c"}, {"item", "item"}, {"p:", ""}, {":", ""},
      {"", ""}, {"\xC3\xA9l\xC3\xA9ment", "\xC3\xA9l\xC3\xA9ment"},
      // Invalid UTF-8: one U+FFFD per maximal subpart.
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xE0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE2\x82", "\xEF\xBF\xBD"},
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a\xF4\x90\x80\x80" "b", "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b"},
      {"\xE2\x82x\xE2\x82\xAC", "\xEF\xBF\xBDx\xE2\x82\xAC"},
      {"p\xFF:q\xF1\x80\x80\xC3\xA9", "q\xEF\xBF\xBD\xC3\xA9"},
  };
  std::string scratch = "left over";
  for (const auto& [raw, want] : cases) {
    CHECK_EQ(local_name(raw), want);
    CHECK_EQ(std::string(local_name_in(raw, scratch)), want);
  }
}

TEST(records_trim_white_space) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t\r\n\v\f x y \n", "x y"},
      {"   ", ""},
      {"", ""},
      // Every non-ASCII White_Space character, at both ends.
      {"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A" "a"
       "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", "a"},
      // Not White_Space: information separators, zero-width space, U+200B..
      {"\x1C" "a\x1F", "\x1C" "a\x1F"},
      {"\xE2\x80\x8B" "a\xE2\x80\x8B", "\xE2\x80\x8B" "a\xE2\x80\x8B"},
      {"\xC3\xA0", "\xC3\xA0"},     // U+00E0 ends in 0xA0 but is a letter
      {"a\xE3\x80\x81", "a\xE3\x80\x81"},  // U+3001 differs from U+3000 in the last byte
  };
  for (const auto& [in, want] : cases) CHECK_EQ(std::string(trim_white_space(in)), want);
}


// ---- References -----------------------------------------------------------------

TEST(records_resolve_references) {
  const std::pair<std::string, std::string> ok[] = {
      {"plain", "plain"}, {"", ""},
      {"a&lt;b&gt;c&amp;d&apos;e&quot;f", "a<b>c&d'e\"f"},
      {"&#65;&#x41;&#x6a;&#x6A;&#0065;", "AAjjA"},
      {"&#xE9;&#233;&#x20AC;&#x1F600;&#x10FFFF;",
       "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"&amp;lt;", "&lt;"}, {"x;y", "x;y"},
  };
  // The copying form agrees wherever the references fall against its
  // 16-byte steps, and writes nothing past the value's own size.
  const auto copied = [](const std::string& in) {
    std::string out(in.size() + 1, '#');
    const std::size_t n = copy_resolving(in.data(), in.size(), out.data());
    CHECK_EQ(out.back(), '#');
    return n == std::string::npos ? std::string("(npos)") : out.substr(0, n);
  };
  for (const auto& [in, want] : ok) {
    std::string out = "pre:" + in;
    XmlStreamError err;
    CHECK(resolve_references_in_place(out, 4, err));
    CHECK_EQ(out, "pre:" + want);
    for (std::size_t pad = 0; pad < 20; ++pad) {
      const std::string x(pad, 'x');
      CHECK_EQ(copied(x + in + in + x), x + want + want + x);
      std::string in_place = "pre:" + x + in + in + x;
      CHECK(resolve_references_in_place(in_place, 4, err));
      CHECK_EQ(in_place, "pre:" + x + want + want + x);
    }
  }
  const std::pair<std::string, std::string> bad[] = {
      {"a & b", "unterminated reference in text"},
      {"a &amp", "unterminated reference in text"},
      {"&lt&gt;", "unterminated reference in text"},
      {"&nbsp;", "unrecognized entity `nbsp`"},
      {"&LT;", "unrecognized entity `LT`"},
      {"&;", "unrecognized entity ``"},
      {"&a\nb;", "unrecognized entity `a\\x0Ab`"},
      {"&#0;", "invalid character reference `#0`"},
      {"&#x0;", "invalid character reference `#x0`"},
      {"&#;", "invalid character reference `#`"},
      {"&#x;", "invalid character reference `#x`"},
      {"&#X41;", "invalid character reference `#X41`"},
      {"&#+65;", "invalid character reference `#+65`"},
      {"&#-65;", "invalid character reference `#-65`"},
      {"&#x+41;", "invalid character reference `#x+41`"},
      {"&#6a;", "invalid character reference `#6a`"},
      {"&#xg;", "invalid character reference `#xg`"},
      {"&#xD800;", "invalid character reference `#xD800`"},
      {"&#57343;", "invalid character reference `#57343`"},
      {"&#x110000;", "invalid character reference `#x110000`"},
      {"&#4294967295;", "invalid character reference `#4294967295`"},
      {"&#4294967361;", "invalid character reference `#4294967361`"},  // 2^32 + 'A'
      {"&#x10000000041;", "invalid character reference `#x10000000041`"},
      {"&#99999999999999999999999999;", "invalid character reference `#99999999999999999999999999`"},
  };
  for (const auto& [in, want] : bad) {
    std::string out = "pre:ok &amp; " + in;
    XmlStreamError err;
    CHECK(!resolve_references_in_place(out, 4, err));
    CHECK_EQ(check::without_position(err.text), want);
    CHECK(err.kind == XmlStreamError::Kind::Xml);
    CHECK_EQ(out, "pre:");  // nothing of a failed piece is kept
    CHECK_EQ(copied(std::string(17, 'x') + in), "(npos)");
  }
  std::string out = "&" + std::string(100, 'n') + ";";
  XmlStreamError err;
  CHECK(!resolve_references_in_place(out, 0, err));
  CHECK_EQ(check::without_position(err.text), "unrecognized entity `" + std::string(40, 'n') + "...`");
}
