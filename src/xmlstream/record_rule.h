// Which elements are records. The batch loop and the counter both follow
// this one rule, since callers rely on a count equal to the rows streamed.
// No Python here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qk::xml {

// Record names chosen by the caller: each a local name, or a path of them
// ("channel/item" matches at any depth as the innermost open elements,
// "/rss/channel/item" only from the root).
struct RecordPaths {
  struct Path {
    bool absolute = false;
    std::vector<std::string> names;  // outermost first
  };
  std::vector<Path> paths;

  // Parses the given names; false with `why` filled for an empty name, an
  // empty segment, a prefixed segment or one that is not an XML name.
  static bool parse(std::span<const std::string> given, RecordPaths& out, std::string& why);

  // Whether `depth` open elements, `at(i)` the local name of the ith
  // (outermost first), make the innermost a record.
  template <class At>
  bool matches(std::size_t depth, At at) const {
    for (const Path& p : paths) {
      const std::size_t n = p.names.size();
      if (n > depth || (p.absolute && n != depth)) continue;
      bool same = true;
      for (std::size_t k = 0; k < n && same; ++k) same = at(depth - 1 - k) == p.names[n - 1 - k];
      if (same) return true;
    }
    return false;
  }
  // Whether some of the open elements `open` (qualified names, outermost
  // first) would be inside a record: a split point taken under another rule.
  bool inside(std::span<const std::string> open) const;
};

// The local part of a qualified name, as raw bytes.
inline std::string_view local_part(std::string_view qualified) {
  const std::size_t at = qualified.rfind(':');
  return at == std::string_view::npos ? qualified : qualified.substr(at + 1);
}

// By default every child element of a top-level element is a record; an
// empty-element tag directly inside a top-level element is a record without
// values. With RecordPaths, the elements they match are records, and an
// element that matches inside a record is part of it. Feed it every start,
// end and empty-element tag (with its qualified name); each call says what
// the tag's element is.
class RecordRule {
 public:
  enum class Role : std::uint8_t {
    Outside,   // outside every record, or an end tag the reader refused
    Record,    // the record element itself
    InRecord,  // an element nested inside a record
  };

  // Begins with `depth` elements open: a reading resumed at a split point.
  explicit RecordRule(std::uint64_t depth = 0) : depth_(depth) {}
  // Records chosen by `paths`, beginning with the elements `open` open
  // (qualified names, outermost first), none of them inside a record.
  template <class Names>
  RecordRule(std::shared_ptr<const RecordPaths> paths, const Names& open) : paths_(std::move(paths)) {
    for (const auto& name : open) {
      push(local_part(name));
      ++depth_;
    }
  }

  // Whether the rule looks at names: the default rule needs none.
  bool named() const { return paths_ != nullptr; }
  // The default rule looks at depths alone: one branch more than that.
  Role start(std::string_view qualified) {
    if (!paths_) [[likely]]
      return role(depth_++);
    return start_named(qualified);
  }
  Role end() {
    if (!paths_) [[likely]]
      return depth_ == 0 ? Role::Outside : role(--depth_);
    return end_named();
  }
  Role empty(std::string_view qualified) const {
    if (!paths_) [[likely]]
      return role(depth_);
    if (record_at_ != 0) return Role::InRecord;
    const std::string_view local = local_part(qualified);
    const std::size_t n = starts_.size();
    return paths_->matches(n + 1, [&](std::size_t i) { return i == n ? local : name(i); }) ? Role::Record
                                                                                             : Role::Outside;
  }

 private:
  static Role role(std::uint64_t depth) {
    return depth == 0 ? Role::Outside : depth == 1 ? Role::Record : Role::InRecord;
  }
  Role start_named(std::string_view qualified) {
    ++depth_;
    if (record_at_ != 0) return Role::InRecord;
    push(local_part(qualified));
    if (!paths_->matches(starts_.size(), [&](std::size_t i) { return name(i); })) return Role::Outside;
    record_at_ = depth_;
    return Role::Record;
  }
  Role end_named() {
    if (depth_ == 0) return Role::Outside;
    if (record_at_ != 0 && depth_ != record_at_) {
      --depth_;
      return Role::InRecord;
    }
    --depth_;
    pop();
    if (record_at_ == 0) return Role::Outside;
    record_at_ = 0;
    return Role::Record;
  }
  // The open elements outside records (and the open record), by local name.
  void push(std::string_view local) {
    starts_.push_back(names_.size());
    names_.append(local);
  }
  void pop() {
    names_.resize(starts_.back());
    starts_.pop_back();
  }
  std::string_view name(std::size_t i) const {
    const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : names_.size();
    return std::string_view(names_).substr(starts_[i], end - starts_[i]);
  }

  std::uint64_t depth_ = 0;  // open elements
  std::shared_ptr<const RecordPaths> paths_;
  std::uint64_t record_at_ = 0;  // the open record's depth, or 0 outside records
  std::string names_;
  std::vector<std::size_t> starts_;
};

}  // namespace qk::xml
