// Ownership of one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// Owns one strong reference, or none.
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object = nullptr) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject** address() { return &object_; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_;
};

}  // namespace vorpaline_core
