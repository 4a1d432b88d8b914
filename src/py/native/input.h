// What a native reader reads: a str path (opened by the core), bytes (read
// in place), or any readable binary file object, pulled a large block at a
// time through a callback that takes the interpreter lock for each call
// only. The batch worker reads without the lock, so the object's own code
// runs under it on that thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "py/boundary.h"
#include "xmlstream/reader.h"

namespace qk::py {

// A file object being read, and the exception its read raised, kept to be
// raised again, unchanged, by whoever meets the failed step.
//
// The last reader may go on a worker thread, even while the interpreter
// shuts down, when a thread may no longer take the lock. So the references
// are let go by detach(), with the lock held, when the Python reader goes;
// a read under way holds references of its own, and a later one fails.
class FileInput {
 public:
  // `file` must have readinto or read; fails with TypeError otherwise.
  explicit FileInput(PyObject* file);
  ~FileInput();  // touches no Python object: detach() has let them go
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  xml::ReadCallback callback() { return {&FileInput::pull, this}; }
  // With the lock held: raises the stored exception, if any, and throws
  // PyErrSet; otherwise returns.
  void reraise();
  // With the lock held: puts the object at byte `offset` by its seek(), or
  // raises (TypeError for an object that cannot seek).
  void seek(std::uint64_t offset);
  // With the lock held: whether the object says it can seek.
  bool seekable() const;
  // With the lock held: drops every reference.
  void detach() noexcept;

  // Set once the interpreter starts shutting down: a thread that took the
  // lock then would be ended where it stands, so reads fail instead.
  static void note_exiting() noexcept;

 private:
  // Not noexcept: a thread the interpreter ends unwinds through it.
  static long pull(void* self, char* dst, std::size_t size);
  long pull_locked(char* dst, std::size_t size);  // the lock held

  PyObject* file_;
  PyObject* method_;  // bound readinto or read
  bool readinto_;
  // The exception read raised, until raised again.
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The inputs behind one native reader, so that a failed read raises the
// object's own exception rather than a parse error.
struct Inputs {
  ~Inputs();  // with the lock held; detaches the files
  std::string name;  // for messages: the path, or the object's name
  std::vector<std::shared_ptr<FileInput>> files;
  std::shared_ptr<const std::string> bytes;  // the bytes read, copied
  const PyObject* bytes_source = nullptr;    // whose they are

  // A reader over `source`, or a Python error (a parse error naming the
  // path when it cannot be opened). The first call sets `name`.
  std::unique_ptr<xml::Reader> open(PyObject* source);
  // Raises what ended the reading: an object's exception if its read
  // raised one, else the XML error.
  [[noreturn]] void raise(const xml::XmlStreamError& err);
  // With the lock held: whether a reading can go on from the split points
  // it noted: a path, or file objects that can seek (bytes are not split).
  bool resumable() const;
};

}  // namespace qk::py
