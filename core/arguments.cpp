#include "arguments.hpp"

#include "owned_ref.hpp"

namespace vorpaline_core {

namespace {

// Replaces the pending UnicodeEncodeError with a ValueError that names the
// argument, keeping the original as its cause.
void reraise_as_value_error(const char* function, int position, const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef cause_type(type);
  OwnedRef cause(value);
  OwnedRef cause_traceback(traceback);
  if (cause_traceback.get() != nullptr) PyException_SetTraceback(cause.get(), cause_traceback.get());

  PyErr_Format(PyExc_ValueError, "%s() argument %d ('%s') cannot be encoded as UTF-8: %S",
               function, position, name, cause.get());
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) PyException_SetCause(value, cause.release());
  PyErr_Restore(type, value, traceback);
}

}  // namespace

bool check_arity(const char* function, Py_ssize_t given, Py_ssize_t expected) {
  if (given == expected) return true;
  if (expected == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, given);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function,
                 expected, given);
  }
  return false;
}

bool utf8_argument(const char* function, PyObject* argument, int position, const char* name,
                   std::string_view* text) {
  if (!PyUnicode_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must be str, not %.200s", function,
                 position, name, Py_TYPE(argument)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(argument, &size);
  if (data == nullptr) {
    reraise_as_value_error(function, position, name);
    return false;
  }
  *text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vorpaline_core
