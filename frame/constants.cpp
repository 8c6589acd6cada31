#include "constants.h"

#include "module.h"

namespace frame {

int Constant::make_all()
{
    for (Constant *c = head_; c; c = c->next_)
        if (c->make() < 0)
            return -1;
    return 0;
}

int Str::make()
{
    if (object_)
        return 0;
    object_ = interned_ ? PyUnicode_InternFromString(text_) : PyUnicode_FromString(text_);
    return object_ ? 0 : -1;
}

int Int::make()
{
    if (!object_)
        object_ = PyLong_FromLong(value_);
    return object_ ? 0 : -1;
}

Ref Global::look_up()
{
    PyObject *dict = module_dict();
    uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    PyObject *value = PyDict_GetItemWithError(dict, *this);
    if (value) {
        version_ = version;
        cached_ = value;
        return Ref::borrow(value);
    }
    if (PyErr_Occurred())
        raise_pending();
    // Builtins are not cached: they can change without the module dict changing.
    value = PyDict_GetItemWithError(builtins_dict(), *this);
    if (value)
        return Ref::borrow(value);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", Str::get());
    raise_pending();
}

void Global::set(PyObject *value)
{
    check(PyDict_SetItem(module_dict(), *this, value));
}

Builtin::Builtin(const char *text) : Name(text), next_builtin_(head_) { head_ = this; }

int Builtin::resolve_all(PyObject *builtins_module)
{
    // Every exec attempt resolves them afresh: one that failed may have met a
    // builtin that was broken then and has been put right since.
    for (Builtin *b = head_; b; b = b->next_builtin_) {
        PyObject *found = PyObject_GetAttr(builtins_module, *b);
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", b->Str::get());
            return -1;
        }
        Py_XSETREF(b->object_, found);
    }
    return 0;
}

}  // namespace frame
