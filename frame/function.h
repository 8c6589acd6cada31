// Function objects of module code: definitions, creation and calls.
#pragma once

#include <string>
#include <vector>

#include "constants.h"

namespace frame {

// What a parameter accepts, checked after binding and before the body.
enum class ArgCheck : unsigned char {
    any,
    exact_str,    // annotated `str`: exactly a str
    exact_list,   // annotated `list[...]`: exactly a list
    int_or_none,  // annotated "int | None": None, an int, or a number converted by int()
};

// What a function may return: exactly the annotated built-in type, or None.
enum class ReturnCheck : unsigned char { any, str, list, set, dict };

struct Param {
    const char *name;
    const char *annotation = nullptr;  // the annotation's source text, if annotated
    ArgCheck check = ArgCheck::any;
    int line = 0;  // the declaration's line, where a failed int conversion is reported
};

using Args = PyObject *const *;
// A function body. It receives the bound, checked arguments in parameter order
// and keeps `line` at the statement it runs; it returns the result or throws
// PyErrorSet with an exception set. A body that returns sets `line` to the
// return statement, where a failed return check is reported.
using Body = Ref (*)(Args args, int &line);

inline constexpr size_t max_params = 8;

class FunctionDef : public Constant {
public:
    struct Info {
        const char *name;
        const char *qualname;
        const char *doc;
        int line;  // the definition's line
        std::vector<Param> params;
        const char *returns;  // the return annotation's source text, if any
        ReturnCheck return_check;
        std::vector<const char *> locals;  // local names after the parameters, for __code__
        Body body;
    };
    explicit FunctionDef(Info info);

    const Info &info() const noexcept { return info_; }
    // Whether a parameter is converted ("int | None") before the body sees it.
    bool converts() const noexcept { return converts_; }
    size_t param_count() const noexcept { return info_.params.size(); }
    PyObject *param_name(size_t i) const noexcept { return param_names_[i]; }
    PyObject *code() const noexcept { return code_; }
    PyObject *name() const noexcept { return name_; }
    PyObject *qualname() const noexcept { return qualname_; }
    PyObject *doc() const noexcept { return doc_ ? doc_ : Py_None; }
    // A new dict of the annotations: annotated parameters in order, then "return".
    PyObject *new_annotations() const;
    // The function's name in traceback entries: module, a dot, qualified name.
    const char *traceback_name() const noexcept { return traceback_name_.c_str(); }

protected:
    int make() override;

private:
    Info info_;
    PyObject *name_ = nullptr;
    PyObject *qualname_ = nullptr;
    PyObject *doc_ = nullptr;
    std::vector<PyObject *> param_names_;  // interned
    std::vector<PyObject *> annotations_;  // parallel to the parameters, NULL when not annotated
    PyObject *returns_ = nullptr;
    PyObject *code_ = nullptr;
    std::string traceback_name_;
    bool converts_ = false;
    std::vector<size_t> exact_params_;  // the parameters checked for an exact type, in order

    friend int check_exact_types(const FunctionDef &def, PyObject *const *bound);
};

// Creates a function object; `defaults` (a tuple or NULL) fills the trailing
// parameters and is fixed for the object's life.
Ref make_function(const FunctionDef &def, PyObject *defaults = nullptr);

// Runs a body with the frame's reporting: the return check, and a traceback
// entry for any exception that leaves it. Returns NULL with the exception set.
PyObject *run_body(const FunctionDef &def, Args args);

// Checks the parameters annotated with a built-in type: exactly that type.
// -1 with the exception set.
int check_exact_types(const FunctionDef &def, PyObject *const *bound);

// Binds vectorcall arguments to the parameters and checks their types; fills
// `bound` (borrowed, or owned by `converted`). -1 with the exception set.
int bind_arguments(const FunctionDef &def, PyObject *defaults, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **bound, Ref *converted);

int ready_function_type();

// The type of the frame's function objects and its vectorcall, which module
// code calls directly when it calls one of its own functions.
extern PyTypeObject function_type;
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames);

}  // namespace frame
