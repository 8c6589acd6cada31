// Telling a scan's file list still stands without walking again
// (scan/stamps.hpp), for Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// listing_unchanged(root, stamps_json, threads, /) -> bool
PyObject* listing_unchanged(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
