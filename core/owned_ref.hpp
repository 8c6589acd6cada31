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
  // Once the interpreter is finalising, a daemon thread that tried to take the
  // lock back is ended by a forced unwind that runs this without the lock: the
  // object is left alone then.
  ~OwnedRef() {
    if (object_ != nullptr && !_Py_IsFinalizing()) Py_DECREF(object_);
  }

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
