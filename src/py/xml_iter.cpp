#include "py/xml_iter.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "py/boundary.h"
#include "py/xml_errors.h"
#include "xmlstream/batch.h"
#include "xmlstream/count.h"

namespace qk::py {
namespace {

// ---- Batches to Python -----------------------------------------------------

// Short values repeat a lot in real tables (codes, flags, categories). A small
// direct-mapped cache of the str objects made for them lets a repeat cost one
// compare and an incref instead of a decode and an allocation, and makes the
// batch smaller in memory. Strings are immutable, so sharing is invisible.
class ShortStrings {
 public:
  static constexpr std::size_t kMaxLen = 16;
  static constexpr std::size_t kSlots = 2048;

  PyObject* get(std::string_view v) {
    if (v.size() > kMaxLen) return make(v);
    Slot& s = slots_[hash(v) & (kSlots - 1)];
    if (s.len == v.size() && s.str && std::memcmp(s.bytes, v.data(), v.size()) == 0) {
      Py_INCREF(s.str.get());
      return s.str.get();
    }
    PyObject* fresh = make(v);
    Py_INCREF(fresh);
    s.str = Ref::steal(fresh);
    s.len = static_cast<std::uint8_t>(v.size());
    std::memcpy(s.bytes, v.data(), v.size());
    return fresh;
  }

 private:
  struct Slot {
    Ref str;
    std::uint8_t len = 0;
    char bytes[kMaxLen];
  };

  static PyObject* make(std::string_view v) {
    return check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())))
        .release();
  }
  static std::size_t hash(std::string_view v) {
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, v.data(), v.size() < 8 ? v.size() : 8);
    if (v.size() > 8) std::memcpy(&b, v.data() + 8, v.size() - 8);
    std::uint64_t h = (a ^ (b * 0x9e3779b97f4a7c15u) ^ v.size()) * 0xbf58476d1ce4e5b9u;
    return static_cast<std::size_t>(h >> 40);
  }

  Slot slots_[kSlots];
};

// ---- The iterator object ---------------------------------------------------

struct IterObject {
  PyObject_HEAD
  // 0 free, n > 0 shared uses, -1 one exclusive use (next() in progress).
  std::atomic<std::int64_t> borrow;
  xml::XmlBatchInner* inner;
  ShortStrings* strings;  // made on the first batch, used under the lock only
};

PyObject* g_iter_type = nullptr;  // created once, under the interpreter lock

IterObject* as_iter(PyObject* self) { return reinterpret_cast<IterObject*>(self); }

void iter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete as_iter(self)->inner;  // closes the file
  delete as_iter(self)->strings;
  as_iter(self)->borrow.~atomic();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* iter_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for XmlBatchIter");
  return nullptr;
}

PyObject* iter_self(PyObject* self) noexcept {
  return guard([&] {
    auto& flag = as_iter(self)->borrow;
    std::int64_t seen = flag.load();
    do {
      if (seen < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag.compare_exchange_weak(seen, seen + 1));
    Ref result = Ref::borrow(self);
    flag.fetch_sub(1);
    return result;
  });
}

// Column lists are built once per batch, after parsing, and each column's
// native storage is released as soon as it has been converted.
Ref batch_to_python(xml::Batch batch, ShortStrings& cache) {
  const Py_ssize_t ncols = static_cast<Py_ssize_t>(batch.columns.size());
  Ref names = check(PyList_New(ncols));
  for (Py_ssize_t i = 0; i < ncols; ++i)
    check_status(PyList_SetItem(names.get(), i, cache.get(batch.columns[i])));
  Ref values = check(PyList_New(ncols));
  for (Py_ssize_t i = 0; i < ncols; ++i) {
    xml::Column column = std::move(batch.column_values[i]);
    const std::size_t rows = column.rows();
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(rows)));
    for (std::size_t r = 0; r < rows; ++r) {
      PyObject* item;
      if (column.is_null(r)) {
        item = Py_None;
        Py_INCREF(item);
      } else {
        item = cache.get(column.value(r));
      }
      check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), item));
    }
    check_status(PyList_SetItem(values.get(), i, list.release()));
  }
  Ref tuple = check(PyTuple_New(2));
  check_status(PyTuple_SetItem(tuple.get(), 0, names.release()));
  check_status(PyTuple_SetItem(tuple.get(), 1, values.release()));
  return tuple;
}

PyObject* iter_next(PyObject* self) noexcept {
  return guard([&]() -> Ref {
    IterObject* it = as_iter(self);
    std::int64_t free_state = 0;
    if (!it->borrow.compare_exchange_strong(free_state, -1))
      raise(PyExc_RuntimeError, "Already borrowed");
    struct GiveBack {
      std::atomic<std::int64_t>& flag;
      ~GiveBack() { flag.store(0); }
    } give_back{it->borrow};

    if (it->inner->finished()) return Ref();  // stays stopped, without reading
    xml::XmlStreamError err;
    auto step = run_unlocked([&](Unlocked& unlocked) {
      const xml::Interrupt interrupt = signal_interrupt(unlocked);
      // The interrupt lives on this stack: the reader must not keep it,
      // even when the step ends in an exception.
      struct Scoped {
        xml::XmlBatchInner& inner;
        ~Scoped() { inner.set_interrupt(nullptr); }
      } scoped{*it->inner};
      it->inner->set_interrupt(&interrupt);
      return it->inner->next_batch(err);
    });
    switch (step) {
      case xml::XmlBatchInner::Step::Error:
        raise_parse_error(it->inner->path(), err);
      case xml::XmlBatchInner::Step::Finished:
        return Ref();  // null without an error: StopIteration
      case xml::XmlBatchInner::Step::Batch:
        break;
    }
    if (it->strings == nullptr) it->strings = new ShortStrings();
    return batch_to_python(it->inner->take_batch(), *it->strings);
  });
}

PyType_Slot g_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(iter_new)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

// Not subclassable: a subclass could not be constructed anyway. Immutable,
// so Python code cannot replace __new__ and make an object with no reader
// behind it (next() on one would dereference null).
PyType_Spec g_iter_spec = {"quelbrand_kernels.XmlBatchIter", sizeof(IterObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_iter_slots};

Signature g_stream_sig{"stream_xml_file", {"path", "batch_rows"}, 2};
Signature g_count_sig{"count_xml_records", {"path"}, 1};

}  // namespace

Ref batch_iter_type() {
  if (g_iter_type == nullptr) g_iter_type = check(PyType_FromSpec(&g_iter_spec)).release();
  return Ref::borrow(g_iter_type);
}

// ---- Entry points ----------------------------------------------------------

PyObject* stream_xml_file_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[2];
    bind(g_stream_sig, args, nargs, kwnames, slots);
    std::string_view path = to_utf8(slots[0], "path");
    std::uint64_t batch_rows = to_u64(slots[1], "batch_rows");
    xml::XmlStreamError err;
    std::unique_ptr<xml::Reader> reader = xml::Reader::open(path, err);
    if (!reader) raise_parse_error(path, err);
    auto inner = std::make_unique<xml::XmlBatchInner>(std::move(reader), batch_rows,
                                                      std::string(path));
    Ref type = batch_iter_type();
    Ref obj = check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    IterObject* it = as_iter(obj.get());
    new (&it->borrow) std::atomic<std::int64_t>(0);
    it->inner = inner.release();
    it->strings = nullptr;
    return obj;
  });
}

PyObject* count_xml_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    bind(g_count_sig, args, nargs, kwnames, slots);
    std::string_view path = to_utf8(slots[0], "path");
    std::uint64_t count = 0;
    xml::XmlStreamError err;
    bool ok = run_unlocked([&](Unlocked& unlocked) {
      const xml::Interrupt interrupt = signal_interrupt(unlocked);
      return xml::count_xml_records(path, count, err, &interrupt);
    });
    if (!ok) raise_parse_error(path, err);
    return check(PyLong_FromUnsignedLongLong(count));
  });
}

}  // namespace qk::py
