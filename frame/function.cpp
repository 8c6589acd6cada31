// The function object type: attributes, binding to instances, calls.
#include "function.h"

#include <structmember.h>

#include <new>

#include "module.h"
#include "ops.h"
#include "traceback.h"

namespace frame {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;       // __defaults__ as callers see it
    PyObject *kwdefaults;     // __kwdefaults__
    PyObject *annotations;    // __annotations__; NULL reads as a new empty dict
    PyObject *call_defaults;  // the defaults calls use, fixed at creation
    PyObject *dict;
    PyObject *weakrefs;
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

PyObject *const *tuple_items(PyObject *tuple) { return reinterpret_cast<PyTupleObject *>(tuple)->ob_item; }

// A function annotated to return a built-in type returns exactly that type or None.
bool return_allowed(ReturnCheck check, PyObject *value)
{
    if (check == ReturnCheck::any || value == Py_None)
        return true;
    PyTypeObject *type = check == ReturnCheck::str    ? &PyUnicode_Type
                         : check == ReturnCheck::list ? &PyList_Type
                         : check == ReturnCheck::set  ? &PySet_Type
                                                      : &PyDict_Type;
    if (Py_IS_TYPE(value, type))
        return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

PyObject *call_body(const FunctionDef &def, Args args)
{
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = run_body(def, args);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    FunctionObject *self = as_function(callable);
    const FunctionDef &def = *self->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (def.param_count() == 0) {
        if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
            return PyErr_Format(PyExc_TypeError, "%.200s() %s", def.info().name, "takes no keyword arguments");
        if (nargs > 0)
            return PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def.info().name, "takes no arguments",
                                nargs);
        return call_body(def, nullptr);
    }
    // Every parameter passed by position, none converted: the arguments are bound as they come.
    bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (!keywords && static_cast<size_t>(nargs) == def.param_count() && !def.converts())
        return check_exact_types(def, args) < 0 ? nullptr : call_body(def, args);
    PyObject *bound[max_params];
    Ref converted[max_params];
    if (bind_arguments(def, self->call_defaults, args, nargs, kwnames, bound, converted) < 0)
        return nullptr;
    return call_body(def, bound);
}

namespace {

// Calls with an argument tuple and a keyword dict take the vectorcall path.
PyObject *function_call(PyObject *callable, PyObject *args, PyObject *kwargs)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0)
        return function_vectorcall(callable, tuple_items(args), static_cast<size_t>(nargs), nullptr);
    // The tuple holds the arguments alive for the call: the dict may change meanwhile.
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!stack || !kwnames)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(stack.get(), nargs + i, Py_NewRef(value));
        ++i;
    }
    return function_vectorcall(callable, tuple_items(stack), static_cast<size_t>(nargs), kwnames);
}

// Looked up on an instance a function gives a bound method; on the class, itself.
PyObject *function_get(PyObject *self, PyObject *instance, PyObject *)
{
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    FunctionObject *f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->call_defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self)
{
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->call_defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

// Setters of the attributes that accept one type only.
int set_str(PyObject *&field, PyObject *value, const char *message)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

// Calls keep the defaults given at creation, so an accepted assignment warns.
int set_defaults(PyObject *&field, PyObject *value, bool (*accepts)(PyObject *), const char *message,
                 const char *attribute)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "assigning %s of a compiled function does not change the defaults its calls use",
                         attribute) < 0)
        return -1;
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

bool is_tuple(PyObject *value) { return PyTuple_Check(value); }
bool is_dict(PyObject *value) { return PyDict_Check(value); }

PyObject *get_or_none(PyObject *field) { return Py_NewRef(field ? field : Py_None); }

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *)
{
    return set_str(as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *)
{
    return set_str(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject *get_defaults(PyObject *self, void *) { return get_or_none(as_function(self)->defaults); }
int set_defaults_attr(PyObject *self, PyObject *value, void *)
{
    return set_defaults(as_function(self)->defaults, value, is_tuple, "__defaults__ must be set to a tuple object",
                        "__defaults__");
}
PyObject *get_kwdefaults(PyObject *self, void *) { return get_or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject *self, PyObject *value, void *)
{
    return set_defaults(as_function(self)->kwdefaults, value, is_dict, "__kwdefaults__ must be set to a dict object",
                        "__kwdefaults__");
}
PyObject *get_annotations(PyObject *self, void *)
{
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New()))
        return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}
PyObject *get_closure(PyObject *, void *) { Py_RETURN_NONE; }

// Functions pickle by reference, as Python functions do: pickle finds the
// object again under its module and qualified name, and copy returns it as is.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults_attr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject function_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&type), 1);
    type.tp_name = "vorpaline.frame.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

int ready_function_type() { return PyType_Ready(&function_type); }

Ref make_function(const FunctionDef &def, PyObject *defaults)
{
    if (defaults && static_cast<size_t>(PyTuple_GET_SIZE(defaults)) > def.param_count())
        raise_format(PyExc_SystemError, "%U has more defaults than parameters", def.qualname());
    FunctionObject *f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f)
        raise_pending();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = Py_NewRef(def.name());
    f->qualname = Py_NewRef(def.qualname());
    f->doc = Py_NewRef(def.doc());
    f->module = Py_NewRef(module_name());
    f->globals = Py_NewRef(module_dict());
    f->code = Py_NewRef(def.code());
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->call_defaults = Py_XNewRef(defaults);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->annotations = def.new_annotations();
    Ref function = Ref::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(f);
    if (!f->annotations)
        raise_pending();
    return function;
}

PyObject *run_body(const FunctionDef &def, Args args)
{
    int line = def.info().line;
    try {
        Ref result = def.info().body(args, line);
        if (return_allowed(def.info().return_check, result))
            return result.release();
    } catch (const PyErrorSet &) {
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    add_traceback(def.traceback_name(), line);
    return nullptr;
}

}  // namespace frame
