#include "py/arrays.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qk::py {

// ---- NumPy's C API table ---------------------------------------------------
// Slot numbers and the array object layout are part of NumPy's stable ABI and
// are the same in NumPy 1.x and 2.x.

namespace {

using npy_intp = Py_ssize_t;
struct ArrayFields {  // leading fields of every ndarray
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;
constexpr int kWriteable = 0x0400;

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*,
                                     const npy_intp*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

void** g_api = nullptr;

[[noreturn]] void api_fault() {
  // A Ctrl-C (or SystemExit) that lands while NumPy's Python code runs is not
  // a fault of the capsule: it passes through as raised, and since nothing is
  // cached the next call loads the table again.
  PyObject* pending = PyErr_Occurred();
  if (pending != nullptr && !PyErr_GivenExceptionMatches(pending, PyExc_Exception)) {
    throw PyErrSet{};
  }
  // Describe the pending Python error, then report it as an internal fault.
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
  std::string what = "unknown error";
  if (v) {
    what = type_name(v.get());
    Ref text = Ref::steal(PyObject_Str(v.get()));
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (s != nullptr && n > 0) what += ": " + std::string(s, n);
    PyErr_Clear();
  }
  throw Panic("Failed to access NumPy array API capsule: " + what);
}

void** load_api() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) api_fault();
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) api_fault();
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) api_fault();
  Ref parser = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!parser) api_fault();
  Ref parsed = Ref::steal(PyObject_CallFunctionObjArgs(parser.get(), version.get(), nullptr));
  if (!parsed) api_fault();
  Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) api_fault();
  long m = PyLong_AsLong(major.get());
  if (m == -1 && PyErr_Occurred()) api_fault();
  Ref core = Ref::steal(
      PyImport_ImportModule(m >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  if (!core) api_fault();
  Ref capsule = Ref::steal(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
  if (!capsule) api_fault();
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
    api_fault();
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) api_fault();
  return static_cast<void**>(table);
}

void** api() {
  if (g_api == nullptr) g_api = load_api();  // filled once, under the lock
  return g_api;
}

Ref descr_for(Elem elem) {
  auto fn = reinterpret_cast<DescrFromTypeFn>(api()[kSlotDescrFromType]);
  return check(fn(static_cast<int>(elem)));
}

}  // namespace

// ---- Array arguments -------------------------------------------------------

ArrayView to_array(PyObject* obj, const char* param, Elem elem) {
  auto* array_type = static_cast<PyTypeObject*>(api()[kSlotArrayType]);
  bool ok = PyObject_TypeCheck(obj, array_type);
  if (ok) {
    auto* fields = reinterpret_cast<ArrayFields*>(obj);
    ok = fields->nd == 1;
    if (ok) {
      Ref canonical = descr_for(elem);
      auto equiv = reinterpret_cast<EquivTypesFn>(api()[kSlotEquivTypes]);
      ok = fields->descr == canonical.get() || equiv(fields->descr, canonical.get());
    }
    if (ok) return ArrayView{fields->data, fields->dimensions[0], fields->strides[0]};
  }
  std::string msg = "'" + type_name(obj) + "' object cannot be converted to 'PyArray<T, D>'";
  set_error(PyExc_TypeError, msg);
  fail_argument(param);
}

// ---- Private buffer --------------------------------------------------------

namespace {

constexpr std::size_t kHugePage = 2u << 20;
constexpr std::size_t kHugeHintFrom = 4u << 20;

// Large buffers are huge-page aligned and hinted: on a 10^7-element call the
// page faults of 4 KiB pages otherwise cost more than the kernel itself.
void* allocate(std::size_t bytes) {
  if (bytes < kHugeHintFrom) {
    void* p = std::malloc(bytes ? bytes : 8);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void release_capsule(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, "quelbrand_kernels.buffer"));
}

}  // namespace

// A broadcast view can claim more elements than memory could ever hold;
// refuse before n * 8 wraps around.
Buffer::Buffer(std::size_t n)
    : data_(n > SIZE_MAX / 8 ? throw std::bad_alloc() : allocate(n * 8)), n_(n) {}

Buffer::~Buffer() { std::free(data_); }

void Buffer::fill_from(const ArrayView& view) {
  auto* out = static_cast<char*>(data_);
  if (view.stride == 8) {
    std::memcpy(out, view.data, n_ * 8);
    return;
  }
  // Negative, zero and unaligned strides: memcpy reads each element safely
  // wherever it sits.
  const char* src = view.data;
  for (std::size_t i = 0; i < n_; ++i, src += view.stride) std::memcpy(out + i * 8, src, 8);
}

Ref Buffer::into_array(Elem elem) {
  Ref owner = check(PyCapsule_New(data_, "quelbrand_kernels.buffer", release_capsule));
  data_ = nullptr;  // the capsule frees it from now on
  Ref descr = descr_for(elem);
  auto make = reinterpret_cast<NewFromDescrFn>(api()[kSlotNewFromDescr]);
  npy_intp dims[1] = {static_cast<npy_intp>(n_)};
  npy_intp strides[1] = {8};
  // NewFromDescr steals the descriptor; the buffer stays the capsule's.
  Ref array = check(make(static_cast<PyTypeObject*>(api()[kSlotArrayType]), descr.release(), 1,
                         dims, strides, PyCapsule_GetPointer(owner.get(), "quelbrand_kernels.buffer"),
                         kWriteable, nullptr));
  auto set_base = reinterpret_cast<SetBaseObjectFn>(api()[kSlotSetBaseObject]);
  check_status(set_base(array.get(), owner.release()));  // steals the owner, even on failure
  return array;
}

}  // namespace qk::py
