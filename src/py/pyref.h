// Owned references to Python objects.
//
// Every PyObject* the boundary owns lives in a Ref, so a failure anywhere on
// a path releases what was built so far without hand-written Py_DECREF chains.
#pragma once

#ifdef QK_NO_PYTHON
#error "the kernels and the XML core stay free of Python; only src/py/ may include it"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qk::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (null allowed: it marks a pending exception).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace qk::py
