// Operations that module code is written in. Each returns an owned reference
// or throws PyErrorSet with the exception set, so that a body reads as a list
// of statements.
#pragma once

#include <initializer_list>
#include <vector>

#include "constants.h"
#include "function.h"

namespace frame {

// A tuple of interned keyword names, for calls that pass arguments by keyword.
class Keywords : public Constant {
public:
    explicit Keywords(std::initializer_list<const char *> names) : names_(names) {}
    operator PyObject *() const noexcept { return tuple_; }

protected:
    int make() override;

private:
    std::vector<const char *> names_;  // string literals
    PyObject *tuple_ = nullptr;
};

template <class... Args>
Ref call(PyObject *callable, const Args &...args)
{
    PyObject *stack[] = {nullptr, static_cast<PyObject *>(args)...};
    size_t nargsf = sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    // A call of one of the module's own functions skips the generic dispatch.
    if (Py_IS_TYPE(callable, &function_type))
        return take(function_vectorcall(callable, stack + 1, nargsf, nullptr));
    return take(PyObject_Vectorcall(callable, stack + 1, nargsf, nullptr));
}

// Calls with every argument passed by keyword, in the order of `keywords`.
template <class... Args>
Ref call_by_keyword(PyObject *callable, const Keywords &keywords, const Args &...args)
{
    PyObject *stack[] = {nullptr, static_cast<PyObject *>(args)...};
    return take(PyObject_Vectorcall(callable, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

template <class... Args>
Ref call_method(PyObject *object, PyObject *name, const Args &...args)
{
    PyObject *stack[] = {object, static_cast<PyObject *>(args)...};
    return take(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref attr(PyObject *object, PyObject *name) { return take(PyObject_GetAttr(object, name)); }
inline void set_attr(PyObject *object, PyObject *name, PyObject *value) { check(PyObject_SetAttr(object, name, value)); }
inline Ref item(PyObject *object, PyObject *key) { return take(PyObject_GetItem(object, key)); }
// A new dict's entries: PyDict_SetItem, without the mapping protocol's dispatch.
inline void dict_set(PyObject *dict, PyObject *key, PyObject *value) { check(PyDict_SetItem(dict, key, value)); }
inline bool truth(PyObject *object) { return check(PyObject_IsTrue(object)) != 0; }
inline bool contains(PyObject *container, PyObject *value) { return check(PySequence_Contains(container, value)) != 0; }
inline Ref new_dict() { return take(PyDict_New()); }
// A dict with room for `size` entries, as a dict display makes it.
inline Ref new_dict(Py_ssize_t size) { return take(_PyDict_NewPresized(size)); }
inline Ref new_list() { return take(PyList_New(0)); }
inline Ref empty_tuple() { return take(PyTuple_New(0)); }
// list(iterable). A list or a tuple is copied directly: the interpreter's
// list() keeps a reference to a list or tuple it copies when memory runs out
// part-way.
inline Ref list_of(PyObject *iterable)
{
    if (PyList_CheckExact(iterable))
        return take(PyList_GetSlice(iterable, 0, PY_SSIZE_T_MAX));
    if (PyTuple_CheckExact(iterable)) {
        Py_ssize_t size = PyTuple_GET_SIZE(iterable);
        Ref list = take(PyList_New(size));
        for (Py_ssize_t i = 0; i < size; ++i)
            PyList_SET_ITEM(list.get(), i, Py_NewRef(PyTuple_GET_ITEM(iterable, i)));
        return list;
    }
    return take(PySequence_List(iterable));
}
inline Ref to_str(PyObject *object) { return take(PyObject_Str(object)); }
// len(object) for an object that has a length; -1 for one that has none.
inline Py_ssize_t length_if_any(PyObject *object)
{
    if (PyList_CheckExact(object))
        return PyList_GET_SIZE(object);
    PyTypeObject *type = Py_TYPE(object);
    if (!(type->tp_as_sequence && type->tp_as_sequence->sq_length) &&
        !(type->tp_as_mapping && type->tp_as_mapping->mp_length))
        return -1;
    Py_ssize_t length = PyObject_Size(object);
    if (length < 0)
        raise_pending();
    return length;
}

// Raises `type` with a single argument; never returns.
[[noreturn]] inline void raise(PyObject *type, PyObject *argument)
{
    PyErr_SetObject(type, argument);
    raise_pending();
}

template <class... Args>
[[noreturn]] void raise_format(PyObject *type, const char *format, const Args &...args)
{
    PyErr_Format(type, format, args...);
    raise_pending();
}

// `import name`: binds the top-level package of a dotted name.
Ref import_module(PyObject *name);
// `from module import name`: the module, taken from sys.modules when it is
// there with the name, imported otherwise; then the name out of it.
Ref import_from(PyObject *module_name, PyObject *name);

}  // namespace frame
