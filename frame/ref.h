// Owned references and the error signal used by module code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "exit.h"

namespace frame {

// Thrown by module code when a Python exception is set; the frame catches it at
// the function boundary, adds the traceback entry and returns NULL to Python.
struct PyErrorSet {};

[[noreturn]] inline void raise_pending() { throw PyErrorSet{}; }

// An owned (strong) reference; the only way module code holds Python objects.
class Ref {
public:
    Ref() = default;
    Ref(const Ref &other) : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref &operator=(Ref other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref()
    {
        if (ptr_)
            release_reference(ptr_);
    }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject *ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject *ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject *get() const noexcept { return ptr_; }
    operator PyObject *() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject *ptr) noexcept : ptr_(ptr) {}
    PyObject *ptr_ = nullptr;
};

// Takes a new reference returned by the C API; NULL means an exception is set.
inline Ref take(PyObject *result)
{
    if (!result)
        raise_pending();
    return Ref::steal(result);
}

// Checks a C API status code (-1 means an exception is set).
inline int check(int status)
{
    if (status < 0)
        raise_pending();
    return status;
}

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace frame
