// Record shapes, the nested builder and its Arrow export.
#include "xmlstream/nested.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "xmlstream/batch.h"
#include "xmlstream/key_index.h"
#include "xmlstream/text.h"

namespace qk::xml {

// ---- Shapes -----------------------------------------------------------------------

std::size_t Shape::find(std::string_view field_name, bool attr) const {
  // Records of a file tend to repeat their fields in order.
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].attribute == attr && same_bytes(fields[i].name, field_name)) return i;
  return npos;
}

std::size_t Shape::add(std::string_view field_name, bool attr) {
  Shape& s = fields.emplace_back();
  s.name = field_name;
  s.attribute = attr;
  return fields.size() - 1;
}

void Shape::merge(const Shape& other) {
  repeated = repeated || other.repeated;
  text = text || other.text;
  record_name = record_name || other.record_name;
  type.merge(other.type);
  for (const Shape& f : other.fields) {
    const std::size_t i = find(f.name, f.attribute);
    if (i == npos) fields.push_back(f);
    else fields[i].merge(f);
  }
}

namespace {
constexpr std::string_view kShapeMagic = "QKN1";

void put32(std::string& out, std::uint32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}

void serialize_into(const Shape& s, std::string& out) {
  out.push_back(
      static_cast<char>((s.attribute ? 1 : 0) | (s.repeated ? 2 : 0) | (s.text ? 4 : 0) | (s.record_name ? 8 : 0)));
  const std::uint16_t t = s.type.packed();
  out.push_back(static_cast<char>(t & 0xFF));
  out.push_back(static_cast<char>(t >> 8));
  put32(out, static_cast<std::uint32_t>(s.name.size()));
  out.append(s.name);
  put32(out, static_cast<std::uint32_t>(s.fields.size()));
  for (const Shape& f : s.fields) serialize_into(f, out);
}

// Nesting is bounded by the reading (see kMaxNestedDepth), and so is this.
bool parse_from(std::string_view& in, Shape& s, std::size_t depth) {
  if (depth > 2 * kMaxNestedDepth || in.size() < 7) return false;
  const auto flags = static_cast<unsigned char>(in[0]);
  const std::uint16_t t = static_cast<std::uint16_t>(static_cast<unsigned char>(in[1]) |
                                                     (static_cast<unsigned char>(in[2]) << 8));
  if (flags > 15 || t > 0x1FF) return false;
  s.attribute = flags & 1;
  s.repeated = flags & 2;
  s.text = flags & 4;
  s.record_name = flags & 8;
  s.type = TypeState::unpacked(t);
  std::uint32_t n;
  std::memcpy(&n, in.data() + 3, 4);
  in.remove_prefix(7);
  if (in.size() < n) return false;
  s.name = in.substr(0, n);
  in.remove_prefix(n);
  if (in.size() < 4) return false;
  std::memcpy(&n, in.data(), 4);
  in.remove_prefix(4);
  if (n > in.size() / 11) return false;  // each field takes 11 bytes at least
  s.fields.resize(n);
  for (Shape& f : s.fields)
    if (!parse_from(in, f, depth + 1)) return false;
  return true;
}
}  // namespace

std::string Shape::serialize() const {
  std::string out(kShapeMagic);
  serialize_into(*this, out);
  return out;
}

bool Shape::parse(std::string_view bytes, Shape& out) {
  out = Shape{};
  if (!bytes.starts_with(kShapeMagic)) return false;
  bytes.remove_prefix(kShapeMagic.size());
  return parse_from(bytes, out, 0) && bytes.empty();
}

// ---- Discovery --------------------------------------------------------------------

Shape* ShapeCollector::enter(Shape& parent, std::uint64_t instance, std::string_view name, bool attr) {
  // The field after the last one met, or one of the next few when a
  // record lacks an optional field.
  std::size_t i = Shape::npos;
  for (std::size_t k = parent.guess, end = std::min(k + 4, parent.fields.size()); k < end && i == Shape::npos; ++k)
    if (parent.fields[k].attribute == attr && same_bytes(parent.fields[k].name, name)) i = k;
  if (i == Shape::npos) i = parent.find(name, attr);
  if (i == Shape::npos) i = parent.add(name, attr);
  parent.guess = i + 1;
  Shape& c = parent.fields[i];
  if (c.stamp == instance) c.repeated = true;
  c.stamp = instance;
  return &c;
}

ShapeCollector::ShapeCollector(NestedOptions options) {
  options_ = std::move(options);
  // First, whatever the records hold.
  if (options_.record_column) root_.fields[root_.add(*options_.record_column, false)].record_name = true;
}

bool ShapeCollector::open(std::string_view local_name, XmlStreamError& err) {
  if (frames_.size() == 1 && options_.record_column && local_name == *options_.record_column) {
    // Two columns of one name, or the element's values in the names' column.
    err = XmlStreamError{XmlStreamError::Kind::Xml,
                         "a record holds an element <" + std::string(local_name) +
                             ">, the name given for the record-name column (record_column=): choose another",
                         false};
    return false;
  }
  // Only the innermost shape gains fields, so the frames' pointers, into
  // the fields of shapes further out, stay valid.
  Shape* s = frames_.empty() ? &root_ : enter(*frames_.back().shape, frames_.back().instance, local_name, false);
  frames_.push_back({s, text_.size(), ++instances_, false});
  return true;
}

bool ShapeCollector::attribute(std::string_view local_name, std::string_view value, XmlStreamError&) {
  Frame& f = frames_.back();
  Shape* s = enter(*f.shape, f.instance, local_name, true);
  const std::string_view v = trim_white_space(value);
  if (!v.empty()) {
    s->text = true;
    if (options_.types) s->type.add(classify(v));
  }
  return true;
}

bool ShapeCollector::close(XmlStreamError&) {
  const Frame f = frames_.back();
  frames_.pop_back();
  const std::string_view v = trim_white_space(std::string_view(text_).substr(f.text_off));
  if (!v.empty() || f.nonblank) {
    f.shape->text = true;
    if (options_.types) f.shape->type.add(classify(v));
  }
  text_.resize(f.text_off);
  f.shape->guess = 0;
  return true;
}

void ShapeCollector::abandon() {
  frames_.clear();
  text_.clear();
}

// ---- Building -----------------------------------------------------------------------

namespace {
// A validity bitmap being appended to.
struct Bits {
  Buffer<std::uint8_t> bytes;
  std::uint64_t size = 0, nulls = 0;
  void push(bool valid) {
    if ((size & 7) == 0) bytes.push_back(0);
    if (valid) bytes.back() |= static_cast<std::uint8_t>(1u << (size & 7));
    else ++nulls;
    ++size;
  }
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using NameMap = std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>>;
}  // namespace

struct NestedBatch::Node {
  enum Kind : std::uint8_t { Leaf, Struct, List } kind = Leaf;
  std::string name;  // the Arrow field's: "@a", "a", "#text" or "item"
  std::string_view key;  // the element's or attribute's local name
  bool attr = false;
  ValueType type = ValueType::String;
  std::vector<std::uint32_t> children;  // a struct's fields, or a list's item
  std::int32_t text_field = -1;         // a struct's #text leaf
  std::int32_t name_field = -1;         // the record's record-name leaf
  NameMap elements, attributes;         // a struct's fields' positions by local name
  std::uint32_t guess = 0;              // a struct's next field's position, likely

  Column col;  // a leaf's strings
  TypedColumn typed;
  Bits valid;  // a struct's or a list's
  Buffer<std::int64_t> offsets = {0};

  std::uint64_t converted = UINT64_MAX;  // a typed leaf's rows, once its text is gone

  std::uint64_t length() const {
    return kind != Leaf ? valid.size : converted != UINT64_MAX ? converted : col.rows();
  }
};

struct NestedBatch::Data {
  std::vector<Node> nodes;  // nodes[0] is the record
};

using Node = NestedBatch::Node;

namespace {

std::uint32_t plan_field(const Shape& s, bool types, std::vector<Node>& nodes);

// The node of an element's values: a struct when it has fields (the record
// always), else a leaf.
std::uint32_t plan_element(const Shape& s, bool types, std::vector<Node>& nodes, bool record) {
  const auto at = static_cast<std::uint32_t>(nodes.size());
  nodes.emplace_back();
  nodes[at].key = s.name;
  nodes[at].attr = s.attribute;
  if (!record && !s.is_struct()) {
    nodes[at].type = types ? s.type.decide() : ValueType::String;
    return at;
  }
  nodes[at].kind = Node::Struct;
  // The record-name column first, then attributes, children, and the
  // element's own text.
  for (const Shape& f : s.fields) {
    if (!record || !f.record_name) continue;
    const auto c = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    nodes[c].name = f.name;  // its empty key matches no element
    nodes[at].name_field = static_cast<std::int32_t>(c);
    nodes[at].children.push_back(c);
  }
  for (const bool attr : {true, false})
    for (const Shape& f : s.fields) {
      if (f.attribute != attr || f.record_name) continue;
      const std::uint32_t c = plan_field(f, types, nodes);
      (attr ? nodes[at].attributes : nodes[at].elements)
          .emplace(f.name, static_cast<std::uint32_t>(nodes[at].children.size()));
      nodes[at].children.push_back(c);
    }
  if (s.text) {
    const auto t = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    nodes[t].name = "#text";
    nodes[t].type = types ? s.type.decide() : ValueType::String;
    nodes[at].text_field = static_cast<std::int32_t>(t);
    nodes[at].children.push_back(t);
  }
  return at;
}

std::uint32_t plan_field(const Shape& s, bool types, std::vector<Node>& nodes) {
  const std::string name = (s.attribute ? "@" : "") + s.name;
  if (!s.repeated) {
    const std::uint32_t e = plan_element(s, types, nodes, false);
    nodes[e].name = name;
    return e;
  }
  const auto at = static_cast<std::uint32_t>(nodes.size());
  nodes.emplace_back();
  nodes[at].kind = Node::List;
  nodes[at].name = name;
  nodes[at].key = s.name;
  nodes[at].attr = s.attribute;
  const std::uint32_t e = plan_element(s, types, nodes, false);
  nodes[e].name = "item";
  nodes[at].children.push_back(e);
  return at;
}

// A null where a field was absent: a struct's fields null too, a list
// empty.
void append_null(std::vector<Node>& nodes, std::uint32_t i) {
  Node& n = nodes[i];
  switch (n.kind) {
    case Node::Leaf:
      n.col.push_null();
      break;
    case Node::Struct:
      n.valid.push(false);
      for (const std::uint32_t c : n.children) append_null(nodes, c);
      break;
    case Node::List:
      n.valid.push(true);
      n.offsets.push_back(n.offsets.back());
      break;
  }
}

void push_text(Node& leaf, std::string_view text) {
  const std::string_view v = trim_white_space(text);
  if (v.empty()) leaf.col.push_null();
  else leaf.col.push(v);
}

}  // namespace

struct NestedBuilder::Plan {
  std::vector<Node> blank;  // the nodes of an empty batch
  std::vector<Node> nodes;
  struct Frame {
    std::uint32_t node;
    std::size_t text_off;
  };
  std::vector<Frame> frames;
};

NestedBuilder::NestedBuilder(const Shape& root, NestedOptions options) : root_(root), plan_(std::make_unique<Plan>()) {
  options_ = std::move(options);
  plan_element(root_, options_.types, plan_->blank, true);
  start_batch();
}

NestedBuilder::~NestedBuilder() = default;

void NestedBuilder::start_batch() {
  plan_->nodes = plan_->blank;
  plan_->frames.clear();
  text_.clear();
}

std::uint64_t NestedBuilder::rows() const { return plan_->nodes[0].length(); }

bool NestedBuilder::changed(XmlStreamError& err, const std::string& what) {
  missed_ = true;
  err = XmlStreamError{XmlStreamError::Kind::Xml,
                       what + " where the pass that found the file's shape saw none (did the file change?)", false};
  return false;
}

// The field `name` of the open struct, by a guess first: records repeat
// their fields in order.
bool NestedBuilder::open(std::string_view local_name, XmlStreamError& err) {
  std::vector<Node>& nodes = plan_->nodes;
  if (plan_->frames.empty()) {
    plan_->frames.push_back({0, text_.size()});
    if (nodes[0].name_field >= 0) record_name_.assign(local_name);
    return true;
  }
  Node& parent = nodes[plan_->frames.back().node];
  std::uint32_t f = UINT32_MAX;
  // The field after the last one met, or one of the next few when a record
  // lacks an optional field.
  for (std::size_t k = parent.guess, end = std::min<std::size_t>(k + 4, parent.children.size()); k < end; ++k) {
    const Node& g = nodes[parent.children[k]];
    // The #text leaf's key is empty, which no name is.
    if (g.attr || !same_bytes(g.key, local_name)) continue;
    f = parent.children[k];
    parent.guess = static_cast<decltype(parent.guess)>(k);
    break;
  }
  if (f == UINT32_MAX) {
    const auto it = parent.elements.find(local_name);
    if (it == parent.elements.end()) return changed(err, "an element <" + std::string(local_name) + ">");
    parent.guess = it->second;
    f = parent.children[it->second];
  }
  ++parent.guess;
  const std::uint64_t row = parent.length();
  Node& field = nodes[f];
  std::uint32_t e = f;
  if (field.kind == Node::List) e = field.children[0];
  else if (field.length() > row) return changed(err, "a second <" + std::string(local_name) + ">");
  plan_->frames.push_back({e, text_.size()});
  return true;
}

bool NestedBuilder::attribute(std::string_view local_name, std::string_view value, XmlStreamError& err) {
  std::vector<Node>& nodes = plan_->nodes;
  Node& parent = nodes[plan_->frames.back().node];
  const auto it = parent.attributes.find(local_name);
  if (it == parent.attributes.end()) return changed(err, "an attribute " + std::string(local_name));
  Node& field = nodes[parent.children[it->second]];
  if (field.kind == Node::List) return push_text(nodes[field.children[0]], value), true;
  if (field.length() > parent.length()) return changed(err, "a second attribute " + std::string(local_name));
  push_text(field, value);
  return true;
}

bool NestedBuilder::close(XmlStreamError& err) {
  std::vector<Node>& nodes = plan_->nodes;
  const Plan::Frame fr = plan_->frames.back();
  plan_->frames.pop_back();
  const std::string_view text = std::string_view(text_).substr(fr.text_off);
  Node& n = nodes[fr.node];
  if (n.kind == Node::Leaf) {
    push_text(n, text);
  } else {
    const std::uint64_t row = n.length();
    if (n.name_field >= 0) push_text(nodes[static_cast<std::uint32_t>(n.name_field)], record_name_);
    if (n.text_field >= 0) push_text(nodes[static_cast<std::uint32_t>(n.text_field)], text);
    else if (!trim_white_space(text).empty()) return changed(err, "text");
    for (const std::uint32_t c : nodes[fr.node].children) {
      Node& child = nodes[c];
      if (child.kind == Node::List) {
        child.valid.push(true);
        child.offsets.push_back(static_cast<std::int64_t>(nodes[child.children[0]].length()));
      } else if (child.length() == row) {
        append_null(nodes, c);
      }
    }
    nodes[fr.node].valid.push(true);
    nodes[fr.node].guess = 0;
  }
  text_.resize(fr.text_off);
  return true;
}

void NestedBuilder::abandon() {
  // Reading ends at the error, and the batch in progress is dropped.
  start_batch();
}

bool NestedBuilder::take(NestedBatch& out, std::string& err) {
  auto data = std::make_shared<NestedBatch::Data>();
  data->nodes = std::move(plan_->nodes);
  for (Node& n : data->nodes) {
    if (n.kind == Node::Leaf) n.col.seal();
    if (n.kind != Node::Leaf) continue;
    // Nested strings are large strings: their offsets 64-bit, however
    // much text a batch holds.
    if (n.type == ValueType::String) {
      n.col.widen();
      continue;
    }
    std::string bad;
    if (!convert_column(n.col, n.type, n.typed, bad)) {
      err = "the value '" + bad + "' of <" + std::string(n.key) + "> does not read as " + type_name(n.type) +
            " like the rest of its values (did the file change?)";
      start_batch();
      return false;
    }
    n.converted = n.col.rows();
    n.col.bytes = Bytes();
    Buffer<std::int32_t>().swap(n.col.offsets);
  }
  out.data_ = std::move(data);
  start_batch();
  return true;
}

// ---- Export ------------------------------------------------------------------------

std::uint64_t NestedBatch::rows() const { return data_ ? data_->nodes[0].length() : 0; }

std::vector<std::string> NestedBatch::names() const {
  std::vector<std::string> out;
  if (data_)
    for (const std::uint32_t c : data_->nodes[0].children) out.push_back(data_->nodes[c].name);
  return out;
}

namespace {

// Each array and schema owns what it points into, so a consumer may move a
// child out and release it apart from its parent.
struct ArrayHolder {
  std::shared_ptr<const void> data;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
};

void release_array(ArrowArray* a) {
  auto* h = static_cast<ArrayHolder*>(a->private_data);
  for (ArrowArray* c : h->child_ptrs)
    if (c->release) c->release(c);
  delete h;
  a->release = nullptr;
}

struct SchemaHolder {
  std::string name, format;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) {
  auto* h = static_cast<SchemaHolder*>(s->private_data);
  for (ArrowSchema* c : h->child_ptrs)
    if (c->release) c->release(c);
  delete h;
  s->release = nullptr;
}

void export_node(const std::shared_ptr<const NestedBatch::Data>& data, std::uint32_t i, ArrowArray* out) {
  const Node& n = data->nodes[i];
  auto h = std::make_unique<ArrayHolder>();
  h->data = data;
  std::int64_t n_buffers = 1, nulls = 0;
  switch (n.kind) {
    case Node::Leaf:
      nulls = static_cast<std::int64_t>(n.col.nulls);
      h->buffers[0] = nulls ? n.col.validity.data() : nullptr;
      if (n.type == ValueType::String) {
        h->buffers[1] = n.col.wide.data();
        h->buffers[2] = n.col.data();
        n_buffers = 3;
      } else {
        h->buffers[1] = n.typed.data.data();
        n_buffers = 2;
      }
      break;
    case Node::Struct:
    case Node::List:
      nulls = static_cast<std::int64_t>(n.valid.nulls);
      h->buffers[0] = nulls ? n.valid.bytes.data() : nullptr;
      if (n.kind == Node::List) {
        h->buffers[1] = n.offsets.data();
        n_buffers = 2;
      }
      break;
  }
  h->children.resize(n.children.size());
  h->child_ptrs.resize(n.children.size());
  for (std::size_t k = 0; k < n.children.size(); ++k) {
    export_node(data, n.children[k], &h->children[k]);
    h->child_ptrs[k] = &h->children[k];
  }
  *out = ArrowArray{static_cast<int64_t>(n.length()),
                    nulls,
                    0,
                    n_buffers,
                    static_cast<int64_t>(n.children.size()),
                    h->buffers,
                    h->child_ptrs.empty() ? nullptr : h->child_ptrs.data(),
                    nullptr,
                    &release_array,
                    h.get()};
  h.release();
}

void export_node_schema(const std::vector<Node>& nodes, std::uint32_t i, bool top, ArrowSchema* out) {
  const Node& n = nodes[i];
  auto h = std::make_unique<SchemaHolder>();
  h->name = top ? "" : n.name;
  h->format = n.kind == Node::Struct ? "+s" : n.kind == Node::List ? "+L" : arrow_format(n.type);
  h->children.resize(n.children.size());
  h->child_ptrs.resize(n.children.size());
  for (std::size_t k = 0; k < n.children.size(); ++k) {
    export_node_schema(nodes, n.children[k], false, &h->children[k]);
    h->child_ptrs[k] = &h->children[k];
  }
  *out = ArrowSchema{h->format.c_str(),
                     h->name.c_str(),
                     nullptr,
                     top ? 0 : ARROW_FLAG_NULLABLE,
                     static_cast<int64_t>(n.children.size()),
                     h->child_ptrs.empty() ? nullptr : h->child_ptrs.data(),
                     nullptr,
                     &release_schema,
                     h.get()};
  h.release();
}

}  // namespace

void NestedBatch::export_array(ArrowArray* out) const { export_node(data_, 0, out); }

void export_nested_schema(const Shape& root, bool types, ArrowSchema* out) {
  std::vector<Node> nodes;
  plan_element(root, types, nodes, true);
  export_node_schema(nodes, 0, true, out);
}

std::vector<std::string> nested_columns(const Shape& root) {
  std::vector<Node> nodes;
  plan_element(root, false, nodes, true);
  std::vector<std::string> out;
  for (const std::uint32_t c : nodes[0].children) out.push_back(nodes[c].name);
  return out;
}

// ---- The discovery pass --------------------------------------------------------------

bool discover_shapes(std::unique_ptr<Reader> reader, std::string path, const ReadOptions& read,
                     const NestedOptions& options, Shape& out, std::uint64_t& records,
                     std::vector<SplitPoint>* splits, XmlStreamError& err) {
  ShapeCollector collector(options);
  XmlBatchInner inner(std::move(reader), UINT64_MAX, std::move(path));
  inner.set_options(read);
  // Pacing far beyond any file: only the stop at `until` is noted.
  if (splits) inner.set_splits(std::uint64_t{1} << 62, 1, splits);
  inner.set_nested(&collector);
  while (true) {
    const XmlBatchInner::Step step = inner.next_batch(err);
    if (step == XmlBatchInner::Step::Error) return false;
    if (step == XmlBatchInner::Step::Finished) break;
    inner.take_batch();
  }
  records = inner.records_read();
  out = std::move(collector.shape());
  return true;
}

}  // namespace qk::xml
