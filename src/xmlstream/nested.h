// Nested reading: a record as one row of nested values, nothing dropped.
// Repeated elements become lists, elements with children or attributes
// structs, text beside child elements a `#text` field. The shape of every
// path is found over the whole file first, so that every batch has the same
// Arrow type; then values go straight into Arrow-layout buffers as events
// arrive, without a tree per record. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "xmlstream/arrow_c.h"
#include "xmlstream/column.h"
#include "xmlstream/errors.h"
#include "xmlstream/read_options.h"
#include "xmlstream/reader.h"
#include "xmlstream/split.h"
#include "xmlstream/types.h"

namespace qk::xml {

// What one path (an element, or an attribute) held over the file.
struct Shape {
  std::string name;  // local name; the record element's is ""
  bool attribute = false;
  bool repeated = false;  // more than once under one parent in some record
  bool text = false;      // own non-blank text (an attribute: a value) seen
  // The record-name column: a leaf of the record element, first, holding
  // the record element's own local name.
  bool record_name = false;
  TypeState type;         // of that text
  // Attributes and child elements, each kind in order of first appearance.
  std::vector<Shape> fields;

  // A struct when it has attributes or children; else a leaf value.
  bool is_struct() const { return !fields.empty(); }
  // Position of a field, or npos.
  static constexpr std::size_t npos = SIZE_MAX;
  std::size_t find(std::string_view field_name, bool attr) const;
  std::size_t add(std::string_view field_name, bool attr);

  // Appends new names, ORs flags and merges type states: `other` comes
  // after this one in the file.
  void merge(const Shape& other);
  // A compact byte form, and back (false for bytes that are not one).
  std::string serialize() const;
  static bool parse(std::string_view bytes, Shape& out);

  // Discovery only: the parent instance that last held this field, and
  // the field likely to come next (records repeat their order).
  std::uint64_t stamp = 0;
  std::size_t guess = 0;
};

// The deepest a record may nest, counting the record element (text_of
// elements' insides aside): a struct and a list for each level stay within
// the 64 levels Arrow's importers take.
constexpr std::size_t kMaxNestedDepth = 32;

// Which elements are taken as their whole text (descendants' text joined in
// document order, markup dropped), by local name.
struct NestedOptions {
  std::unordered_set<std::string> text_of;
  bool types = false;  // classify values (discovery) or convert them (building)
  // Discovery: the name of a first column holding each record element's
  // local name, for records of several names in one table.
  std::optional<std::string> record_column;
};

// What the nested event loop (XmlBatchInner::set_nested) feeds: the record
// element opens first, and the close of the record element ends the record.
// Text is appended to text() and then settled with its mark.
class NestedSink {
 public:
  virtual ~NestedSink() = default;
  virtual bool open(std::string_view local_name, XmlStreamError& err) = 0;
  virtual bool attribute(std::string_view local_name, std::string_view value, XmlStreamError& err) = 0;
  virtual std::string& text() = 0;
  // Whether text() needs the text itself; if not, a piece known not to be
  // blank is only noted by nonblank_text().
  virtual bool wants_text() const { return true; }
  // Whether text in the innermost open element could tell anything new;
  // if not, the reader may skip it unread.
  virtual bool needs_text() const { return true; }
  virtual void nonblank_text() {}
  virtual bool close(XmlStreamError& err) = 0;
  // The record in progress is cut short (an error): forget it.
  virtual void abandon() = 0;
  const NestedOptions& options() const { return options_; }

 protected:
  NestedOptions options_;
};

// Discovery: every record's shape merged into one.
class ShapeCollector final : public NestedSink {
 public:
  explicit ShapeCollector(NestedOptions options);
  bool open(std::string_view local_name, XmlStreamError& err) override;
  bool attribute(std::string_view local_name, std::string_view value, XmlStreamError& err) override;
  std::string& text() override { return text_; }
  bool wants_text() const override { return options_.types; }
  // Without types, only whether a path ever has text counts: once it has,
  // its further text is news to no one.
  bool needs_text() const override { return options_.types || frames_.empty() || !frames_.back().shape->text; }
  void nonblank_text() override { frames_.back().nonblank = true; }
  bool close(XmlStreamError& err) override;
  void abandon() override;
  Shape& shape() { return root_; }

 private:
  struct Frame {
    Shape* shape;
    std::size_t text_off;
    std::uint64_t instance;
    bool nonblank;
  };
  Shape* enter(Shape& parent, std::uint64_t instance, std::string_view name, bool attr);
  Shape root_;
  std::vector<Frame> frames_;
  std::string text_;
  std::uint64_t instances_ = 0;
};

// The finished values of one batch, exportable any number of times.
class NestedBatch {
 public:
  struct Node;
  struct Data;
  NestedBatch() = default;
  std::uint64_t rows() const;
  void export_array(ArrowArray* out) const;
  // The batch's columns (the record struct's fields).
  std::vector<std::string> names() const;

 private:
  friend class NestedBuilder;
  std::shared_ptr<const Data> data_;
};

// The Arrow schema that `root` (a record shape) gives, the record's fields
// as columns; with types, each leaf's decided type.
void export_nested_schema(const Shape& root, bool types, ArrowSchema* out);
// The names of those columns.
std::vector<std::string> nested_columns(const Shape& root);

// Building: each element occurrence appends to its own field's buffers.
class NestedBuilder final : public NestedSink {
 public:
  NestedBuilder(const Shape& root, NestedOptions options);
  ~NestedBuilder() override;
  bool open(std::string_view local_name, XmlStreamError& err) override;
  bool attribute(std::string_view local_name, std::string_view value, XmlStreamError& err) override;
  std::string& text() override { return text_; }
  bool close(XmlStreamError& err) override;
  void abandon() override;
  std::uint64_t rows() const;
  // The rows so far as a batch; the builder starts a new one. False, with
  // `err`, when a value does not read as its path's type.
  bool take(NestedBatch& out, std::string& err);
  // Whether reading failed on a record the shape has no place for: with a
  // shape found from part of a file, a sign to find the whole file's.
  bool missed() const { return missed_; }

 private:
  struct Plan;
  bool changed(XmlStreamError& err, const std::string& what);
  bool missed_ = false;
  void start_batch();
  Shape root_;  // the plan's names view into it
  std::unique_ptr<Plan> plan_;
  std::string text_;
  std::string record_name_;  // of the record being built
  std::string scratch_;
};

// One pass that finds the shape of every record of `reader` (resumed where
// wanted), with `options` as the reading pass will use them. With `until`,
// stops as ReadOptions::until says and notes the split point there.
bool discover_shapes(std::unique_ptr<Reader> reader, std::string path, const ReadOptions& read,
                     const NestedOptions& options, Shape& out, std::uint64_t& records,
                     std::vector<SplitPoint>* splits, XmlStreamError& err);

}  // namespace qk::xml
