// quelbrand._native's nested reading. A shape travels as bytes
// (xml::Shape::serialize): found by discover_nested, merged piece by piece
// with merge_shapes, and given to open_nested, whose batches then all have
// the type nested_schema names.
#include "py/native/nested.h"

#include "py/native/arguments.h"
#include "py/native/objects.h"

#include <memory>
#include <string>
#include <vector>

#include "py/xml_errors.h"
#include "xmlstream/batch.h"
#include "xmlstream/nested.h"

namespace qk::py {
namespace {

xml::Shape shape_from(PyObject* obj) {
  if (!PyBytes_Check(obj)) raise(PyExc_TypeError, "a shape must be bytes from discover_nested()");
  char* data = nullptr;
  Py_ssize_t size = 0;
  check_status(PyBytes_AsStringAndSize(obj, &data, &size));
  xml::Shape shape;
  if (!xml::Shape::parse(std::string_view(data, static_cast<std::size_t>(size)), shape))
    raise(PyExc_ValueError, "not a shape from discover_nested()");
  return shape;
}

Ref shape_bytes(const xml::Shape& shape) {
  const std::string s = shape.serialize();
  return check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

xml::NestedOptions nested_options(PyObject* types, PyObject* text_of, PyObject* record_column = nullptr) {
  xml::NestedOptions out;
  out.types = truth(types);
  if (text_of && text_of != Py_None)
    for (std::string& name : strings_from(text_of, "text_of")) out.text_of.insert(std::move(name));
  // Checked as flat reading checks it, into a scratch of its options.
  xml::ReadOptions checked;
  records_from(nullptr, record_column, checked, std::nullopt);
  out.record_column = std::move(checked.record_column);
  return out;
}

// ---- Batch ----------------------------------------------------------------------------

struct BatchObject {
  PyObject_HEAD
  xml::NestedBatch* batch;
  std::shared_ptr<const xml::Shape>* shape;
  bool types;
};

PyObject* g_batch_type = nullptr;
PyObject* g_reader_type = nullptr;

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

void batch_dealloc(PyObject* self) noexcept {
  dealloc_with(self, [](PyObject* s) {
    delete as_batch(s)->batch;
    delete as_batch(s)->shape;
  });
}

Ref batch_schema(PyObject* self) {
  const BatchObject* b = as_batch(self);
  return capsule<ArrowSchema>([&](ArrowSchema* s) { xml::export_nested_schema(**b->shape, b->types, s); });
}

PyObject* batch_c_array(PyObject* self, PyObject*, PyObject*) noexcept {
  return guard([&] {
    Ref schema = batch_schema(self);
    Ref array = capsule<ArrowArray>([&](ArrowArray* a) { as_batch(self)->batch->export_array(a); });
    return check(PyTuple_Pack(2, schema.get(), array.get()));
  });
}

PyObject* batch_c_schema(PyObject* self, PyObject*) noexcept {
  return guard([&] { return batch_schema(self); });
}

PyObject* batch_num_rows(PyObject* self, void*) noexcept {
  return guard([&] { return check(PyLong_FromUnsignedLongLong(as_batch(self)->batch->rows())); });
}

Py_ssize_t batch_len(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_batch(self)->batch->rows()); }

PyMethodDef g_batch_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(batch_c_array)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_array__(requested_schema=None)\n--\n\n"},
    {"__arrow_c_schema__", batch_c_schema, METH_NOARGS, "__arrow_c_schema__()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_batch_getset[] = {
    {"num_rows", batch_num_rows, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_new)},
    {Py_tp_methods, g_batch_methods},
    {Py_tp_getset, g_batch_getset},
    {Py_sq_length, reinterpret_cast<void*>(batch_len)},
    {0, nullptr},
};

PyType_Spec g_batch_spec = {"quelbrand._native.NestedBatch", sizeof(BatchObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_batch_slots};

// ---- Reader ---------------------------------------------------------------------------

struct ReaderState {
  Inputs inputs;
  std::shared_ptr<const xml::Shape> shape;
  std::unique_ptr<xml::NestedBuilder> builder;
  std::unique_ptr<xml::XmlBatchInner> inner;
  std::vector<xml::SplitPoint> stops;  // with `until`: where reading stopped
  bool finished = false;
};

struct ReaderObject {
  PyObject_HEAD
  ReaderState* state;
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

void reader_dealloc(PyObject* self) noexcept {
  dealloc_with(self, [](PyObject* s) { delete as_reader(s)->state; });
}

PyObject* reader_iter(PyObject* self) noexcept {
  Py_INCREF(self);
  return self;
}

PyObject* reader_next(PyObject* self) noexcept {
  return guard([&]() -> Ref {
    ReaderState& st = *as_reader(self)->state;
    auto batch = std::make_unique<xml::NestedBatch>();
    xml::XmlStreamError err;
    std::string why;
    bool typed_ok = true;
    const auto step = run_unlocked([&](Unlocked& unlocked) {
      const xml::Interrupt interrupt = signal_interrupt(unlocked);
      st.inner->set_interrupt(&interrupt);
      const auto s = st.inner->next_batch(err);
      st.inner->set_interrupt(nullptr);
      if (s == xml::XmlBatchInner::Step::Batch) {
        st.inner->take_batch();
        typed_ok = st.builder->take(*batch, why);
      }
      return s;
    });
    if (step == xml::XmlBatchInner::Step::Finished) {
      st.finished = true;
      return Ref();
    }
    if (step == xml::XmlBatchInner::Step::Error) st.inputs.raise(err);
    if (!typed_ok) raise(PyExc_ValueError, why);
    Ref obj = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_batch_type), 0));
    as_batch(obj.get())->shape = new std::shared_ptr<const xml::Shape>(st.shape);
    as_batch(obj.get())->batch = batch.release();
    as_batch(obj.get())->types = st.builder->options().types;
    return obj;
  });
}

// How far into the file reading has got, for progress; asked between steps.
PyObject* reader_bytes_read(PyObject* self, void*) noexcept {
  return guard([&] { return check(PyLong_FromUnsignedLongLong(as_reader(self)->state->inner->offset())); });
}

// With until=: the split point where reading stopped, once the reader has
// run out; None before, or when the input ended first.
PyObject* reader_stop(PyObject* self, void*) noexcept {
  return guard([&] {
    const ReaderState& st = *as_reader(self)->state;
    return st.finished && !st.stops.empty() ? split_tuple(st.stops.back()) : Ref::borrow(Py_None);
  });
}

// Whether reading failed on a record its shape has no place for.
PyObject* reader_missed(PyObject* self, void*) noexcept {
  return guard([&] { return Ref::borrow(as_reader(self)->state->builder->missed() ? Py_True : Py_False); });
}

PyGetSetDef g_reader_getset[] = {
    {"bytes_read", reader_bytes_read, nullptr, nullptr, nullptr},
    {"stop", reader_stop, nullptr, nullptr, nullptr},
    {"missed", reader_missed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_reader_slots[] = {
    {Py_tp_getset, g_reader_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_new)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {"quelbrand._native.NestedReader", sizeof(ReaderObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_reader_slots};

// ---- Entry points ---------------------------------------------------------------------

Signature g_discover_sig{"discover_nested",
                         {"source", "types", "attributes", "text_of", "start", "records", "end", "until", "doctype",
                          "html", "entities", "dtd", "record", "record_column"},
                         14,
                         1,
                         1};
Signature g_open_sig{"open_nested",
                     {"source", "batch_rows", "shape", "types", "attributes", "text_of", "start", "records", "end",
                      "doctype", "html", "entities", "dtd", "record", "record_column", "first_rows", "until"},
                     17,
                     3,
                     2};
Signature g_merge_sig{"merge_shapes", {"a", "b"}, 2, 2};
Signature g_schema_sig{"nested_schema", {"shape", "types"}, 2, 1, 1};
Signature g_columns_sig{"nested_columns", {"shape"}, 1, 1};

// (shape, records, stop): the shape of the records read, and with `until`
// the split point where reading stopped (None otherwise, or for an input
// that is not a path).
PyObject* discover_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[14];
    bind(g_discover_sig, args, nargs, kwnames, slots);
    xml::ReadOptions read;
    read.attributes = truth(slots[2]);
    read.entities = entities_from(slots + 8);
    if (slots[7] && slots[7] != Py_None) read.until = to_u64(slots[7], "until");
    const bool until = read.until != xml::ReadOptions::kNoEnd;
    const std::optional<xml::SplitPoint> start = range_from(slots + 4, read, "discover_nested()");
    records_from(slots[12], nullptr, read, start);
    const xml::NestedOptions options = nested_options(slots[1], slots[3], slots[13]);
    Inputs inputs;
    std::unique_ptr<xml::Reader> reader = inputs.open(slots[0]);
    if (start) resume(*reader, *start, inputs);
    xml::Shape shape;
    std::uint64_t records = 0;
    std::vector<xml::SplitPoint> splits;
    xml::XmlStreamError err;
    const bool ok = run_unlocked([&](Unlocked& unlocked) {
      const xml::Interrupt interrupt = signal_interrupt(unlocked);
      reader->set_interrupt(&interrupt);
      return xml::discover_shapes(std::move(reader), inputs.name, read, options, shape, records,
                                  until ? &splits : nullptr, err);
    });
    if (!ok) inputs.raise(err);
    Ref stop = Ref::borrow(Py_None);
    if (until && inputs.resumable() && !splits.empty()) stop = split_tuple(splits.back());
    Ref bytes = shape_bytes(shape);
    Ref count = check(PyLong_FromUnsignedLongLong(records));
    return check(PyTuple_Pack(3, bytes.get(), count.get(), stop.get()));
  });
}

PyObject* open_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    // record_column is taken and left: the shape holds the record-name
    // column, if discovery made one.
    PyObject* slots[17];
    bind(g_open_sig, args, nargs, kwnames, slots);
    const std::uint64_t batch_rows = to_u64(slots[1], "batch_rows");
    if (batch_rows == 0) raise(PyExc_ValueError, "batch_rows must be positive");
    const std::uint64_t first_rows = given(slots[15]) ? to_u64(slots[15], "first_rows") : 0;
    auto shape = std::make_shared<const xml::Shape>(shape_from(slots[2]));
    xml::ReadOptions read;
    read.attributes = truth(slots[4]);
    read.entities = entities_from(slots + 9);
    const std::optional<xml::SplitPoint> start = range_from(slots + 6, read, "open_nested()");
    records_from(slots[13], nullptr, read, start);
    // Reading ends after the first record that ends at or past `until`,
    // the split point there noted for `stop`.
    if (given(slots[16])) read.until = to_u64(slots[16], "until");
    read.check_end = true;
    read.check_element = !start;
    auto state = std::make_unique<ReaderState>();
    std::unique_ptr<xml::Reader> reader = state->inputs.open(slots[0]);
    if (start) resume(*reader, *start, state->inputs);
    state->shape = shape;
    state->builder = std::make_unique<xml::NestedBuilder>(*shape, nested_options(slots[3], slots[5]));
    state->inner = std::make_unique<xml::XmlBatchInner>(std::move(reader), batch_rows, state->inputs.name);
    state->inner->set_options(read);
    state->inner->set_nested(state->builder.get());
    state->inner->set_first_batch_rows(first_rows);
    if (read.until != xml::ReadOptions::kNoEnd) state->inner->set_splits(std::uint64_t{1} << 62, 1, &state->stops);
    Ref obj = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_reader_type), 0));
    as_reader(obj.get())->state = state.release();
    return obj;
  });
}

// Two pieces' shapes as one, `b` read after `a`.
PyObject* merge_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[2];
    bind(g_merge_sig, args, nargs, kwnames, slots);
    xml::Shape a = shape_from(slots[0]);
    a.merge(shape_from(slots[1]));
    return shape_bytes(a);
  });
}

// The Arrow schema (a capsule) of the batches read with `shape`.
PyObject* schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[2];
    bind(g_schema_sig, args, nargs, kwnames, slots);
    const xml::Shape shape = shape_from(slots[0]);
    const bool types = truth(slots[1]);
    return capsule<ArrowSchema>([&](ArrowSchema* s) { xml::export_nested_schema(shape, types, s); });
  });
}

// The column names of the batches read with `shape`.
PyObject* columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    bind(g_columns_sig, args, nargs, kwnames, slots);
    return name_list(xml::nested_columns(shape_from(slots[0])));
  });
}

PyMethodDef g_functions[] = {
    {"discover_nested", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(discover_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "discover_nested(source, *, types=False, attributes=False, text_of=None, start=None, records=None, end=None, "
     "until=None, doctype=True, html=False, entities=None, dtd=None, record=None, record_column=None)\n--\n\n"},
    {"open_nested", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(open_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "open_nested(source, batch_rows, *, shape, types=False, attributes=False, text_of=None, start=None, "
     "records=None, end=None, doctype=True, html=False, entities=None, dtd=None, record=None, record_column=None, "
     "first_rows=None, until=None)\n--\n\n"},
    {"merge_shapes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(merge_entry)),
     METH_FASTCALL | METH_KEYWORDS, "merge_shapes(a, b)\n--\n\n"},
    {"nested_schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(schema_entry)),
     METH_FASTCALL | METH_KEYWORDS, "nested_schema(shape, *, types=False)\n--\n\n"},
    {"nested_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(columns_entry)),
     METH_FASTCALL | METH_KEYWORDS, "nested_columns(shape)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_nested(PyObject* module) {
  g_batch_type = check(PyType_FromSpec(&g_batch_spec)).release();
  g_reader_type = check(PyType_FromSpec(&g_reader_spec)).release();
  check_status(PyObject_SetAttrString(module, "NestedBatch", g_batch_type));
  check_status(PyObject_SetAttrString(module, "NestedReader", g_reader_type));
  check_status(PyModule_AddFunctions(module, g_functions));
}

}  // namespace qk::py
