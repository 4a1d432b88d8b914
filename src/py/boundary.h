// The Python boundary shared by every entry point: the fault mapping, the
// fast-call argument binder, scalar conversions and running work without the
// interpreter lock.
//
// Inside the boundary a failed CPython call throws PyErrSet (the Python error
// stays pending) and an internal fault throws Panic; `guard` turns both, and
// any other C++ exception, into a raised Python exception at the entry, so
// nothing C++ ever crosses into the interpreter.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "py/pyref.h"

namespace qk::py {

struct PyErrSet {};

struct Panic : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The exception for internal faults: a BaseException subclass, created on
// first use and deliberately not exported from the module.
void raise_panic(const char* message) noexcept;

template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (const PyErrSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

// A new reference from a CPython call, or PyErrSet if it failed.
inline Ref check(PyObject* p) {
  if (p == nullptr) throw PyErrSet{};
  return Ref::steal(p);
}
inline void check_status(int rc) {
  if (rc < 0) throw PyErrSet{};
}

// Sets the pending error from a message of any bytes (a NUL included:
// type names may hold one); raise() also throws PyErrSet.
void set_error(PyObject* type, const std::string& message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// `__qualname__` of an object's type, as messages show it.
std::string type_name(PyObject* obj);

// ---- Argument binding ------------------------------------------------------

constexpr int kMaxParams = 24;

// Every exported function takes positional-or-keyword parameters, the
// first `required` of them required (all, by default); an optional one not
// given leaves its slot null. Names are interned once so keyword matching
// is usually a pointer comparison.
struct Signature {
  const char* function;
  const char* params[kMaxParams];
  int count;
  int required = -1;
  // How many may come by position (all, by default); the rest are keyword-only.
  int positional = -1;
  PyObject* interned[kMaxParams] = {};
};

// Fills slots[0..count) from a fast call, or raises the interpreter-style
// TypeError. Slots are borrowed references.
void bind(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots);

// ---- Scalar conversions ----------------------------------------------------

// A TypeError from converting `param` becomes "argument '{param}': ...";
// anything else passes through unchanged.
[[noreturn]] void fail_argument(const char* param);

std::uint64_t to_u64(PyObject* obj, const char* param);
// UTF-8 view of a str; valid while the object lives.
std::string_view to_utf8(PyObject* obj, const char* param);
// A sequence's items, refusing a str or bytes (whose characters would pass
// for items): `what` is the message, such as "columns must be a sequence of str".
Ref items_of(PyObject* seq, const char* param, const char* what);
// A sequence of str as UTF-8 strings.
std::vector<std::string> strings_from(PyObject* seq, const char* param);

// ---- Running without the interpreter lock -----------------------------------

// The interpreter lock, released for the life of the object. Python runs
// signal handlers only while some thread holds the lock, so long work done
// here calls signals_raised() now and then; otherwise a scan of /dev/zero
// would never see Ctrl-C.
class Unlocked {
 public:
  Unlocked();
  ~Unlocked() { PyEval_RestoreThread(ts_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs pending signal handlers, taking the lock just for that: at most
  // every few milliseconds, and only on the main thread, the one they run
  // on, so other threads never queue for the lock. True when a handler
  // raised: its exception is pending, and the work should stop and return.
  bool signals_raised() { return on_main_thread_ && now_ns() >= next_poll_ns_ && poll(); }
  // The same without waiting for the interval: for a read a signal cut short.
  bool signals_raised_now() { return on_main_thread_ && poll(); }

 private:
  static std::uint64_t now_ns();
  bool poll();

  PyThreadState* ts_;
  bool on_main_thread_;
  std::uint64_t next_poll_ns_;
};

// Runs `work(unlocked)` with the lock released; the lock is back before
// anything, value or exception, leaves.
template <class F>
decltype(auto) run_unlocked(F&& work) {
  Unlocked unlocked;
  return work(unlocked);
}

// Remembers which thread is the main one; called once at import.
void note_main_thread();

}  // namespace qk::py
