#include "py/native/input.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "py/xml_errors.h"

// PyMemoryView_FromMemory is in the stable ABI since 3.3, its flag only in
// the limited headers since 3.11; the value is fixed.
#ifndef PyBUF_WRITE
#define PyBUF_WRITE 0x200
#endif

namespace qk::py {

namespace {

std::atomic<bool> g_exiting{false};

std::string name_of(PyObject* source) {
  Ref name = Ref::steal(PyObject_GetAttrString(source, "name"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s != nullptr) return std::string(s, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return "<" + type_name(source) + ">";
}

}  // namespace

FileInput::FileInput(PyObject* file) : file_(file) {
  Py_INCREF(file_);
  method_ = PyObject_GetAttrString(file_, "readinto");
  readinto_ = method_ != nullptr;
  if (!readinto_) {
    PyErr_Clear();
    method_ = PyObject_GetAttrString(file_, "read");
  }
  if (method_ == nullptr) {
    PyErr_Clear();
    Py_DECREF(file_);
    py::raise(PyExc_TypeError, "expected a path, bytes or a readable binary file object, not " + type_name(file));
  }
}

// Still attached only if the Python reader was never freed: the references
// are then left alone rather than dropped without the lock.
FileInput::~FileInput() = default;

void FileInput::detach() noexcept {
  Py_CLEAR(type_);
  Py_CLEAR(value_);
  Py_CLEAR(traceback_);
  Py_CLEAR(method_);
  Py_CLEAR(file_);
}

void FileInput::note_exiting() noexcept { g_exiting.store(true); }

void FileInput::reraise() {
  if (type_ == nullptr) return;
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
  throw PyErrSet{};
}

void FileInput::seek(std::uint64_t offset) {
  if (file_ == nullptr) raise(PyExc_ValueError, "the input is closed");
  Ref method = Ref::steal(PyObject_GetAttrString(file_, "seek"));
  if (!method) {
    PyErr_Clear();
    raise(PyExc_TypeError, "a " + type_name(file_) + " cannot seek, so it cannot be read from a split point");
  }
  Ref at = check(PyLong_FromUnsignedLongLong(offset));
  Ref result = check(PyObject_CallFunctionObjArgs(method.get(), at.get(), nullptr));
}

long FileInput::pull(void* self, char* dst, std::size_t size) {
  auto& input = *static_cast<FileInput*>(self);
  if (g_exiting.load()) return -1;
  const PyGILState_STATE state = PyGILState_Ensure();
  long got = -1;
  // Only the first failure is kept: the reader stops reading after it. A
  // detached input has nobody to read for.
  if (input.type_ == nullptr && input.method_ != nullptr) {
    try {
      got = input.pull_locked(dst, size);
    } catch (const PyErrSet&) {
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
    if (got < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "the input's read failed");
      PyErr_Fetch(&input.type_, &input.value_, &input.traceback_);
    }
  }
  PyGILState_Release(state);
  return got;
}

long FileInput::pull_locked(char* dst, std::size_t size) {
  const auto want = static_cast<Py_ssize_t>(size);
  // Detaching while the object's code runs (it may let the lock go) must
  // not free what the call uses.
  Ref keep_file = Ref::borrow(file_);
  Ref method = Ref::borrow(method_);
  if (readinto_) {
    Ref view = check(PyMemoryView_FromMemory(dst, want, PyBUF_WRITE));
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), view.get(), nullptr));
    // The view must not outlive this call, whatever the object did with it:
    // the buffer behind it is the reader's. The read's own exception, if
    // any, is kept aside meanwhile and wins.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!result) PyErr_Fetch(&type, &value, &traceback);
    Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!result) {
      if (!released) PyErr_Clear();
      PyErr_Restore(type, value, traceback);
      throw PyErrSet{};
    }
    if (!released) throw PyErrSet{};
    if (result.get() == Py_None)
      py::raise(PyExc_TypeError, "readinto() of a " + type_name(file_) +
                                     " returned None: it is non-blocking and had no data; "
                                     "XML input needs a blocking file");
    if (!PyLong_Check(result.get()))
      py::raise(PyExc_TypeError, "readinto() should return an int, not " + type_name(result.get()));
    const Py_ssize_t n = PyLong_AsSsize_t(result.get());
    if (n == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (n < 0 || n > want)
      py::raise(PyExc_ValueError, "readinto() returned " + std::to_string(n) + " for a buffer of " +
                                      std::to_string(want) + " bytes");
    return static_cast<long>(n);
  }
  Ref result = check(PyObject_CallFunction(method.get(), "n", want));
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_Check(result.get())) {
    check_status(PyBytes_AsStringAndSize(result.get(), &data, &n));
  } else if (PyByteArray_Check(result.get())) {
    data = PyByteArray_AsString(result.get());
    n = PyByteArray_Size(result.get());
  } else {
    py::raise(PyExc_TypeError, "read() should return bytes, not " + type_name(result.get()) +
                                   " (is the file opened in text mode?)");
  }
  if (n > want)
    py::raise(PyExc_ValueError, "read(" + std::to_string(want) + ") returned " + std::to_string(n) + " bytes");
  std::memcpy(dst, data, static_cast<std::size_t>(n));
  return static_cast<long>(n);
}

std::unique_ptr<xml::Reader> Inputs::open(PyObject* source) {
  const bool first = files.empty() && name.empty();
  if (PyUnicode_Check(source)) {
    const std::string path(to_utf8(source, "source"));
    if (first) name = path;
    xml::XmlStreamError err;
    std::unique_ptr<xml::Reader> reader = xml::Reader::open(path, err);
    if (!reader && err.os_errno != 0) {
      // A file that cannot be opened is the OSError naming it that Python's
      // own open() gives (FileNotFoundError, PermissionError, ...).
      errno = err.os_errno;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source);
      throw PyErrSet{};
    }
    if (!reader) raise_parse_error(path, err);
    reader->explain_encoding();
    return reader;
  }
  if (PyBytes_Check(source)) {
    if (first) name = "<bytes>";
    // Copied once, and shared by both readers of a table: a worker may
    // outlive the Python reader, and the bytes object with it.
    if (!bytes || bytes_source != source) {
      char* data = nullptr;
      Py_ssize_t n = 0;
      check_status(PyBytes_AsStringAndSize(source, &data, &n));
      bytes = std::make_shared<const std::string>(data, static_cast<std::size_t>(n));
      bytes_source = source;
    }
    std::unique_ptr<xml::Reader> reader = xml::Reader::from_view(*bytes, bytes);
    reader->explain_encoding();
    return reader;
  }
  auto file = std::make_shared<FileInput>(source);
  if (first) name = name_of(source);
  files.push_back(file);
  std::unique_ptr<xml::Reader> reader = xml::Reader::from_callback(file->callback(), file);
  reader->explain_encoding();
  return reader;
}

bool FileInput::seekable() const {
  if (file_ == nullptr) return false;
  Ref result = Ref::steal(PyObject_CallMethod(file_, "seekable", nullptr));
  const int yes = result ? PyObject_IsTrue(result.get()) : 0;
  if (yes < 0 || !result) PyErr_Clear();
  return yes > 0;
}

bool Inputs::resumable() const {
  if (bytes) return false;
  for (const auto& file : files)
    if (!file->seekable()) return false;
  return true;
}

Inputs::~Inputs() {
  for (const auto& file : files) file->detach();
}

void Inputs::raise(const xml::XmlStreamError& err) {
  // A signal handler's exception, already pending, goes first.
  if (err.kind != xml::XmlStreamError::Kind::Interrupted)
    for (const auto& file : files) file->reraise();
  raise_parse_error(name, err);
}

}  // namespace qk::py
