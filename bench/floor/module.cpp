// The module object of vorpaline_floor.
#include "floor.h"

namespace callfloor {
namespace {

int exec_module(PyObject *module)
{
    if (make_names() < 0)
        return -1;
    Owned service_type(make_service_type(module));
    Owned bare_type(service_type ? make_bare_callable_type(module) : nullptr);
    if (!bare_type || PyModule_AddObjectRef(module, "ServiceBase", service_type.get()) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "BareCallable", bare_type.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vorpaline_floor",
    "The package's operations with only the C-API calls they cannot avoid; for benchmarks only.",
    0,
    module_functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace callfloor

PyMODINIT_FUNC PyInit_vorpaline_floor() { return PyModuleDef_Init(&callfloor::definition); }
