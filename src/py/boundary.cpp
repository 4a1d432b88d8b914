#include "py/boundary.h"

#include <time.h>

#include <cstring>

namespace qk::py {

// ---- Faults ----------------------------------------------------------------

void raise_panic(const char* message) noexcept {
  // Created under the interpreter lock on first use and kept for the process.
  static PyObject* panic_type = nullptr;
  if (panic_type == nullptr) {
    panic_type = PyErr_NewException("quelbrand_kernels.PanicException", PyExc_BaseException,
                                    nullptr);
    if (panic_type == nullptr) return;  // that failure is the pending error
  }
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
  if (!text) return;
  PyErr_SetObject(panic_type, text.get());
}

void set_error(PyObject* type, const std::string& message) {
  Ref text = check(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
  PyErr_SetObject(type, text.get());
}

void raise(PyObject* type, const std::string& message) {
  set_error(type, message);
  throw PyErrSet{};
}

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                               "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, n);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// ---- Binding ---------------------------------------------------------------

namespace {

std::string missing_message(const Signature& sig, PyObject** slots, int required) {
  std::string names;
  int k = 0;
  for (int i = 0; i < required; ++i) k += slots[i] == nullptr;
  int seen = 0;
  for (int i = 0; i < required; ++i) {
    if (slots[i] != nullptr) continue;
    if (seen > 0) names += k == 2 ? " and " : (seen == k - 1 ? ", and " : ", ");
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++seen;
  }
  return std::string(sig.function) + "() missing " + std::to_string(k) +
         (k == 1 ? " required positional argument: " : " required positional arguments: ") +
         names;
}

int match_keyword(Signature& sig, PyObject* key) {
  for (int i = 0; i < sig.count; ++i) {
    if (sig.interned[i] == nullptr) {
      sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);
      if (sig.interned[i] == nullptr) throw PyErrSet{};
    }
    if (sig.interned[i] == key) return i;
  }
  Py_ssize_t n = 0;
  const char* name = PyUnicode_AsUTF8AndSize(key, &n);
  if (name == nullptr) {
    PyErr_Clear();  // not UTF-8: it cannot name any parameter
    return -1;
  }
  for (int i = 0; i < sig.count; ++i)
    if (std::strlen(sig.params[i]) == static_cast<size_t>(n) &&
        std::memcmp(sig.params[i], name, n) == 0)
      return i;
  return -1;
}

}  // namespace

void bind(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
  const int positional = sig.positional < 0 ? sig.count : sig.positional;
  if (nargs > positional)
    raise(PyExc_TypeError, std::string(sig.function) + "() takes " + std::to_string(positional) +
                               " positional arguments but " + std::to_string(nargs) +
                               " were given");
  for (int i = 0; i < sig.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    if (key == nullptr) throw PyErrSet{};
    int slot = match_keyword(sig, key);
    if (slot < 0) {
      Ref msg = check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'",
                                           sig.function, key));
      PyErr_SetObject(PyExc_TypeError, msg.get());
      throw PyErrSet{};
    }
    if (slots[slot] != nullptr)
      raise(PyExc_TypeError, std::string(sig.function) +
                                 "() got multiple values for argument '" + sig.params[slot] + "'");
    slots[slot] = args[nargs + j];
  }
  const int required = sig.required < 0 ? sig.count : sig.required;
  for (int i = 0; i < required; ++i)
    if (slots[i] == nullptr) raise(PyExc_TypeError, missing_message(sig, slots, required));
}

// ---- Conversions -----------------------------------------------------------

void fail_argument(const char* param) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    throw PyErrSet{};
  }
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
  Ref text = check(PyObject_Str(v.get()));
  Ref msg = check(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  Ref exc = check(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr));
  // The new error stands for the old one, so it keeps the old one's cause.
  PyException_SetCause(exc.get(), PyException_GetCause(v.get()));
  PyErr_SetObject(PyExc_TypeError, exc.get());
  throw PyErrSet{};
}

std::uint64_t to_u64(PyObject* obj, const char* param) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) fail_argument(param);
    obj = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_argument(param);
  return v;
}

std::string_view to_utf8(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) {
    std::string msg = "'" + type_name(obj) + "' object cannot be converted to 'PyString'";
    set_error(PyExc_TypeError, msg);
    fail_argument(param);
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) fail_argument(param);
  return std::string_view(s, static_cast<size_t>(n));
}

// ---- Running without the interpreter lock -----------------------------------

namespace {
// Often enough that Ctrl-C feels immediate, rarely enough that taking the
// lock costs nothing measurable.
constexpr std::uint64_t kSignalPollNs = 20'000'000;
unsigned long g_main_thread = 0;  // set at import; 0 = unknown: poll on every thread
}  // namespace

void note_main_thread() {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
  Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
  unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();  // without it every thread polls, which is only slower
    id = 0;
  }
  g_main_thread = id;
}

std::uint64_t Unlocked::now_ns() {
  // The coarse clock is read without a system call, and its few
  // milliseconds of resolution are plenty here.
  timespec t;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

Unlocked::Unlocked()
    : ts_(PyEval_SaveThread()),
      on_main_thread_(g_main_thread == 0 || PyThread_get_thread_ident() == g_main_thread),
      next_poll_ns_(now_ns() + kSignalPollNs) {}

bool Unlocked::poll() {
  PyEval_RestoreThread(ts_);
  const bool raised = PyErr_CheckSignals() != 0;
  ts_ = PyEval_SaveThread();
  next_poll_ns_ = now_ns() + kSignalPollNs;
  return raised;
}



Ref items_of(PyObject* seq, const char* param, const char* what) {
  if (PyUnicode_Check(seq) || PyBytes_Check(seq))
    raise(PyExc_TypeError, std::string("argument '") + param + "': " + what + ", not " + type_name(seq));
  Ref fast = Ref::steal(PySequence_Fast(seq, what));
  if (!fast) fail_argument(param);
  return fast;
}

std::vector<std::string> strings_from(PyObject* seq, const char* param) {
  Ref fast = items_of(seq, param, (std::string(param) + " must be a sequence of str").c_str());
  const Py_ssize_t n = PySequence_Size(fast.get());
  if (n < 0) throw PyErrSet{};
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = check(PySequence_GetItem(fast.get(), i));
    out.emplace_back(to_utf8(item.get(), param));
  }
  return out;
}

}  // namespace qk::py
