// Reading a repository's files for Python through the core's guarded open
// (scan/guarded_open.hpp), so that callers outside the index read exactly
// what the index may read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// read_repository_file(root, path, begin, end, /) -> tuple[bytes, int, int]
PyObject* read_repository_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
