// The core's grep functions, bound for Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// grep_search(request_json, threads, /) -> (files, stats)
PyObject* grep_search(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// grep_merge_segments(out_path, inputs_json, /) -> str
PyObject* grep_merge_segments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// grep_verify_segment(path, /) -> None
PyObject* grep_verify_segment(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
