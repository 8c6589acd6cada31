// Two do-nothing callables that differ only in their type: a builtin function,
// which the interpreter's specialised call instructions reach directly, and an
// object of a type of its own with the vectorcall slot, as the frame's
// functions are. Their difference is what any custom function type pays.
#include "floor.h"

#include <cstddef>

namespace callfloor {
namespace {

struct BareCallable {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

PyObject *return_none(PyObject *, PyObject *const *, size_t, PyObject *) { Py_RETURN_NONE; }

PyObject *make_bare(PyTypeObject *type, PyObject *, PyObject *)
{
    BareCallable *self = PyObject_New(BareCallable, type);
    if (self)
        self->vectorcall = return_none;
    return reinterpret_cast<PyObject *>(self);
}

PyType_Slot bare_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make_bare)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {0, nullptr},
};

PyMemberDef bare_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(BareCallable, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyObject *make_bare_callable_type(PyObject *module)
{
    PyType_Slot slots[] = {bare_slots[0], bare_slots[1], {Py_tp_members, bare_members}, {0, nullptr}};
    PyType_Spec spec = {"vorpaline_floor.BareCallable", sizeof(BareCallable), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace callfloor
