// What the companion's Python objects share: Arrow structs handed over in
// PyCapsules, and the slots every one of its types takes.
#pragma once

#include <memory>

#include "py/boundary.h"
#include "xmlstream/arrow_c.h"

namespace qk::py {

// A capsule owns its struct; a consumer that imports it moves the contents
// out and leaves `release` null, and otherwise the capsule releases them.

template <class T>
struct CapsuleName;
template <>
struct CapsuleName<ArrowSchema> {
  static constexpr const char* value = "arrow_schema";
};
template <>
struct CapsuleName<ArrowArray> {
  static constexpr const char* value = "arrow_array";
};
template <>
struct CapsuleName<ArrowArrayStream> {
  static constexpr const char* value = "arrow_array_stream";
};

template <class T>
void free_capsule(PyObject* capsule) noexcept {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, CapsuleName<T>::value));
  if (p == nullptr) return PyErr_Clear();
  if (p->release) p->release(p);
  delete p;
}

// A capsule around a struct that `fill` exports; released if the capsule
// cannot be made.
template <class T, class Fill>
Ref capsule(Fill fill) {
  auto p = std::make_unique<T>();
  fill(p.get());
  Ref cap = Ref::steal(PyCapsule_New(p.get(), CapsuleName<T>::value, free_capsule<T>));
  if (!cap) {
    p->release(p.get());
    throw PyErrSet{};
  }
  p.release();
  return cap;
}

// Frees an object of one of the module's heap types after `clear` has
// released what it owns.
inline void dealloc_with(PyObject* self, void (*clear)(PyObject*)) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  clear(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The types are made by the module's functions only.
inline PyObject* no_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", "quelbrand._native object");
  (void)type;
  return nullptr;
}

}  // namespace qk::py
