// ripgrep's path filter (scan/path_rules.hpp) for Python: the globs are read
// once into a PathFilter, which then answers for one path at a time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// Makes the PathFilter type and adds it to the module; -1 with an exception set on failure.
int add_glob_types(PyObject* module);

// path_filter_compile(globs, type_globs, /) -> PathFilter
PyObject* path_filter_compile(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
