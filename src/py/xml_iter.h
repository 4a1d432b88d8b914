// The Python face of the XML subsystem: stream_xml_file, count_xml_records
// and the XmlBatchIter type.
#pragma once

#include "py/pyref.h"

namespace qk::py {

PyObject* stream_xml_file_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* count_xml_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

// The XmlBatchIter type object, created on first call and kept for the process.
Ref batch_iter_type();

}  // namespace qk::py
