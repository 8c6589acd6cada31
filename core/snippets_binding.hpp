// The snippets of a search's hits (snippets/hit_snippets.hpp) for Python:
// the files read, the lines tokenised and chosen with the interpreter lock
// released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// hit_snippets(request_json, profile_json, /) -> str
PyObject* hit_snippets(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
