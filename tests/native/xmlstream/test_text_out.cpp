// CSV and JSON Lines from Arrow arrays built by hand, so offsets, bitmaps
// and nesting are exactly what each case says.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "xmlstream/text_out.h"

using namespace qk::xml;

namespace {

using Value = std::optional<std::string>;

// An Arrow array and its schema that own their buffers; never released
// through the C callbacks, which the encoder does not call.
struct Arr {
  std::string format;
  std::string name;
  std::vector<std::uint8_t> bits;
  std::vector<std::int64_t> off64;
  std::vector<std::int32_t> off32;
  std::string data;
  std::vector<std::unique_ptr<Arr>> kids;
  std::vector<const void*> buffers;
  std::vector<ArrowSchema*> schema_kids;
  std::vector<ArrowArray*> array_kids;
  ArrowSchema schema{};
  ArrowArray array{};

  void finish(std::int64_t length, std::int64_t offset, std::int64_t nulls) {
    for (auto& k : kids) {
      schema_kids.push_back(&k->schema);
      array_kids.push_back(&k->array);
    }
    schema.format = format.c_str();
    schema.name = name.c_str();
    schema.n_children = static_cast<std::int64_t>(kids.size());
    schema.children = schema_kids.data();
    array.length = length;
    array.offset = offset;
    array.null_count = nulls;
    array.n_buffers = static_cast<std::int64_t>(buffers.size());
    array.buffers = buffers.data();
    array.n_children = static_cast<std::int64_t>(kids.size());
    array.children = array_kids.data();
  }
  void set_bits(const std::vector<bool>& valid, std::int64_t& nulls) {
    bits.assign((valid.size() + 7) / 8 + 1, 0);
    for (std::size_t i = 0; i < valid.size(); ++i)
      if (valid[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
      else ++nulls;
  }
};

// Strings; `skip` leading values are there but lie before the offset.
std::unique_ptr<Arr> strings(const std::string& name, const std::vector<Value>& values, bool large = true,
                             std::int64_t skip = 0) {
  auto a = std::make_unique<Arr>();
  a->format = large ? "U" : "u";
  a->name = name;
  std::vector<bool> valid;
  a->off64.push_back(0);
  a->off32.push_back(0);
  for (const Value& v : values) {
    valid.push_back(v.has_value());
    if (v) a->data += *v;
    a->off64.push_back(static_cast<std::int64_t>(a->data.size()));
    a->off32.push_back(static_cast<std::int32_t>(a->data.size()));
  }
  std::int64_t nulls = 0;
  a->set_bits(valid, nulls);
  // No bitmap at all when nothing is null, as producers may do.
  a->buffers = {nulls ? a->bits.data() : nullptr,
                large ? static_cast<const void*>(a->off64.data()) : a->off32.data(), a->data.data()};
  a->finish(static_cast<std::int64_t>(values.size()) - skip, skip, nulls);
  return a;
}

std::unique_ptr<Arr> structure(const std::string& name, std::vector<std::unique_ptr<Arr>> kids,
                               std::vector<bool> valid, std::int64_t skip = 0) {
  auto a = std::make_unique<Arr>();
  a->format = "+s";
  a->name = name;
  a->kids = std::move(kids);
  std::int64_t nulls = 0;
  a->set_bits(valid, nulls);
  a->buffers = {nulls ? a->bits.data() : nullptr};
  a->finish(static_cast<std::int64_t>(valid.size()) - skip, skip, nulls);
  return a;
}

// A list of `item`'s values, split by `lengths` (-1 for a null list).
std::unique_ptr<Arr> list(const std::string& name, std::unique_ptr<Arr> item, const std::vector<int>& lengths,
                          bool large = false) {
  auto a = std::make_unique<Arr>();
  a->format = large ? "+L" : "+l";
  a->name = name;
  a->kids.push_back(std::move(item));
  std::vector<bool> valid;
  std::int64_t at = 0;
  a->off64.push_back(0);
  a->off32.push_back(0);
  for (int n : lengths) {
    valid.push_back(n >= 0);
    at += std::max(n, 0);
    a->off64.push_back(at);
    a->off32.push_back(static_cast<std::int32_t>(at));
  }
  std::int64_t nulls = 0;
  a->set_bits(valid, nulls);
  a->buffers = {nulls ? a->bits.data() : nullptr,
                large ? static_cast<const void*>(a->off64.data()) : a->off32.data()};
  a->finish(static_cast<std::int64_t>(lengths.size()), 0, nulls);
  return a;
}

std::unique_ptr<Arr> batch(std::vector<std::unique_ptr<Arr>> columns, std::int64_t rows, std::int64_t skip = 0) {
  return structure("", std::move(columns), std::vector<bool>(static_cast<std::size_t>(rows), true), skip);
}

std::vector<std::string> names_of(const Arr& b) {
  std::vector<std::string> names;
  for (const auto& k : b.kids) names.push_back(k->name);
  return names;
}

std::string encode(TextFormat format, const Arr& b, std::vector<bool> literal = {}, bool nulls = false) {
  TextEncoder enc(format, names_of(b), std::move(literal), nulls);
  TextEncoder::Plan plan;
  std::string why;
  const TextFault fault = enc.prepare(b.schema, b.array, plan, why);
  CHECK_EQ(why, std::string());
  if (fault != TextFault::None) return "<" + why + ">";
  TextOut out;
  enc.encode(plan, out);
  return std::string(out.view());
}

}  // namespace

TEST(text_json_escapes_every_special_byte) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"\x0b\x1a", "\"\\u000b\\u001a\""},
      {" \x7f~", "\" \x7f~\""},
      {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
      // Specials at every lane of an eight-byte word, and past it.
      {"0123456\"89abcdef\\", "\"0123456\\\"89abcdef\\\\\""},
      {"01234567\n", "\"01234567\\n\""},
      {"\"0123456789abcdefg", "\"\\\"0123456789abcdefg\""},
      {"0123456789abcdefghij\x02", "\"0123456789abcdefghij\\u0002\""},
  };
  for (const auto& [in, want] : cases) {
    std::string out = "x";
    append_json_string(out, in.data(), in.size());
    CHECK_EQ(out, "x" + want);
  }
}

TEST(text_csv_quotes_only_when_needed) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},
      {"a\rb", "\"a\rb\""},
      {"a\nb", "\"a\nb\""},
      {" lead and trail ", " lead and trail "},
      {"tab\there;semi'q", "tab\there;semi'q"},
      {"0123456789abcdef,", "\"0123456789abcdef,\""},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    append_csv_field(out, in.data(), in.size());
    CHECK_EQ(out, want);
  }
}

TEST(text_header) {
  CHECK_EQ(TextEncoder(TextFormat::Csv, {"a", "b,c", "", "d\"e"}, {}, false).header(),
           std::string("a,\"b,c\",\"\",\"d\"\"e\"\r\n"));
  CHECK_EQ(TextEncoder(TextFormat::Csv, {}, {}, false).header(), std::string());
  CHECK_EQ(TextEncoder(TextFormat::JsonLines, {"a"}, {}, false).header(), std::string());
}

TEST(text_rows_with_nulls_and_empty_strings) {
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(strings("a", {"1", std::nullopt, "", "x,y"}));
  cols.push_back(strings("b", {std::nullopt, std::nullopt, "q\"", "z"}, false));
  auto b = batch(std::move(cols), 4);
  CHECK_EQ(encode(TextFormat::Csv, *b), std::string("1,\r\n,\r\n\"\",\"q\"\"\"\r\n\"x,y\",z\r\n"));
  CHECK_EQ(encode(TextFormat::JsonLines, *b),
           std::string("{\"a\": \"1\"}\n{}\n{\"a\": \"\", \"b\": \"q\\\"\"}\n{\"a\": \"x,y\", \"b\": \"z\"}\n"));
  CHECK_EQ(encode(TextFormat::JsonLines, *b, {}, true),
           std::string("{\"a\": \"1\", \"b\": null}\n{\"a\": null, \"b\": null}\n"
                       "{\"a\": \"\", \"b\": \"q\\\"\"}\n{\"a\": \"x,y\", \"b\": \"z\"}\n"));
}

TEST(text_literal_columns) {
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(strings("n", {"12", "", std::nullopt, "-1.5e3"}));
  cols.push_back(strings("s", {"12", "", "t", "true"}));
  auto b = batch(std::move(cols), 4);
  CHECK_EQ(encode(TextFormat::JsonLines, *b, {true, false}),
           std::string("{\"n\": 12, \"s\": \"12\"}\n{\"s\": \"\"}\n{\"s\": \"t\"}\n{\"n\": -1.5e3, \"s\": \"true\"}\n"));
  CHECK_EQ(encode(TextFormat::JsonLines, *b, {true, false}, true).substr(0, 33),
           std::string("{\"n\": 12, \"s\": \"12\"}\n{\"n\": null, "));
}

TEST(text_sliced_batch_and_columns) {
  // The batch starts one row in; its columns have offsets of their own.
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(strings("a", {"skip", "gone", "r1", std::nullopt, "r3"}, true, 1));
  cols.push_back(strings("b", {"x", "y", std::nullopt, "b2", "b3", "tail"}, false, 1));
  auto b = batch(std::move(cols), 4, 1);
  CHECK_EQ(encode(TextFormat::Csv, *b), std::string("r1,\r\n,b2\r\nr3,b3\r\n"));
  CHECK_EQ(encode(TextFormat::JsonLines, *b),
           std::string("{\"a\": \"r1\"}\n{\"b\": \"b2\"}\n{\"a\": \"r3\", \"b\": \"b3\"}\n"));
}

TEST(text_no_columns) {
  auto b = batch({}, 3);
  CHECK_EQ(encode(TextFormat::Csv, *b), std::string());
  CHECK_EQ(encode(TextFormat::JsonLines, *b), std::string("{}\n{}\n{}\n"));
}

TEST(text_nested_json) {
  // s: struct{x: string, l: list<string>}, with a null struct and a null
  // child; t: large_list<struct{k}>.
  std::vector<std::unique_ptr<Arr>> skids;
  skids.push_back(strings("x", {"1", std::nullopt, "3"}));
  skids.push_back(list("l", strings("", {"a", std::nullopt, "\"", "b"}), {2, -1, 2}));
  std::vector<std::unique_ptr<Arr>> tkids;
  tkids.push_back(strings("k", {"v", std::nullopt, "w"}));
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(structure("s", std::move(skids), {true, true, false}));
  cols.push_back(list("t", structure("", std::move(tkids), {true, true, false}), {0, 3, -1}, true));
  auto b = batch(std::move(cols), 3);
  CHECK_EQ(encode(TextFormat::JsonLines, *b),
           std::string("{\"s\": {\"x\": \"1\", \"l\": [\"a\", null]}, \"t\": []}\n"
                       "{\"s\": {}, \"t\": [{\"k\": \"v\"}, {}, null]}\n"
                       "{}\n"));
  CHECK_EQ(encode(TextFormat::JsonLines, *b, {}, true),
           std::string("{\"s\": {\"x\": \"1\", \"l\": [\"a\", null]}, \"t\": []}\n"
                       "{\"s\": {\"x\": null, \"l\": null}, \"t\": [{\"k\": \"v\"}, {\"k\": null}, null]}\n"
                       "{\"s\": null, \"t\": null}\n"));
}

TEST(text_struct_children_follow_a_sliced_parent) {
  // A struct sliced one row in: its children are read at the struct's
  // offset plus their own.
  std::vector<std::unique_ptr<Arr>> skids;
  skids.push_back(strings("x", {"pad", "0", "1", "2"}, true, 1));
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(structure("s", std::move(skids), {true, true, true}, 1));
  auto b = batch(std::move(cols), 2);
  CHECK_EQ(encode(TextFormat::JsonLines, *b), std::string("{\"s\": {\"x\": \"1\"}}\n{\"s\": {\"x\": \"2\"}}\n"));
}

TEST(text_refuses_what_it_cannot_write) {
  std::vector<std::unique_ptr<Arr>> cols;
  cols.push_back(strings("a", {"1"}));
  cols.push_back(list("l", strings("", {"x"}), {1}));
  auto b = batch(std::move(cols), 1);
  TextEncoder::Plan plan;
  std::string why;
  // CSV writes a list of strings as its JSON text, quoted.
  CHECK(TextEncoder(TextFormat::Csv, {"a", "l"}, {}, false).prepare(b->schema, b->array, plan, why) ==
        TextFault::None);
  CHECK_EQ(encode(TextFormat::Csv, *b), std::string("1,\"[\"\"x\"\"]\"\r\n"));
  CHECK(TextEncoder(TextFormat::JsonLines, {"a", "m"}, {}, false).prepare(b->schema, b->array, plan, why) ==
        TextFault::Shape);
  CHECK(TextEncoder(TextFormat::JsonLines, {"a"}, {}, false).prepare(b->schema, b->array, plan, why) ==
        TextFault::Shape);
  // A number column deep in a list is named by its path.
  b->kids[1]->kids[0]->format = "l";
  b->kids[1]->kids[0]->schema.format = b->kids[1]->kids[0]->format.c_str();
  CHECK(TextEncoder(TextFormat::JsonLines, {"a", "l"}, {}, false).prepare(b->schema, b->array, plan, why) ==
        TextFault::Type);
  CHECK(why.starts_with("column 'l[]' is of Arrow type int64, which JSON Lines"));
  CHECK(TextEncoder(TextFormat::Csv, {"a", "l"}, {}, false).prepare(b->schema, b->array, plan, why) ==
        TextFault::Type);
  CHECK_EQ(why, std::string("column 'l[]' is of Arrow type int64, which CSV does not write: only strings, and "
                            "structs and lists of them (as their JSON text)"));
  // A batch with a null record.
  std::vector<std::unique_ptr<Arr>> one_col;
  one_col.push_back(strings("a", {"1", "2"}));
  auto holes = structure("", std::move(one_col), {true, false});
  CHECK(TextEncoder(TextFormat::Csv, {"a"}, {}, false).prepare(holes->schema, holes->array, plan, why) ==
        TextFault::Shape);
}
