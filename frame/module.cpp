// Module creation and execution: multi-phase initialisation, at most once per process.
#include "module.h"

#include <new>

#include "constants.h"
#include "exit.h"
#include "function.h"
#include "traceback.h"

namespace frame {
namespace {

// The interpreter that first created the module; the module is bound to it for
// the life of the process.
int64_t interpreter_record = -1;
// The module whose exec step has started and not failed (strong).
PyObject *module_record = nullptr;
PyObject *builtins_module = nullptr;
PyObject *qualified_name = nullptr;

Global test_dict{"__test__"};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

int copy_spec_attribute(PyObject *module_spec, PyObject *module, const char *from, const char *to, bool skip_none)
{
    PyObject *value = PyObject_GetAttrString(module_spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int status = skip_none && value == Py_None ? 0 : PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return status;
}

PyObject *create(PyObject *module_spec, PyModuleDef *)
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0)
        return nullptr;
    if (interpreter_record < 0) {
        if (watch_interpreter_exit() < 0)
            return nullptr;
        interpreter_record = id;
    } else if (interpreter_record != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    // The module, its constants and its function type belong to the interpreter
    // it was loaded into. One initialised after that one finalised has the same
    // ID, but would get a module whose every global is gone.
    if (interpreter_exit_begun()) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' cannot be loaded again after the interpreter it was loaded into was finalised.",
                     this_module.definition_name);
        return nullptr;
    }
    if (module_record)
        return Py_NewRef(module_record);
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name));
    if (!module || copy_spec_attribute(module_spec, module, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(module_spec, module, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(module_spec, module, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(module_spec, module, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int warn_on_version_mismatch()
{
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 11)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 11, this_module.qualified_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int make_constants()
{
    if (!qualified_name && !(qualified_name = PyUnicode_InternFromString(this_module.qualified_name)))
        return -1;
    if (ready_function_type() < 0)
        return -1;
    try {
        return Constant::make_all();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

// An existing entry is not replaced.
void register_in_sys_modules(PyObject *module)
{
    PyObject *modules = PyImport_GetModuleDict();
    Ref existing = Ref::steal(PyImport_GetModule(qualified_name));
    if (!existing) {
        if (PyErr_Occurred())
            raise_pending();
        check(PyObject_SetItem(modules, qualified_name, module));
    }
}

// Steps that may fail after the module is recorded; `line` is where a failure is reported.
void run_module(PyObject *module, int &line)
{
    line = 1;
    register_in_sys_modules(module);
    check(Builtin::resolve_all(builtins_module));
    this_module.body(line);
    line = 1;
    test_dict.set(take(PyDict_New()));
}

int exec(PyObject *module)
{
    if (module_record) {
        if (module_record == module)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     this_module.definition_name);
        return -1;
    }
    module_record = Py_NewRef(module);
    // Module code reads and writes the globals of the module last executed. The
    // reference is strong: functions made by a failed exec may still run.
    Py_XSETREF(detail::module_dict, Py_NewRef(PyModule_GetDict(module)));
    int line = 0;
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins)
        Py_XSETREF(builtins_module, Py_NewRef(builtins));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins_module) < 0 ||
        warn_on_version_mismatch() < 0 || make_constants() < 0)
        goto fail;
    try {
        run_module(module, line);
        return 0;
    } catch (const PyErrorSet &) {
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    add_traceback(this_module.init_name, line);
fail:
    Py_CLEAR(module_record);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyObject *builtins_dict() noexcept { return PyModule_GetDict(builtins_module); }
PyObject *module_name() noexcept { return qualified_name; }

PyObject *module_init()
{
    definition.m_name = this_module.definition_name;
    definition.m_doc = this_module.doc;
    return PyModuleDef_Init(&definition);
}

}  // namespace frame
