// What every binding of the core does with its work and its reply: release
// the interpreter lock while working, turn a C++ exception into a Python
// one, and write the reply text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <exception>
#include <new>

#include "input_error.hpp"
#include "owned_ref.hpp"
#include "reply_buffer.hpp"

namespace vorpaline_core {

// Sets the Python exception for a failure and returns null: ValueError for
// bad input, MemoryError, OSError for a failed system call, RuntimeError
// for anything else.
PyObject* raise_failure(const std::exception_ptr& failure);

// A METH_FASTCALL or METH_O function as the PyCFunction a method table holds.
template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Runs `work` with the interpreter lock released; a C++ exception from it is
// returned, to become a Python exception once the lock is held again.
template <class Work>
std::exception_ptr run_without_gil(Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  return failure;
}

// An embedding reply, numbers and punctuation only, is written straight into
// the str that is returned: a str of `size_guess` ASCII characters is lent to
// `work` and cut to what it wrote. A reply that outgrows it is copied into a
// new str.
template <class Work>
PyObject* ascii_reply(std::size_t size_guess, Work&& work) {
  OwnedRef str(PyUnicode_New(static_cast<Py_ssize_t>(size_guess), 127));
  if (str.get() == nullptr) return nullptr;
  ReplyBuffer reply(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get())), size_guess);
  if (const std::exception_ptr failure = run_without_gil([&] { work(reply); })) {
    return raise_failure(failure);
  }
  if (!reply.in_lent_memory()) {
    PyObject* copy = PyUnicode_New(static_cast<Py_ssize_t>(reply.size()), 127);
    if (copy != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(copy), reply.data(), reply.size());
    return copy;
  }
  if (PyUnicode_Resize(str.address(), static_cast<Py_ssize_t>(reply.size())) < 0) return nullptr;
  return str.release();
}

// Any other reply is UTF-8 text of its own.
template <class Work>
PyObject* utf8_reply(Work&& work) {
  ReplyBuffer reply;
  if (const std::exception_ptr failure = run_without_gil([&] { work(reply); })) {
    return raise_failure(failure);
  }
  return PyUnicode_DecodeUTF8(reply.data(), static_cast<Py_ssize_t>(reply.size()), "strict");
}

}  // namespace vorpaline_core
