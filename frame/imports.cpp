// Imports and from-imports of module code, absolute, with sys.modules shortcuts.
#include "ops.h"

namespace frame {
namespace {

Ref import_level0(PyObject *name, PyObject *fromlist)
{
    Ref locals = new_dict();
    return take(PyImport_ImportModuleLevelObject(name, module_dict(), locals, fromlist, 0));
}

// The module registered under `name`; a None entry counts as absent.
Ref registered_module(PyObject *name)
{
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module && PyErr_Occurred())
        raise_pending();
    return module == Py_None ? Ref() : module;
}

// The module's `name`, or its submodule registered as "<__name__>.<name>".
Ref name_from_module(PyObject *module, PyObject *name)
{
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value)
        return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
        Ref full_name = module_name ? Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), name)) : Ref();
        Ref submodule = full_name ? Ref::steal(PyImport_GetModule(full_name)) : Ref();
        if (submodule)
            return submodule;
    }
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name %S", name);
}

}  // namespace

int Keywords::make()
{
    if (tuple_)
        return 0;
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names_.size()));
    if (!tuple)
        return -1;
    Py_ssize_t i = 0;
    for (const char *name : names_) {
        PyObject *interned = PyUnicode_InternFromString(name);
        if (!interned) {
            Py_DECREF(tuple);
            return -1;
        }
        PyTuple_SET_ITEM(tuple, i++, interned);
    }
    tuple_ = tuple;
    return 0;
}

Ref import_module(PyObject *name)
{
    if (Ref module = registered_module(name)) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
        if (dot == -1)
            return module;
        if (dot >= 0) {
            Ref top = take(PyUnicode_Substring(name, 0, dot));
            if (Ref package = registered_module(top))
                return package;
        }
    }
    return import_level0(name, nullptr);
}

Ref import_from(PyObject *module_name, PyObject *name)
{
    Ref module = registered_module(module_name);
    if (!module || !PyObject_HasAttr(module, name)) {
        Ref fromlist = take(PyTuple_Pack(1, name));
        module = import_level0(module_name, fromlist);
    }
    return name_from_module(module, name);
}

}  // namespace frame
