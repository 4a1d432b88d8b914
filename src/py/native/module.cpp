// quelbrand._native: the XML core's batches as Arrow, for the quelbrand
// package. Batches are built in C++ without the interpreter lock and handed
// over through the Arrow PyCapsule protocol, so no value ever becomes a
// Python object and pyarrow, Polars or DuckDB take the buffers as they are.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "py/boundary.h"
#include "py/native/arguments.h"
#include "py/native/input.h"
#include "py/native/nested.h"
#include "py/native/objects.h"
#include "py/native/text_out.h"
#include "py/xml_errors.h"
#include "xmlstream/arrow_export.h"
#include "xmlstream/arrow_stream.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"
#include "xmlstream/discover.h"
#include "xmlstream/entities.h"
#include "xmlstream/split.h"
#include "xmlstream/types.h"

namespace qk::py {
namespace {


Ref schema_capsule(const std::vector<std::string>& names, const std::vector<xml::ValueType>& types = {}) {
  return capsule<ArrowSchema>([&](ArrowSchema* s) { xml::export_schema(names, types, s); });
}

Ref array_capsule(const xml::ArrowBatch& batch) {
  return capsule<ArrowArray>([&](ArrowArray* a) { batch.export_array(a); });
}


Ref type_list(const std::vector<xml::ValueType>& types) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(types.size())));
  for (std::size_t i = 0; i < types.size(); ++i)
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                                check(PyUnicode_FromString(xml::type_name(types[i]))).release()));
  return list;
}

Ref state_list(const std::vector<std::uint16_t>& states) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(states.size())));
  for (std::size_t i = 0; i < states.size(); ++i)
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromLong(states[i])).release()));
  return list;
}

// {name: type name}, in column order.
Ref type_dict(const std::vector<std::string>& names, const std::vector<xml::ValueType>& types) {
  Ref dict = check(PyDict_New());
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ref key = check(PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()),
                                         "replace"));
    Ref value = check(PyUnicode_FromString(
        xml::type_name(i < types.size() ? types[i] : xml::ValueType::String)));
    check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  return dict;
}


// ---- Batch -------------------------------------------------------------------------

struct BatchObject {
  PyObject_HEAD
  xml::ArrowBatch* batch;
};

PyObject* g_batch_type = nullptr;
PyObject* g_reader_type = nullptr;

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }


void batch_dealloc(PyObject* self) noexcept {
  dealloc_with(self, [](PyObject* s) { delete as_batch(s)->batch; });
}


// The requested schema, if any, is not honoured: every column is a large
// string, which is what the consumer gets, as the protocol allows.
PyObject* batch_c_array(PyObject* self, PyObject*, PyObject*) noexcept {
  return guard([&] {
    const xml::ArrowBatch& b = *as_batch(self)->batch;
    Ref schema = schema_capsule(b.names(), b.types());
    Ref array = array_capsule(b);
    return check(PyTuple_Pack(2, schema.get(), array.get()));
  });
}

PyObject* batch_c_schema(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    const xml::ArrowBatch& b = *as_batch(self)->batch;
    return schema_capsule(b.names(), b.types());
  });
}

PyObject* batch_num_rows(PyObject* self, void*) noexcept {
  return guard([&] { return check(PyLong_FromUnsignedLongLong(as_batch(self)->batch->rows())); });
}

PyObject* batch_names(PyObject* self, void*) noexcept {
  return guard([&] { return name_list(as_batch(self)->batch->names()); });
}

Py_ssize_t batch_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as_batch(self)->batch->rows());
}

PyMethodDef g_batch_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(batch_c_array)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_array__(requested_schema=None)\n--\n\n"},
    {"__arrow_c_schema__", batch_c_schema, METH_NOARGS, "__arrow_c_schema__()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_batch_getset[] = {
    {"num_rows", batch_num_rows, nullptr, nullptr, nullptr},
    {"column_names", batch_names, nullptr, nullptr, nullptr},
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

PyType_Spec g_batch_spec = {"quelbrand._native.Batch", sizeof(BatchObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_batch_slots};

Ref wrap_batch(xml::ArrowBatch&& batch) {
  auto owned = std::make_unique<xml::ArrowBatch>(std::move(batch));
  Ref obj = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_batch_type), 0));
  as_batch(obj.get())->batch = owned.release();
  return obj;
}

// ---- Reader ------------------------------------------------------------------------

struct ReaderObject {
  PyObject_HEAD
  std::shared_ptr<xml::BatchSource>* source;
  Inputs* inputs;
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }
xml::BatchSource& source_of(PyObject* self) { return **as_reader(self)->source; }

void reader_dealloc(PyObject* self) noexcept {
  // Stops the worker thread. A worker reading a file object takes the lock
  // for each read, so the lock is let go while waiting for it.
  dealloc_with(self, [](PyObject* s) {
    Py_BEGIN_ALLOW_THREADS
    delete as_reader(s)->source;
    Py_END_ALLOW_THREADS
    delete as_reader(s)->inputs;
  });
}

PyObject* reader_iter(PyObject* self) noexcept {
  Py_INCREF(self);
  return self;
}

[[noreturn]] void raise_stray(const std::string& name) {
  Ref module = check(PyImport_ImportModule("quelbrand"));
  Ref type = check(PyObject_GetAttrString(module.get(), "ConversionError"));
  Ref text = check(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
  Ref msg = check(PyUnicode_FromFormat(
      "the XML batch has a column %R that is not among the requested columns", text.get()));
  PyErr_SetObject(type.get(), msg.get());
  throw PyErrSet{};
}

PyObject* reader_next(PyObject* self) noexcept {
  return guard([&]() -> Ref {
    // The source outlives this call even if another thread drops the reader.
    std::shared_ptr<xml::BatchSource> source = *as_reader(self)->source;
    std::optional<xml::ArrowBatch> batch;
    xml::XmlStreamError err;
    auto step = run_unlocked([&](Unlocked& unlocked) {
      const xml::Interrupt interrupt = signal_interrupt(unlocked);
      return source->next(batch, err, &interrupt);
    });
    switch (step) {
      case xml::BatchSource::Step::Batch:
        return wrap_batch(std::move(*batch));
      case xml::BatchSource::Step::Finished:
        return Ref();
      case xml::BatchSource::Step::Stray:
        raise_stray(err.text);
      case xml::BatchSource::Step::Error:
        as_reader(self)->inputs->raise(err);
    }
    return Ref();
  });
}

PyObject* reader_c_stream(PyObject* self, PyObject*, PyObject*) noexcept {
  return guard([&] {
    if (!source_of(self).fixed_columns())
      raise(PyExc_TypeError, "a reader without fixed columns has no single schema to stream");
    // A stream's consumer may drop it holding the interpreter lock, which a
    // worker reading a file object needs, and a stream cannot carry the
    // object's own exception: such readers are iterated instead.
    if (!as_reader(self)->inputs->files.empty())
      raise(PyExc_TypeError, "a reader of a file object is iterated, not exported as a stream");
    return capsule<ArrowArrayStream>(
        [&](ArrowArrayStream* s) { xml::export_stream(*as_reader(self)->source, s); });
  });
}

// The fixed columns, waiting for discovery without the lock; null for a
// reader whose batches have their own.
const xml::ColumnSet* fixed_columns(PyObject* self) {
  std::shared_ptr<xml::BatchSource> source = *as_reader(self)->source;
  const xml::ColumnSet* columns = nullptr;
  xml::XmlStreamError err;
  const bool ok = run_unlocked([&](Unlocked& unlocked) {
    const xml::Interrupt interrupt = signal_interrupt(unlocked);
    return source->columns(columns, err, &interrupt);
  });
  if (!ok) as_reader(self)->inputs->raise(err);
  return columns;
}

// The fixed columns' types, once fixed_columns has waited for discovery.
const std::vector<xml::ValueType>& fixed_types(PyObject* self) {
  const std::vector<xml::ValueType>* types = nullptr;
  xml::XmlStreamError err;
  if (!source_of(self).column_types(types, err, nullptr)) raise_parse_error(source_of(self).path(), err);
  return *types;
}

PyObject* reader_c_schema(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    const xml::ColumnSet* columns = fixed_columns(self);
    if (!columns) raise(PyExc_TypeError, "a reader without fixed columns has no single schema");
    return schema_capsule(columns->names(), fixed_types(self));
  });
}

PyObject* reader_bytes_read(PyObject* self, void*) noexcept {
  return guard([&] { return check(PyLong_FromUnsignedLongLong(source_of(self).bytes_read())); });
}

PyObject* reader_columns(PyObject* self, void*) noexcept {
  return guard([&] {
    const xml::ColumnSet* columns = fixed_columns(self);
    if (!columns) return Ref::borrow(Py_None);
    return name_list(columns->names());
  });
}

// None without types; else {name: type}: the fixed columns' (waiting for
// discovery), or without discovery those of the batches read so far.
PyObject* reader_types(PyObject* self, void*) noexcept {
  return guard([&] {
    xml::BatchSource& source = source_of(self);
    if (!source.types()) return Ref::borrow(Py_None);
    if (!source.tallies_types()) {
      const xml::ColumnSet* columns = fixed_columns(self);
      if (!columns) return check(PyDict_New());
      return type_dict(columns->names(), fixed_types(self));
    }
    std::vector<std::string> names;
    std::vector<xml::ValueType> types;
    source.seen_types(names, types);
    return type_dict(names, types);
  });
}

PyObject* reader_records(PyObject* self, void*) noexcept {
  return guard([&] {
    const std::optional<std::uint64_t> n = source_of(self).records();
    if (!n) return Ref::borrow(Py_None);
    return check(PyLong_FromUnsignedLongLong(*n));
  });
}

// With until=: the split point where reading stopped, as (offset, records,
// state), once the reader has run out; None before, or when the input
// ended first.
PyObject* reader_stop(PyObject* self, void*) noexcept {
  return guard([&] {
    const std::optional<xml::SplitPoint> at = source_of(self).stop();
    return at ? split_tuple(*at) : Ref::borrow(Py_None);
  });
}

// With skip=, or after a truncated input: where the last failed step's
// fault lies (see fault_tuple); None before any.
PyObject* reader_fault(PyObject* self, void*) noexcept {
  return guard([&] {
    const std::optional<xml::Fault> fault = source_of(self).fault();
    return fault ? fault_tuple(*fault) : Ref::borrow(Py_None);
  });
}

// (values, records): what flattening lost in the batches built so far.
PyObject* reader_lost(PyObject* self, void*) noexcept {
  return guard([&] {
    const auto [values, records] = source_of(self).lost();
    Ref v = check(PyLong_FromUnsignedLongLong(values));
    Ref r = check(PyLong_FromUnsignedLongLong(records));
    return check(PyTuple_Pack(2, v.get(), r.get()));
  });
}

PyMethodDef g_reader_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reader_c_stream)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_stream__(requested_schema=None)\n--\n\n"},
    {"__arrow_c_schema__", reader_c_schema, METH_NOARGS, "__arrow_c_schema__()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reader_getset[] = {
    {"bytes_read", reader_bytes_read, nullptr, nullptr, nullptr},
    {"columns", reader_columns, nullptr, nullptr, nullptr},
    {"fault", reader_fault, nullptr, nullptr, nullptr},
    {"lost", reader_lost, nullptr, nullptr, nullptr},
    {"records", reader_records, nullptr, nullptr, nullptr},
    {"stop", reader_stop, nullptr, nullptr, nullptr},
    {"types", reader_types, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_new)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, g_reader_methods},
    {Py_tp_getset, g_reader_getset},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {"quelbrand._native.Reader", sizeof(ReaderObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_reader_slots};

// ---- Entry points --------------------------------------------------------------------

// Flags and optional arguments are keyword-only: call sites then say what
// each one means.
Signature g_open_sig{"open",
                     {"source", "batch_rows", "columns", "project", "prefetch", "discover", "companion", "types",
                      "known_types", "attributes", "start", "records", "end", "doctype", "html", "entities", "dtd",
                      "record", "record_column", "until", "first_rows", "skip", "expect_rows", "pass_over"},
                     24,
                     2,
                     2};
Signature g_discover_sig{"discover",
                         {"source", "check_text", "types", "attributes", "start", "records", "end", "until",
                          "tally", "doctype", "html", "entities", "dtd", "record", "record_column", "skip"},
                         16,
                         1,
                         1};
Signature g_split_sig{"split",
                      {"source", "blocksize", "start", "until", "tally", "doctype", "html", "entities", "dtd", "record",
                       "check_end"},
                      11,
                      2,
                      2};
Signature g_merge_state_sig{"merge_state", {"a", "b"}, 2, 2};
Signature g_split_at_sig{"split_at", {"state", "offset", "line"}, 3, 2};
Signature g_decide_types_sig{"decide_types", {"states"}, 1, 1};
Signature g_typed_sig{"typed", {"batch", "types"}, 2};



PyObject* open_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[24];
    bind(g_open_sig, args, nargs, kwnames, slots);
    xml::ReadOptions options;
    // A reading says how its input ended; with `skip`, a failed step hands
    // over its complete rows first, and `fault` says where the fault lies.
    options.skip = truth(slots[21]);
    options.check_end = true;
    options.attributes = truth(slots[9]);
    options.entities = entities_from(slots + 13);
    const std::optional<xml::SplitPoint> start = range_from(slots + 10, options, "open()");
    // Reading ends after the first record that ends at or past `until`; the
    // reader's stop then says where, for the reading that goes on from there.
    if (given(slots[19])) options.until = to_u64(slots[19], "until");
    records_from(slots[17], slots[18], options, start);
    if (given(slots[23])) options.pass_over = to_u64(slots[23], "pass_over");
    options.check_element = !start;
    const std::uint64_t batch_rows = to_u64(slots[1], "batch_rows");
    // A range's first batch may be cut short, to end where the whole
    // file's reading would end the batch the range begins in.
    const std::uint64_t first_rows = given(slots[20]) ? to_u64(slots[20], "first_rows") : 0;
    const std::uint64_t expect_rows = given(slots[22]) ? to_u64(slots[22], "expect_rows") : 0;
    std::optional<std::vector<std::string>> columns;
    if (given(slots[2])) columns = strings_from(slots[2], "columns");
    const bool project = truth(slots[3]);
    if (project && !columns) raise(PyExc_ValueError, "open() projects only onto listed columns");
    const bool prefetch = truth(slots[4]);
    // The columns' types from an earlier pass, one per listed column.
    std::vector<xml::ValueType> known;
    const bool listed = given(slots[8]) != nullptr;
    if (listed) {
      for (const std::string& name : strings_from(slots[8], "known_types")) {
        xml::ValueType t;
        if (!xml::type_from_name(name, t)) raise(PyExc_ValueError, "unknown column type '" + name + "'");
        known.push_back(t);
      }
      if (!columns || known.size() != columns->size())
        raise(PyExc_ValueError, "open() takes known_types only with the columns, one for each");
    }
    const bool types = listed || truth(slots[7]);
    // The whole file's columns (and types) are found alongside, by a second
    // reader: of the same path or bytes, or of `companion`, a second source
    // holding the same document, since a file object can be read only once.
    PyObject* again = given(slots[6]);
    if (again == nullptr && truth(slots[5])) again = slots[0];
    auto inputs = std::make_unique<Inputs>();
    std::unique_ptr<xml::Reader> reader = inputs->open(slots[0]);
    if (start) resume(*reader, *start, *inputs);
    std::unique_ptr<xml::Reader> second;
    if (again != nullptr && (!columns || (types && !listed))) {
      if (again == slots[0] && !inputs->files.empty())
        raise(PyExc_TypeError, "a file object can be read only once: pass a second one as companion");
      second = inputs->open(again);
      // Discovery covers the same range as the reading.
      if (start) resume(*second, *start, *inputs);
    }
    auto source = std::make_unique<std::shared_ptr<xml::BatchSource>>(
        std::make_shared<xml::BatchSource>(std::move(reader),
                                           xml::BatchSourceOptions{.batch_rows = batch_rows,
                                                                   .first_batch_rows = first_rows,
                                                                   .expect_rows = expect_rows,
                                                                   .path = inputs->name,
                                                                   .columns = std::move(columns),
                                                                   .prefetch = prefetch,
                                                                   .discovery = std::move(second),
                                                                   .read = options,
                                                                   .types = types,
                                                                   .known_types = std::move(known),
                                                                   .project = project}));
    Ref obj = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_reader_type), 0));
    as_reader(obj.get())->source = source.release();
    as_reader(obj.get())->inputs = inputs.release();
    return obj;
  });
}

// ---- Progress of a pass that blocks ---------------------------------------------------
// A Tally is a counter that a native pass sets to how far it has read while
// another thread looks at it, so that a pass that runs for minutes inside
// one call still shows its progress.

struct TallyObject {
  PyObject_HEAD
  std::atomic<std::uint64_t>* value;
};

PyObject* g_tally_type = nullptr;

TallyObject* as_tally(PyObject* self) { return reinterpret_cast<TallyObject*>(self); }

PyObject* tally_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    if ((args && PyTuple_Size(args) != 0) || (kwargs && PyDict_Size(kwargs) != 0))
      raise(PyExc_TypeError, "Tally() takes no arguments");
    auto value = std::make_unique<std::atomic<std::uint64_t>>(0);
    Ref obj = check(PyType_GenericAlloc(type, 0));
    as_tally(obj.get())->value = value.release();
    return obj;
  });
}

void tally_dealloc(PyObject* self) noexcept {
  dealloc_with(self, [](PyObject* s) { delete as_tally(s)->value; });
}

PyObject* tally_value(PyObject* self, void*) noexcept {
  return guard([&] { return check(PyLong_FromUnsignedLongLong(as_tally(self)->value->load())); });
}

PyGetSetDef g_tally_getset[] = {
    {"value", tally_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_tally_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tally_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(tally_new)},
    {Py_tp_getset, g_tally_getset},
    {0, nullptr},
};

PyType_Spec g_tally_spec = {"quelbrand._native.Tally", sizeof(TallyObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_tally_slots};

// The tally given as `obj`, or null.
std::atomic<std::uint64_t>* tally_from(PyObject* obj) {
  if (given(obj) == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_tally_type)))
    raise(PyExc_TypeError, "tally must be a quelbrand._native.Tally");
  return as_tally(obj)->value;
}

// The signal interrupt, which the reader asks now and then, also notes how
// far the reader has got: it is asked on the reading thread, between events
// or at a refill, so the reader's position is its own to read there.
struct TallyingInterrupt {
  Unlocked* unlocked;
  const xml::Reader* reader;
  std::atomic<std::uint64_t>* tally;

  xml::Interrupt make() {
    return {[](void* context, bool urgent) {
              auto& self = *static_cast<TallyingInterrupt*>(context);
              if (self.tally) self.tally->store(self.reader->offset(), std::memory_order_relaxed);
              return urgent ? self.unlocked->signals_raised_now() : self.unlocked->signals_raised();
            },
            this};
  }
};

// ---- Discovery ----------------------------------------------------------------------------

PyObject* g_discovery_type = nullptr;

PyStructSequence_Field g_discovery_fields[] = {
    {"columns", "every column, in order of first appearance"},
    {"records", "the records read"},
    {"types", "each column's type, with types; else None"},
    {"states", "each column's type state, with types, to merge with other pieces'; else None"},
    {"stop", "the split point where reading stopped at `until`, or None"},
    {"fault", "with skip, where a fault ended the pass, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_discovery_desc = {"quelbrand._native.Discovery",
                                          "What a pass over (part of) a file found", g_discovery_fields, 6};

PyObject* discover_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[16];
    bind(g_discover_sig, args, nargs, kwnames, slots);
    xml::ReadOptions options;
    // With `skip`, a fault ends the pass without raising: the result holds
    // what the complete records before it gave, and `fault` where it lies.
    options.skip = truth(slots[15]);
    options.attributes = truth(slots[3]);
    options.entities = entities_from(slots + 9);
    const bool check_text = slots[1] == nullptr || truth(slots[1]);
    const bool types = truth(slots[2]);
    // Reading stops at `until`, noting the split point there.
    if (given(slots[7])) options.until = to_u64(slots[7], "until");
    const bool until = options.until != xml::ReadOptions::kNoEnd;
    // A range's columns: from a split point, through its records.
    const std::optional<xml::SplitPoint> start = range_from(slots + 4, options, "discover()");
    records_from(slots[13], slots[14], options, start);
    // Skipping, a pass to the end notes a cut-off record as its fault.
    options.check_end = options.skip && !until && options.records == UINT64_MAX;
    std::atomic<std::uint64_t>* tally = tally_from(slots[8]);
    Inputs inputs;
    std::unique_ptr<xml::Reader> reader = inputs.open(slots[0]);
    if (start) resume(*reader, *start, inputs);
    const xml::Reader* watched = reader.get();
    // Pacing far beyond any file: only the stop at `until` is noted.
    constexpr std::uint64_t kFar = std::uint64_t{1} << 62;
    xml::Discovery found;
    xml::XmlStreamError err;
    const bool ok = run_unlocked([&](Unlocked& unlocked) {
      TallyingInterrupt tallying{&unlocked, watched, tally};
      const xml::Interrupt interrupt = tallying.make();
      reader->set_interrupt(&interrupt);
      // Types need the values, whose text is then always checked.
      if (types)
        return xml::discover_types(std::move(reader), inputs.name, found, err, &interrupt, options,
                                   until ? kFar : 0, 1);
      xml::XmlBatchInner inner(std::move(reader), 0, inputs.name);
      inner.set_options(options);
      if (until) inner.set_splits(kFar, 1, &found.splits);
      return xml::discover_columns(inner, found, err, check_text);
    });
    if (!ok && !found.fault) inputs.raise(err);
    Ref result = check(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(g_discovery_type)));
    PyStructSequence_SetItem(result.get(), 0, name_list(found.columns).release());
    PyStructSequence_SetItem(result.get(), 1, check(PyLong_FromUnsignedLongLong(found.records)).release());
    PyStructSequence_SetItem(result.get(), 2,
                             (types ? type_list(found.types) : Ref::borrow(Py_None)).release());
    PyStructSequence_SetItem(result.get(), 3,
                             (types ? state_list(found.type_states) : Ref::borrow(Py_None)).release());
    // Only a path or a file object that seeks is read again from a split point.
    Ref stop = Ref::borrow(Py_None);
    if (until && inputs.resumable() && !found.splits.empty()) stop = split_tuple(found.splits.back());
    PyStructSequence_SetItem(result.get(), 4, stop.release());
    PyStructSequence_SetItem(result.get(), 5, (found.fault ? fault_tuple(*found.fault) : Ref::borrow(Py_None)).release());
    return result;
  });
}

// The record count and split points of a file, from the record counter's
// pass: no columns, so about a third of the cost of discover().
PyObject* split_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[11];
    bind(g_split_sig, args, nargs, kwnames, slots);
    const bool check_end = truth(slots[10]);
    // Counting resolves nothing, but its split points carry the document's
    // declarations for the ranges read from them.
    const std::shared_ptr<const xml::Entities> entities = entities_from(slots + 5);
    const std::uint64_t blocksize = to_u64(slots[1], "blocksize");
    if (blocksize == 0) raise(PyExc_ValueError, "blocksize must be positive");
    std::optional<xml::SplitPoint> start;
    if (given(slots[2])) start = split_from(slots[2]);
    xml::ReadOptions records;
    records_from(slots[9], nullptr, records, start);
    const std::uint64_t until = given(slots[3]) ? to_u64(slots[3], "until") : UINT64_MAX;
    std::atomic<std::uint64_t>* tally = tally_from(slots[4]);
    Inputs inputs;
    std::unique_ptr<xml::Reader> reader = inputs.open(slots[0]);
    if (start) resume(*reader, *start, inputs);
    if (entities) reader->set_entities(*entities);
    std::uint64_t count = 0;
    std::vector<xml::SplitPoint> splits;
    xml::XmlStreamError err;
    bool ok = run_unlocked([&](Unlocked& unlocked) {
      TallyingInterrupt tallying{&unlocked, reader.get(), tally};
      const xml::Interrupt interrupt = tallying.make();
      reader->set_interrupt(&interrupt);
      return xml::count_records(*reader, count, err, blocksize, 1, splits, until, records.record_paths);
    });
    // The count of a whole document fails where the document ends inside
    // open elements, or holds none.
    if (ok && check_end && reader->at_end()) {
      const std::string where = reader->position_at(reader->file_offset());
      if (reader->open_depth() != 0) {
        ok = false;
        err = {xml::XmlStreamError::Kind::Xml,
               "the document ends inside <" + std::string(reader->open_name(0)) + ">" + where + "; truncated?", false};
      } else if (!start && count == 0 && !reader->any_element()) {
        ok = false;
        err = {xml::XmlStreamError::Kind::Xml, "the input holds no XML element" + where + ": it is empty or not XML",
               false};
      }
    }
    if (!ok) inputs.raise(err);
    if (tally) tally->store(reader->offset(), std::memory_order_relaxed);
    if (!inputs.resumable()) splits.clear();
    Ref total = check(PyLong_FromUnsignedLongLong(count));
    Ref list = split_list(splits);
    return check(PyTuple_Pack(2, total.get(), list.get()));
  });
}

// Two states of one column, from two pieces, as one: seen by either, and
// read as the types both read it as.
PyObject* merge_state_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[2];
    bind(g_merge_state_sig, args, nargs, kwnames, slots);
    const std::uint64_t a = to_u64(slots[0], "a"), b = to_u64(slots[1], "b");
    if (a > 0x1FF || b > 0x1FF) raise(PyExc_ValueError, "not a column state from discover()");
    xml::TypeState merged = xml::TypeState::unpacked(static_cast<std::uint16_t>(a));
    merged.merge(xml::TypeState::unpacked(static_cast<std::uint16_t>(b)));
    return check(PyLong_FromLong(merged.packed()));
  });
}

// A guess at a split point: `state` moved to `offset`, which a reader that
// gets there from a true split point must confirm before it is used. None
// for UTF-16, whose markup a search of the bytes cannot find. With `line`,
// the line at `offset`, for the error positions of a reader resumed there.
PyObject* split_at_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[3];
    bind(g_split_at_sig, args, nargs, kwnames, slots);
    xml::SplitPoint at = split_from(slots[0]);
    if (xml::enc::is_utf16(*at.encoding)) return Ref::borrow(Py_None);
    at.offset = to_u64(slots[1], "offset");
    at.records = 0;
    at.line = given(slots[2]) ? to_u64(slots[2], "line") : 0;
    const std::string state = xml::serialize_split(at);
    return check(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  });
}

// The types that column states (from discover with types and until,
// merged) decide.
PyObject* decide_types_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    bind(g_decide_types_sig, args, nargs, kwnames, slots);
    Ref seq = check(PySequence_Fast(slots[0], "decide_types() takes a sequence of column states"));
    const Py_ssize_t n = PySequence_Size(seq.get());
    if (n < 0) throw PyErrSet{};
    std::vector<xml::ValueType> types;
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = check(PySequence_GetItem(seq.get(), i));
      const std::uint64_t v = to_u64(item.get(), "states");
      if (v > 0x1FF) raise(PyExc_ValueError, "not a column state from discover()");
      types.push_back(xml::TypeState::unpacked(static_cast<std::uint16_t>(v)).decide());
    }
    return type_list(types);
  });
}

// ---- Converting batches read back from elsewhere ----------------------------------
// A record batch of string columns (any object with __arrow_c_array__, such
// as a pyarrow.RecordBatch read back from a spool) converted to the given
// types by the same code as the reader's batches, so both are exact alike.

// The string values of one imported child array, `row0` rows in. Runs
// without the interpreter lock.
void copy_strings(const ArrowSchema& schema, const ArrowArray& a, std::int64_t row0, std::int64_t rows,
                  xml::Column& out) {
  const std::string_view format(schema.format);
  const bool large = format == "U";  // else "u", checked by the caller
  const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
  const auto* data = static_cast<const char*>(a.buffers[2]);
  const std::int64_t first = a.offset + row0;
  out.reserve(static_cast<std::size_t>(rows), 0);
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t at = first + r;
    if (a.null_count != 0 && bits && !((bits[at >> 3] >> (at & 7)) & 1)) {
      out.push_null();
      continue;
    }
    std::int64_t begin, end;
    if (large) {
      const auto* offsets = static_cast<const std::int64_t*>(a.buffers[1]);
      begin = offsets[at];
      end = offsets[at + 1];
    } else {
      const auto* offsets = static_cast<const std::int32_t*>(a.buffers[1]);
      begin = offsets[at];
      end = offsets[at + 1];
    }
    out.push(std::string_view(data + begin, static_cast<std::size_t>(end - begin)));
  }
}

PyObject* typed_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[2];
    bind(g_typed_sig, args, nargs, kwnames, slots);
    std::vector<xml::ValueType> types;
    for (const std::string& name : strings_from(slots[1], "types")) {
      xml::ValueType t;
      if (!xml::type_from_name(name, t)) raise(PyExc_ValueError, "unknown column type '" + name + "'");
      types.push_back(t);
    }
    Ref method = check(PyObject_GetAttrString(slots[0], "__arrow_c_array__"));
    Ref pair = check(PyObject_CallNoArgs(method.get()));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
      raise(PyExc_TypeError, "__arrow_c_array__ did not return a pair of capsules");
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 0), CapsuleName<ArrowSchema>::value));
    if (!schema) throw PyErrSet{};
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 1), CapsuleName<ArrowArray>::value));
    if (!array) throw PyErrSet{};
    if (std::string_view(schema->format) != "+s" || schema->n_children != array->n_children)
      raise(PyExc_TypeError, "typed() takes a record batch");
    if (static_cast<std::size_t>(schema->n_children) != types.size())
      raise(PyExc_ValueError, "typed() needs one type per column");
    xml::Batch batch;
    batch.rows = static_cast<std::uint64_t>(array->length);
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
      batch.columns.emplace_back(schema->children[i]->name ? schema->children[i]->name : "");
      batch.column_values.emplace_back();
    }
    // The capsules, and so the buffers, live until the pair goes.
    std::optional<xml::ArrowBatch> out;
    std::string why;
    bool ok = false;
    bool strings = true;
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
      const std::string_view f(schema->children[i]->format);
      strings = strings && (f == "U" || f == "u") && array->children[i]->n_buffers == 3;
    }
    if (!strings) raise(PyExc_TypeError, "typed() takes columns of strings only");
    run_unlocked([&](Unlocked&) {
      for (std::int64_t i = 0; i < schema->n_children; ++i)
        copy_strings(*schema->children[i], *array->children[i], array->offset, array->length,
                     batch.column_values[static_cast<std::size_t>(i)]);
      ok = xml::ArrowBatch::typed(std::move(batch), types, out, why);
    });
    if (!ok) raise(PyExc_ValueError, why);
    return wrap_batch(std::move(*out));
  });
}

PyMethodDef g_functions[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(open_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "open(source, batch_rows, *, columns=None, project=False, prefetch=False, discover=False, companion=None, "
     "types=False, known_types=None, attributes=False, start=None, records=None, end=None, doctype=True, html=False, "
     "entities=None, dtd=None, record=None, record_column=None, until=None, first_rows=None, skip=False, "
     "expect_rows=None, pass_over=None)\n--\n\n"},
    {"discover", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(discover_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "discover(source, *, check_text=True, types=False, attributes=False, start=None, records=None, end=None, "
     "until=None, tally=None, doctype=True, html=False, entities=None, dtd=None, record=None, "
     "record_column=None)\n--\n\n"},
    {"split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(split_entry)),
     METH_FASTCALL | METH_KEYWORDS, "split(source, blocksize, *, start=None, until=None, tally=None, doctype=True, html=False, entities=None, "
     "dtd=None, record=None)\n--\n\n"},
    {"split_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(split_at_entry)),
     METH_FASTCALL | METH_KEYWORDS, "split_at(state, offset, line=None)\n--\n\n"},
    {"merge_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(merge_state_entry)),
     METH_FASTCALL | METH_KEYWORDS, "merge_state(a, b)\n--\n\n"},
    {"decide_types", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(decide_types_entry)),
     METH_FASTCALL | METH_KEYWORDS, "decide_types(states)\n--\n\n"},
    {"typed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(typed_entry)),
     METH_FASTCALL | METH_KEYWORDS, "typed(batch, types)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quelbrand._native", "", 0, g_functions,
    nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

Ref init() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyErrSet{};
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id)
    raise(PyExc_ImportError, "quelbrand._native can be imported by only one interpreter per process");
  if (g_module == nullptr) {
    note_main_thread();
    Ref module = check(PyModule_Create(&g_module_def));
    g_batch_type = check(PyType_FromSpec(&g_batch_spec)).release();
    g_reader_type = check(PyType_FromSpec(&g_reader_spec)).release();
    g_tally_type = check(PyType_FromSpec(&g_tally_spec)).release();
    g_discovery_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&g_discovery_desc));
    if (g_discovery_type == nullptr) throw PyErrSet{};
    check_status(PyObject_SetAttrString(module.get(), "Batch", g_batch_type));
    check_status(PyObject_SetAttrString(module.get(), "Reader", g_reader_type));
    check_status(PyObject_SetAttrString(module.get(), "Tally", g_tally_type));
    check_status(PyObject_SetAttrString(module.get(), "Discovery", g_discovery_type));
    add_text_encoder(module.get());
    add_nested(module.get());
    // Readers of file objects stop taking the lock once shutdown begins.
    static PyMethodDef exiting = {
        "_note_exiting",
        [](PyObject*, PyObject*) noexcept -> PyObject* {
          FileInput::note_exiting();
          Py_RETURN_NONE;
        },
        METH_NOARGS, nullptr};
    Ref atexit = check(PyImport_ImportModule("atexit"));
    Ref hook = check(PyCFunction_New(&exiting, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    g_module = module.release();
  }
  return Ref::borrow(g_module);
}

}  // namespace


}  // namespace qk::py

PyMODINIT_FUNC PyInit__native(void) noexcept { return qk::py::guard(qk::py::init); }
