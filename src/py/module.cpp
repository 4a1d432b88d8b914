// Module initialisation, registration and the numeric entry points.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "py/arrays.h"
#include "py/boundary.h"
#include "kernels/kernels.h"
#include "py/xml_iter.h"

namespace qk::py {
namespace {

// ---- Numeric entry points --------------------------------------------------
// Bind and convert with the lock held, copy, compute unlocked in place, and
// hand the same buffer to the result.

// The kernels work element by element, so running them in blocks gives the
// same bits, and between blocks a huge array can stop for Ctrl-C. A block
// takes about a millisecond.
constexpr std::size_t kBlockElements = std::size_t{1} << 18;

template <class F>
void in_blocks(Unlocked& unlocked, std::size_t n, F&& kernel) {
  for (std::size_t at = 0; at < n; at += kBlockElements) {
    kernel(at, std::min(kBlockElements, n - at));
    if (n - at > kBlockElements && unlocked.signals_raised()) throw PyErrSet{};
  }
}

Signature g_inv_norm_cdf_sig{"inv_norm_cdf", {"u"}, 1};
Signature g_keyed_hash_sig{"keyed_hash", {"seed", "namespace", "keys", "draw"}, 4};
Signature g_keyed_uniforms_sig{"keyed_uniforms", {"seed", "namespace", "keys", "draw"}, 4};

PyObject* inv_norm_cdf_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    bind(g_inv_norm_cdf_sig, args, nargs, kwnames, slots);
    ArrayView u = to_array(slots[0], "u", Elem::Float64);
    Buffer buf(static_cast<std::size_t>(u.length));
    buf.fill_from(u);
    auto* data = static_cast<double*>(buf.data());
    run_unlocked([&](Unlocked& unlocked) {
      in_blocks(unlocked, buf.size(),
                [&](std::size_t at, std::size_t n) { kernels::inv_norm_cdf(data + at, n); });
    });
    return buf.into_array(Elem::Float64);
  });
}

using KeyedKernel = void (*)(std::uint64_t*, std::size_t, std::uint64_t, std::uint64_t);

Ref keyed_call(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               KeyedKernel kernel, Elem result) {
  PyObject* slots[4];
  bind(sig, args, nargs, kwnames, slots);
  std::uint64_t seed = to_u64(slots[0], "seed");
  std::string_view ns = to_utf8(slots[1], "namespace");
  ArrayView keys = to_array(slots[2], "keys", Elem::UInt64);
  // Copy before converting `draw`: its __index__ may run Python code that
  // resizes the array in place and frees the memory the view points into.
  Buffer buf(static_cast<std::size_t>(keys.length));
  buf.fill_from(keys);
  std::uint64_t draw = to_u64(slots[3], "draw");
  // The namespace's bytes belong to the str, so hash them before unlocking.
  std::uint64_t ns_hash =
      kernels::fnv1a_64(reinterpret_cast<const unsigned char*>(ns.data()), ns.size());
  auto* data = static_cast<std::uint64_t*>(buf.data());
  const std::uint64_t base = kernels::keyed_base(seed, ns_hash);
  run_unlocked([&](Unlocked& unlocked) {
    in_blocks(unlocked, buf.size(),
              [&](std::size_t at, std::size_t n) { kernel(data + at, n, base, draw); });
  });
  return buf.into_array(result);
}

PyObject* keyed_hash_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guard([&] {
    return keyed_call(g_keyed_hash_sig, args, nargs, kwnames, kernels::keyed_hash, Elem::UInt64);
  });
}

PyObject* keyed_uniforms_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return guard([&] {
    return keyed_call(g_keyed_uniforms_sig, args, nargs, kwnames, kernels::keyed_uniforms,
                      Elem::Float64);
  });
}

// ---- Registration ----------------------------------------------------------

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

struct Export {
  const char* name;
  FastEntry entry;
  // "name(params)\n--\n\n": the interpreter turns this into __text_signature__
  // and leaves __doc__ None.
  const char* doc;
};

const Export kExports[] = {
    {"keyed_hash", keyed_hash_entry, "keyed_hash(seed, namespace, keys, draw)\n--\n\n"},
    {"keyed_uniforms", keyed_uniforms_entry, "keyed_uniforms(seed, namespace, keys, draw)\n--\n\n"},
    {"inv_norm_cdf", inv_norm_cdf_entry, "inv_norm_cdf(u)\n--\n\n"},
    {"stream_xml_file", stream_xml_file_entry, "stream_xml_file(path, batch_rows)\n--\n\n"},
    {"count_xml_records", count_xml_records_entry, "count_xml_records(path)\n--\n\n"},
};

void add_exported(PyObject* module, const char* name, Ref object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) raise(PyExc_TypeError, "__all__ must be a list");
  Ref key = check(PyUnicode_FromString(name));
  check_status(PyList_Append(all.get(), key.get()));
  check_status(PyObject_SetAttr(module, key.get(), object.get()));
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quelbrand_kernels", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref build_module() {
  Ref module = check(PyModule_Create(&g_module_def));
  Ref module_name = check(PyModule_GetNameObject(module.get()));
  for (const Export& e : kExports) {
    // Method definitions must outlive their function objects: they are never freed.
    auto* def = new PyMethodDef{e.name, reinterpret_cast<PyCFunction>(
                                            reinterpret_cast<void (*)(void)>(e.entry)),
                                METH_FASTCALL | METH_KEYWORDS, e.doc};
    Ref fn = check(PyCFunction_NewEx(def, module.get(), module_name.get()));
    add_exported(module.get(), e.name, std::move(fn));
  }
  add_exported(module.get(), "XmlBatchIter", batch_iter_type());
  return module;
}

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // filled once, under the interpreter lock

Ref init() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyErrSet{};
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id)
    raise(PyExc_ImportError,
          "quelbrand_kernels does not support sub-interpreters: it can be imported by only one "
          "interpreter per process");
  if (g_module == nullptr) {
    note_main_thread();
    g_module = build_module().release();
  }
  return Ref::borrow(g_module);
}

}  // namespace
}  // namespace qk::py

PyMODINIT_FUNC PyInit_quelbrand_kernels(void) noexcept {
  return qk::py::guard(qk::py::init);
}
