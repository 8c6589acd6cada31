// The call-overhead floor: each operation of the package's modules written with
// only the C-API calls it cannot avoid (interned names, plain dict look-ups, no
// argument-binding machinery). Benchmarks compare the compiled modules with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <utility>

namespace callfloor {

// One strong reference, released at scope exit.
class Owned {
public:
    explicit Owned(PyObject *object = nullptr) noexcept : object_(object) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Py_XDECREF(object_); }

    PyObject *get() const noexcept { return object_; }
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject *object_;
};

// Interned names, made once when the module is executed.
struct Names {
    PyObject *sparse_service, *service_class, *cached_capabilities, *load_capabilities, *settings, *core, *json,
        *record_class, *sparse_embed_single, *sparse_embed_batch, *loads, *dumps, *profile_json, *indices, *values,
        *truncated, *original_chars, *used_chars, *embeddings, *get, *builtin_ignore_replace,
        *builtin_ignore_patterns, *extra_ignore_patterns, *ignore_mode, *repo_root, *builtin_patterns,
        *extra_patterns, *use_gitignore, *use_vorpalineignore, *replace_builtin_patterns, *git_mode,
        *enginecheck_module, *require_capability, *capability, *capability_context, *text, *texts;
    PyObject *record_keywords;  // ("indices", "values", "truncated", "original_chars", "used_chars")
};

extern Names names;

int make_names();

// The dict that stands for the module globals of the floor's functions.
PyObject *globals() noexcept;
int set_globals(PyObject *dict);

// A global by name: a new reference, or NULL with NameError set.
PyObject *global(PyObject *name);

// Adds a traceback entry for `function` at `line`, as the compiled modules do.
void add_traceback(const char *function, int line);

// Module-level functions and the fake core (functions.cpp).
extern PyMethodDef module_functions[];
// The service base type, with the embedding methods (service.cpp).
PyObject *make_service_type(PyObject *module);
// A callable type with only a vectorcall slot that returns None (dispatch.cpp).
PyObject *make_bare_callable_type(PyObject *module);

}  // namespace callfloor
