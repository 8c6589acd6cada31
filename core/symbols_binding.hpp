// The module's functions for definitions and references: registering a
// tree-sitter grammar with its tags query, and the symbols of one text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// symbols_register_language(name, capsule, tags_query, extensions_json, /) -> None
PyObject* symbols_register_language(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// symbols_of_text(path, text, /) -> str
PyObject* symbols_of_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
