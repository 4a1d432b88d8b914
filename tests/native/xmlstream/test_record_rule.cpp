// Which elements are records: the default rule and chosen names, fed tags
// by hand and counted over documents.
#include <memory>
#include <string>
#include <vector>

#include "records_helpers.h"
#include "xmlstream/count.h"
#include "xmlstream/record_rule.h"
#include "xmlstream/split.h"

using namespace qk::xml;
using namespace qk::xml::testing;

namespace {

std::shared_ptr<const RecordPaths> paths_of(std::vector<std::string> given) {
  auto out = std::make_shared<RecordPaths>();
  std::string why;
  CHECK(RecordPaths::parse(given, *out, why));
  return out;
}

std::uint64_t counted(const std::string& xml, std::shared_ptr<const RecordPaths> paths) {
  auto reader = Reader::from_bytes(xml, 3);
  std::uint64_t n = 99;
  XmlStreamError err;
  std::vector<SplitPoint> none;
  CHECK(count_records(*reader, n, err, 0, 1, none, UINT64_MAX, std::move(paths)));
  return n;
}

}  // namespace

TEST(record_rule_nested_same_name_is_one_record) {
  using Role = RecordRule::Role;
  const std::vector<std::string> none;
  RecordRule rule(paths_of({"item"}), none);
  CHECK(rule.start("rss") == Role::Outside);
  CHECK(rule.start("dc:item") == Role::Record);
  CHECK(rule.start("item") == Role::InRecord);
  CHECK(rule.empty("item") == Role::InRecord);
  CHECK(rule.end() == Role::InRecord);
  CHECK(rule.end() == Role::Record);
  CHECK(rule.empty("item") == Role::Record);
  CHECK(rule.end() == Role::Outside);
  CHECK(rule.end() == Role::Outside);  // an end tag the reader refused
}

TEST(record_rule_resumes_with_open_elements) {
  using Role = RecordRule::Role;
  const std::vector<std::string> open = {"rss", "x:channel"};
  RecordRule rule(paths_of({"/rss/channel/item"}), open);
  CHECK(rule.start("item") == Role::Record);
  CHECK(rule.end() == Role::Record);
  CHECK(rule.start("other") == Role::Outside);
  CHECK(rule.empty("item") == Role::Outside);
  CHECK(paths_of({"channel"})->inside(open));
  CHECK(!paths_of({"item", "/channel"})->inside(open));
}

TEST(record_paths_refuse_bad_names) {
  for (const char* bad : {"", "/", "a//b", "a/", "1a", "a b", "p:a", "-a"}) {
    RecordPaths out;
    std::string why;
    CHECK(!RecordPaths::parse(std::vector<std::string>{bad}, out, why));
    CHECK(!why.empty());
  }
  RecordPaths out;
  std::string why;
  CHECK(!RecordPaths::parse(std::vector<std::string>{}, out, why));
  CHECK(RecordPaths::parse(std::vector<std::string>{"a.b-c_d", "/x/\xC3\xA9t\xC3\xA9"}, out, why));
}

TEST(record_rule_counts_the_chosen_records) {
  const std::string feed = "<rss><channel><title>t</title><item><item/></item><x><item/></x><item/></channel></rss>";
  CHECK_EQ(counted(feed, paths_of({"item"})), 3u);
  CHECK_EQ(counted(feed, paths_of({"channel/item"})), 2u);
  CHECK_EQ(counted(feed, paths_of({"/rss/channel/item", "x"})), 3u);
  CHECK_EQ(counted(feed, paths_of({"/channel"})), 0u);
  CHECK_EQ(counted(feed, nullptr), 1u);  // the default: the root's children
}
