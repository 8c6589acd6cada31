// Argument binding and argument type checks, shared by every function.
#include <new>

#include "function.h"
#include "traceback.h"

namespace frame {
namespace {

Str subclass_note{"Subclasses of built-in types are not accepted for annotated arguments."};

// What an arity message says before the count given: "f() takes exactly 2
// positional arguments (". It is fixed per function and kind, so it is made
// once; only the count is formatted per error.
struct ArityPrefix {
    const FunctionDef *def;
    size_t required;
    bool too_many;
    PyObject *text;  // lives as long as the process
};

std::vector<ArityPrefix> arity_prefixes;

PyObject *arity_prefix(const FunctionDef &def, bool too_many, size_t required)
{
    for (const ArityPrefix &entry : arity_prefixes)
        if (entry.def == &def && entry.required == required && entry.too_many == too_many)
            return entry.text;
    size_t count = def.param_count();
    const char *how = required == count ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t limit = static_cast<Py_ssize_t>(too_many ? count : required);
    // The text of "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
    // up to the count given: names are far below 200 bytes and the words fit
    // their widths.
    PyObject *text = PyUnicode_FromFormat("%s() takes %s %zd positional argument%s (", def.info().name, how, limit,
                                          limit == 1 ? "" : "s");
    if (text) {
        try {
            arity_prefixes.push_back({&def, required, too_many, text});
        } catch (const std::bad_alloc &) {  // not cached: made again next time
            Py_DECREF(text);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    return text;
}

// "f() takes exactly 2 positional arguments (1 given)" and its variants.
void arity_error(const FunctionDef &def, Py_ssize_t given, bool too_many, size_t required)
{
    if (PyObject *prefix = arity_prefix(def, too_many, required))
        PyErr_Format(PyExc_TypeError, "%U%zd given)", prefix, given);
}

// The parameter a keyword names, searched among those not filled by position;
// by identity first, as call sites pass interned names.
Py_ssize_t keyword_index(const FunctionDef &def, PyObject *key, size_t first)
{
    size_t count = def.param_count();
    for (size_t i = first; i < count; ++i)
        if (def.param_name(i) == key)
            return static_cast<Py_ssize_t>(i);
    for (size_t i = first; i < count; ++i) {
        int equal = PyUnicode_Compare(def.param_name(i), key) == 0;
        if (equal)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

bool names_positional(const FunctionDef &def, PyObject *key, size_t nargs)
{
    for (size_t i = 0; i < nargs; ++i)
        if (def.param_name(i) == key || PyUnicode_Compare(def.param_name(i), key) == 0)
            return true;
    return false;
}

int bind_keywords(const FunctionDef &def, PyObject *const *values, size_t nargs, PyObject *kwnames,
                  PyObject **bound)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.info().name);
            return -1;
        }
        Py_ssize_t index = keyword_index(def, key, nargs);
        if (index >= 0 && !bound[index]) {
            bound[index] = values[k];
            continue;
        }
        if (index >= 0 || names_positional(def, key, nargs))
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.info().name,
                         key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.info().name, key);
        return -1;
    }
    return 0;
}

// Counts, keywords and defaults; a failure is reported at the definition's line.
int bind(const FunctionDef &def, PyObject *defaults, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
         PyObject **bound)
{
    size_t count = def.param_count();
    size_t ndefaults = defaults ? static_cast<size_t>(PyTuple_GET_SIZE(defaults)) : 0;
    size_t required = count - ndefaults;
    bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    size_t given = static_cast<size_t>(nargs);
    if (given > count || (!keywords && given < required)) {
        arity_error(def, nargs, given > count, required);
        return -1;
    }
    for (size_t i = 0; i < count; ++i)
        bound[i] = i < given ? args[i] : nullptr;
    if (keywords && bind_keywords(def, args + nargs, given, kwnames, bound) < 0)
        return -1;
    for (size_t i = given; i < count; ++i) {
        if (bound[i])
            continue;
        if (i >= required) {
            bound[i] = PyTuple_GET_ITEM(defaults, i - required);
            continue;
        }
        arity_error(def, static_cast<Py_ssize_t>(i), false, required);
        return -1;
    }
    return 0;
}

void type_error(const Param &param, const char *expected, PyObject *value, bool with_note)
{
    PyTypeObject *type = Py_TYPE(value);
    if (with_note)
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                     param.name, expected, type->tp_name, ". ", subclass_note.get());
    else
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param.name, expected, type->tp_name);
}

// "int | None": None and ints pass; other numbers go through int().
int convert_int_or_none(const FunctionDef &def, const Param &param, PyObject *&value, Ref &converted)
{
    if (value == Py_None || PyLong_CheckExact(value))
        return 0;
    if (PyNumber_Check(value)) {
        converted = Ref::steal(PyNumber_Long(value));
        if (converted) {
            value = converted.get();
            return 0;
        }
    } else {
        type_error(param, "int", value, false);
    }
    add_traceback(def.traceback_name(), param.line);
    return -1;
}

}  // namespace

int check_exact_types(const FunctionDef &def, PyObject *const *bound)
{
    for (size_t i : def.exact_params_) {
        const Param &param = def.info().params[i];
        PyTypeObject *expected = param.check == ArgCheck::exact_str ? &PyUnicode_Type : &PyList_Type;
        if (Py_IS_TYPE(bound[i], expected))
            continue;
        type_error(param, expected->tp_name, bound[i], PyObject_TypeCheck(bound[i], expected));
        return -1;
    }
    return 0;
}

int bind_arguments(const FunctionDef &def, PyObject *defaults, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, PyObject **bound, Ref *converted)
{
    if (bind(def, defaults, args, nargs, kwnames, bound) < 0) {
        add_traceback(def.traceback_name(), def.info().line);
        return -1;
    }
    const std::vector<Param> &params = def.info().params;
    if (def.converts())
        for (size_t i = 0; i < params.size(); ++i)
            if (params[i].check == ArgCheck::int_or_none &&
                convert_int_or_none(def, params[i], bound[i], converted[i]) < 0)
                return -1;
    return check_exact_types(def, bound);
}

}  // namespace frame
