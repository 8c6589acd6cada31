// Positional-argument checks for the module's functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace vorpaline_core {

// False with TypeError set unless exactly `expected` arguments were given.
bool check_arity(const char* function, Py_ssize_t given, Py_ssize_t expected);

// The UTF-8 text of an argument that must be exactly str. The view lives as long
// as the str does. False with TypeError (not a str) or ValueError (a lone
// surrogate, which UTF-8 cannot encode) set.
bool utf8_argument(const char* function, PyObject* argument, int position, const char* name,
                   std::string_view* text);

}  // namespace vorpaline_core
