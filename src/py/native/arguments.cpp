// The arguments the companion's entry points share, read from Python.
#include "py/native/arguments.h"

#include <string>
#include <string_view>
#include <utility>

#include "py/xml_errors.h"
#include "xmlstream/encoding.h"
#include "xmlstream/record_rule.h"

namespace qk::py {

Ref name_list(const std::vector<std::string>& names) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; i < names.size(); ++i)
    check_status(PyList_SetItem(
        list.get(), static_cast<Py_ssize_t>(i),
        check(PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()),
                                   "replace"))
            .release()));
  return list;
}

Ref split_tuple(const xml::SplitPoint& at) {
  const std::string state = xml::serialize_split(at);
  Ref offset = check(PyLong_FromUnsignedLongLong(at.offset));
  Ref records = check(PyLong_FromUnsignedLongLong(at.records));
  Ref bytes = check(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  return check(PyTuple_Pack(3, offset.get(), records.get(), bytes.get()));
}

Ref fault_tuple(const xml::Fault& fault) {
  Ref text = check(PyUnicode_DecodeUTF8(fault.text.data(), static_cast<Py_ssize_t>(fault.text.size()), "replace"));
  Ref at = check(PyLong_FromUnsignedLongLong(fault.at));
  Ref start = fault.in_record ? check(PyLong_FromUnsignedLongLong(fault.record_start)) : Ref::borrow(Py_None);
  Ref good = split_tuple(fault.good);
  Ref open = name_list(fault.good.open);
  return check(PyTuple_Pack(6, text.get(), fault.truncated ? Py_True : Py_False, at.get(), start.get(), good.get(),
                            open.get()));
}

Ref split_list(const std::vector<xml::SplitPoint>& splits) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(splits.size())));
  for (std::size_t i = 0; i < splits.size(); ++i)
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), split_tuple(splits[i]).release()));
  return list;
}

xml::SplitPoint split_from(PyObject* obj) {
  PyObject* state = obj;
  if (PyTuple_Check(obj) && PyTuple_Size(obj) == 3) state = PyTuple_GetItem(obj, 2);
  if (!PyBytes_Check(state)) raise(PyExc_TypeError, "start must be a split point from discover()");
  char* data = nullptr;
  Py_ssize_t size = 0;
  check_status(PyBytes_AsStringAndSize(state, &data, &size));
  xml::SplitPoint at;
  if (!xml::parse_split(std::string_view(data, static_cast<std::size_t>(size)), at))
    raise(PyExc_ValueError, "start is not a split point from discover()");
  return at;
}

std::optional<xml::SplitPoint> range_from(PyObject* const* slots, xml::ReadOptions& options, const char* fn) {
  std::optional<xml::SplitPoint> start;
  if (slots[0] && slots[0] != Py_None) start = split_from(slots[0]);
  if (slots[1] && slots[1] != Py_None) options.records = to_u64(slots[1], "records");
  if (slots[2] && slots[2] != Py_None) {
    if (options.records == UINT64_MAX) raise(PyExc_ValueError, std::string(fn) + " takes an end only with records");
    options.end = to_u64(slots[2], "end");
  }
  return start;
}

void resume(xml::Reader& reader, const xml::SplitPoint& at, Inputs& inputs) {
  xml::XmlStreamError err;
  // A file object is put where the split point's check begins: the byte
  // before it (a code unit, in UTF-16), which must end a tag.
  if (!inputs.files.empty() && at.encoding != nullptr) {
    const std::uint64_t back = xml::enc::is_utf16(*at.encoding) ? 2 : 1;
    if (at.offset >= back) inputs.files.back()->seek(at.offset - back);
  }
  if (!reader.resume(at, err)) inputs.raise(err);
}

bool truth(PyObject* obj) {
  if (obj == nullptr) return false;
  const int v = PyObject_IsTrue(obj);
  check_status(v);
  return v != 0;
}

PyObject* given(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

std::shared_ptr<const xml::Entities> entities_from(PyObject* const* slots) {
  const bool doctype = slots[0] == nullptr || truth(slots[0]);
  const bool html = truth(slots[1]);
  PyObject* mapping = given(slots[2]);
  PyObject* dtd = given(slots[3]);
  if (!doctype && !html && !mapping && !dtd) return nullptr;
  auto out = std::make_shared<xml::Entities>();
  out->set_read_subset(doctype);
  out->set_html(html);
  if (mapping) {
    if (!PyMapping_Check(mapping)) raise(PyExc_TypeError, "entities must be a mapping of str to str");
    Ref items = check(PyMapping_Items(mapping));
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
      PyObject* key = PyTuple_GetItem(pair, 0);
      PyObject* value = PyTuple_GetItem(pair, 1);
      if (!PyUnicode_Check(key) || !PyUnicode_Check(value))
        raise(PyExc_TypeError, "entities must be a mapping of str to str");
      const std::string_view name = to_utf8(key, "entities");
      bool ok = !name.empty() && name[0] != '#';
      for (char c : name)
        ok = ok && c != '&' && c != ';' && c != '<' && c != '>' && c != '"' && c != '\'' &&
             static_cast<unsigned char>(c) > 0x20;
      if (!ok) raise(PyExc_ValueError, "entities: `" + std::string(name) + "` is not an entity name");
      const std::string_view text = to_utf8(value, "entities");
      if (text.size() > xml::Entities::kMaxOne)
        raise(PyExc_ValueError, "entities: the text of `" + std::string(name) + "` is longer than 1 MiB");
      out->add_text(std::string(name), std::string(text));
    }
  }
  if (dtd) {
    if (!PyUnicode_Check(dtd)) raise(PyExc_TypeError, "dtd must be a path");
    std::string why;
    if (!out->add_dtd_file(std::string(to_utf8(dtd, "dtd")), why)) raise(PyExc_ValueError, why);
  }
  return out;
}

void records_from(PyObject* record, PyObject* column, xml::ReadOptions& options,
                  const std::optional<xml::SplitPoint>& start) {
  if (given(record)) {
    std::vector<std::string> names;
    if (PyUnicode_Check(record)) names.emplace_back(to_utf8(record, "record"));
    else names = strings_from(record, "record");
    auto paths = std::make_shared<xml::RecordPaths>();
    std::string why;
    if (!xml::RecordPaths::parse(names, *paths, why)) raise(PyExc_ValueError, why);
    if (start && paths->inside(start->open))
      raise(PyExc_ValueError, "start lies inside a record of this record=: it was taken under other records");
    options.record_paths = std::move(paths);
  }
  if (given(column)) {
    if (!PyUnicode_Check(column)) raise(PyExc_TypeError, "record_column must be a str");
    const std::string_view name = to_utf8(column, "record_column");
    if (name.empty()) raise(PyExc_ValueError, "record_column must not be empty");
    options.record_column = std::string(name);
  }
}

}  // namespace qk::py
