// One-dimensional NumPy array arguments and results, reached through NumPy's
// C API table without NumPy's headers, so NumPy is needed only at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py/boundary.h"

namespace qk::py {

enum class Elem : int { Float64 = 12, UInt64 = 8 };  // NumPy type numbers on Linux x86-64

// A checked array argument. Its memory is borrowed and stays valid only until
// Python code next runs (which may resize the array in place): copy it first.
struct ArrayView {
  const char* data;
  std::ptrdiff_t length;
  std::ptrdiff_t stride;
};

// Checks that `obj` is a 1-D ndarray of exactly `elem` (or an equivalent
// native-order alias); otherwise raises the one TypeError for all misfits.
ArrayView to_array(PyObject* obj, const char* param, Elem elem);

// The call's private buffer of 8-byte elements: first the copied inputs,
// then the outputs, finally the memory of the result array.
class Buffer {
 public:
  explicit Buffer(std::size_t n);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();
  void* data() const { return data_; }
  std::size_t size() const { return n_; }
  // Copies the view's elements in logical order, whatever the stride.
  void fill_from(const ArrayView& view);
  // Hands the memory to a new ndarray of `elem`, whose base owns it.
  Ref into_array(Elem elem);

 private:
  void* data_;
  std::size_t n_;
};

}  // namespace qk::py
