// Rows of a recording as CSV or JSON Lines text (text_rows.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmore::recording {

// format_rows(fmt, tables, order) -> str; see text_rows.cpp.
PyObject* formatRows(PyObject* module, PyObject* args);

}  // namespace quillmore::recording
