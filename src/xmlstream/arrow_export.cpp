// Batches handed to Arrow through the C data interface.
#include "xmlstream/arrow_export.h"

#include <stdexcept>
#include <utility>

namespace qk::xml {

// ---- Export -------------------------------------------------------------------------
// Each child array and schema owns what it points into, so a consumer may
// move a child out of its parent and release the two apart, as the
// interface allows.

namespace {

struct ChildArray {
  std::shared_ptr<const void> batch;
  const void* buffers[3];
};

struct ParentArray {
  std::shared_ptr<const void> batch;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
  const void* buffers[1] = {nullptr};
};

void release_child_array(ArrowArray* a) {
  delete static_cast<ChildArray*>(a->private_data);
  a->release = nullptr;
}

void release_parent_array(ArrowArray* a) {
  auto* holder = static_cast<ParentArray*>(a->private_data);
  for (ArrowArray* c : holder->child_ptrs)
    if (c->release) c->release(c);
  delete holder;
  a->release = nullptr;
}

struct ChildSchema {
  std::string name;
};

struct ParentSchema {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_child_schema(ArrowSchema* s) {
  delete static_cast<ChildSchema*>(s->private_data);
  s->release = nullptr;
}

void release_parent_schema(ArrowSchema* s) {
  auto* holder = static_cast<ParentSchema*>(s->private_data);
  for (ArrowSchema* c : holder->child_ptrs)
    if (c->release) c->release(c);
  delete holder;
  s->release = nullptr;
}

}  // namespace

void export_schema(const std::vector<std::string>& names, ArrowSchema* out) {
  export_schema(names, {}, out);
}

void export_schema(const std::vector<std::string>& names, const std::vector<ValueType>& types,
                   ArrowSchema* out) {
  auto holder = std::make_unique<ParentSchema>();
  holder->children.resize(names.size());
  holder->child_ptrs.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto child = std::make_unique<ChildSchema>(ChildSchema{names[i]});
    // Strings with 32-bit offsets: no column of a batch holds more than
    // fits them (see cut_wide).
    const char* format = types.empty() || types[i] == ValueType::String ? "u" : arrow_format(types[i]);
    ArrowSchema& c = holder->children[i];
    c = ArrowSchema{format, child->name.c_str(), nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                    &release_child_schema, child.get()};
    child.release();
    holder->child_ptrs[i] = &c;
  }
  *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(names.size()),
                     holder->child_ptrs.data(), nullptr, &release_parent_schema, holder.get()};
  holder.release();
}

namespace {
Batch sealed(Batch&& batch) {
  for (Column& c : batch.column_values) c.seal();
  return std::move(batch);
}

// Text goes to Arrow with 32-bit offsets: callers cut batches first (see
// cut_wide).
Batch narrow(Batch&& batch) {
  for (const Column& c : batch.column_values)
    if (c.is_wide()) throw std::length_error("a batch's column holds more text than Arrow strings can (2 GiB)");
  return std::move(batch);
}
}  // namespace

ArrowBatch::ArrowBatch(Batch&& batch)
    : data_(std::make_shared<const Data>(Data{sealed(narrow(std::move(batch))), {}, {}})) {}

bool ArrowBatch::typed(Batch&& batch, const std::vector<ValueType>& types,
                       std::optional<ArrowBatch>& out, std::string& err) {
  out.reset();
  for (std::size_t i = 0; i < batch.column_values.size() && i < types.size(); ++i) {
    if (types[i] != ValueType::String || !batch.column_values[i].is_wide()) continue;
    err = "column '" + batch.columns[i] + "' holds more text in one batch than Arrow strings can (2 GiB): " +
          "read it with fewer rows per batch";
    return false;
  }
  auto data = std::make_shared<Data>(Data{sealed(std::move(batch)), types, {}});
  Batch& b = data->batch;
  data->typed.resize(b.column_values.size());
  for (std::size_t i = 0; i < b.column_values.size(); ++i) {
    if (types[i] == ValueType::String) continue;
    Column& col = b.column_values[i];
    std::string bad;
    if (!convert_column(col, types[i], data->typed[i], bad)) {
      err = "the value '" + bad + "' of column '" + b.columns[i] + "' does not read as " +
            type_name(types[i]) + " like the rest of the column (did the file change?)";
      return false;
    }
    // The text is no longer needed; only the validity bitmap is shared.
    col.bytes = Bytes();
    Buffer<std::int32_t>().swap(col.offsets);
    Buffer<std::int64_t>().swap(col.wide);
  }
  out.emplace(ArrowBatch(std::shared_ptr<const Data>(std::move(data))));
  return true;
}

std::uint64_t ArrowBatch::rows() const { return data_->batch.rows; }
const std::vector<std::string>& ArrowBatch::names() const { return data_->batch.columns; }
const std::vector<ValueType>& ArrowBatch::types() const { return data_->types; }

void ArrowBatch::export_schema(ArrowSchema* out) const {
  xml::export_schema(data_->batch.columns, data_->types, out);
}

void ArrowBatch::export_array(ArrowArray* out) const {
  const Batch& b = data_->batch;
  const std::size_t n = b.columns.size();
  auto holder = std::make_unique<ParentArray>();
  holder->batch = data_;
  holder->children.resize(n);
  holder->child_ptrs.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Column& col = b.column_values[i];
    auto child = std::make_unique<ChildArray>();
    child->batch = data_;
    child->buffers[0] = col.nulls ? col.validity.data() : nullptr;
    int64_t buffers = 3;
    if (data_->types.empty() || data_->types[i] == ValueType::String) {
      child->buffers[1] = col.offsets.data();
      child->buffers[2] = col.data();
    } else {
      child->buffers[1] = data_->typed[i].data.data();
      child->buffers[2] = nullptr;
      buffers = 2;
    }
    ArrowArray& c = holder->children[i];
    c = ArrowArray{static_cast<int64_t>(b.rows), static_cast<int64_t>(col.nulls), 0, buffers, 0,
                   child->buffers, nullptr, nullptr, &release_child_array, child.get()};
    child.release();
    holder->child_ptrs[i] = &c;
  }
  *out = ArrowArray{static_cast<int64_t>(b.rows), 0, 0, 1, static_cast<int64_t>(n),
                    holder->buffers, holder->child_ptrs.data(), nullptr, &release_parent_array,
                    holder.get()};
  holder.release();
}

}  // namespace qk::xml
