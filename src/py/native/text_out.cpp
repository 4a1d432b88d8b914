#include "py/native/text_out.h"

#include <memory>
#include <string>
#include <vector>

#include "xmlstream/text_out.h"

namespace qk::py {

namespace {

struct EncoderObject {
  PyObject_HEAD
  xml::TextEncoder* encoder;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

Signature g_new_sig{"TextEncoder", {"format", "columns", "literal", "nulls"}, 4, 2};
Signature g_encode_sig{"encode", {"batch"}, 1};
constexpr Py_ssize_t kPositional = 2;  // literal and nulls are keyword-only

// A sequence of any items, not a str, whose characters would pass for one.

std::vector<bool> flags_from(PyObject* seq, std::size_t columns) {
  Ref fast = items_of(seq, "literal", "literal must be a sequence of bool");
  const Py_ssize_t n = PySequence_Size(fast.get());
  if (n < 0) throw PyErrSet{};
  if (static_cast<std::size_t>(n) != columns)
    raise(PyExc_ValueError, "literal has " + std::to_string(n) + " flags for " + std::to_string(columns) +
                                " columns: it needs one per column");
  std::vector<bool> flags;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = check(PySequence_GetItem(fast.get(), i));
    const int truth = PyObject_IsTrue(item.get());
    check_status(truth);
    flags.push_back(truth != 0);
  }
  return flags;
}

// tp_new has no fast-call form in the limited API, so the call is laid out
// as one for bind(), which then reads it like every other entry's.
void bind_call(PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) throw PyErrSet{};
  if (nargs > kPositional)
    raise(PyExc_TypeError, std::string(g_new_sig.function) + "() takes " + std::to_string(kPositional) +
                               " positional arguments but " + std::to_string(nargs) + " were given");
  std::vector<PyObject*> values;
  for (Py_ssize_t i = 0; i < nargs; ++i) values.push_back(PyTuple_GetItem(args, i));
  Ref kwnames;
  if (kwargs && PyDict_Size(kwargs) > 0) {
    kwnames = check(PyTuple_New(PyDict_Size(kwargs)));
    Py_ssize_t pos = 0, at = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames.get(), at++, key);
      values.push_back(value);
    }
  }
  bind(g_new_sig, values.data(), nargs, kwnames.get(), slots);
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    PyObject* slots[4];
    bind_call(args, kwargs, slots);
    const std::string_view name = to_utf8(slots[0], "format");
    xml::TextFormat format;
    if (name == "csv")
      format = xml::TextFormat::Csv;
    else if (name == "jsonl")
      format = xml::TextFormat::JsonLines;
    else
      raise(PyExc_ValueError, "format must be 'csv' or 'jsonl', not '" + std::string(name) + "'");
    std::vector<std::string> columns = strings_from(slots[1], "columns");
    std::vector<bool> literal;
    if (slots[2] && slots[2] != Py_None) literal = flags_from(slots[2], columns.size());
    int nulls = 0;
    if (slots[3]) check_status(nulls = PyObject_IsTrue(slots[3]));
    auto encoder = std::make_unique<xml::TextEncoder>(format, std::move(columns), std::move(literal), nulls != 0);
    Ref obj = check(PyType_GenericAlloc(type, 0));
    as_encoder(obj.get())->encoder = encoder.release();
    return obj;
  });
}

void encoder_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete as_encoder(self)->encoder;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

Ref to_bytes(const std::string& s) {
  return check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* encoder_header(PyObject* self, PyObject*) noexcept {
  return guard([&] { return to_bytes(as_encoder(self)->encoder->header()); });
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    bind(g_encode_sig, args, nargs, kwnames, slots);
    const xml::TextEncoder& encoder = *as_encoder(self)->encoder;
    Ref method = Ref::steal(PyObject_GetAttrString(slots[0], "__arrow_c_array__"));
    if (!method) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
      PyErr_Clear();
      raise(PyExc_TypeError, "encode() takes a record batch with __arrow_c_array__, not " + type_name(slots[0]));
    }
    // The pair's capsules own the exported arrays, and so keep every buffer
    // alive while the lock is let go.
    Ref pair = check(PyObject_CallNoArgs(method.get()));
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
      raise(PyExc_TypeError, "__arrow_c_array__ did not return a pair of capsules");
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 0), "arrow_schema"));
    if (!schema) throw PyErrSet{};
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 1), "arrow_array"));
    if (!array) throw PyErrSet{};
    if (!schema->release || !array->release) raise(PyExc_ValueError, "the batch's arrays were already taken");
    xml::TextEncoder::Plan plan;
    std::string why;
    switch (encoder.prepare(*schema, *array, plan, why)) {
      case xml::TextFault::None:
        break;
      case xml::TextFault::Shape:
        raise(PyExc_ValueError, why);
      case xml::TextFault::Type:
        raise(PyExc_TypeError, why);
    }
    xml::TextOut out;
    run_unlocked([&](Unlocked&) { encoder.encode(plan, out); });
    return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  });
}

PyMethodDef g_methods[] = {
    {"header", encoder_header, METH_NOARGS, "header()\n--\n\nThe CSV header line; b'' for JSON Lines."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode(batch)\n--\n\nThe rows of a record batch, encoded."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("TextEncoder(format, columns, *, literal=None, nulls=False)\n--\n\n"
                                  "Record batches as CSV ('csv') or JSON Lines ('jsonl') bytes.")},
    {0, nullptr},
};

PyType_Spec g_spec = {"quelbrand._native.TextEncoder", sizeof(EncoderObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

}  // namespace

void add_text_encoder(PyObject* module) {
  Ref type = check(PyType_FromSpec(&g_spec));
  check_status(PyObject_SetAttrString(module, "TextEncoder", type.get()));
}

}  // namespace qk::py
