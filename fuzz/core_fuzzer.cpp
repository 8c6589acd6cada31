// libFuzzer target for the native core. The core is linked in and driven
// through an embedded interpreter exactly as Python callers drive it; what
// must hold for each input is checked by the `check` function of the checks
// module this target is built for (core_checks.py for embedding,
// scan_checks.py for the repository scan), and any failed check or any
// exception other than the core's ValueError aborts, so that the fuzzer keeps
// the input that did it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" PyObject *PyInit_vorpaline_core_py(void);

namespace {

PyObject *check_function = nullptr;  // the checks module's check(), kept for the process

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "core_fuzzer: %s\n", what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

void check_status(PyStatus status, const char *what)
{
    if (PyStatus_Exception(status))
        fail(what);
}

// Every object through malloc, so that the sanitizers see Python objects too;
// no signal handlers of the interpreter's, so that libFuzzer keeps its own;
// no bytecode files written next to the checks in the source tree.
void start_interpreter()
{
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    check_status(Py_PreInitialize(&preconfig), "cannot pre-initialise the interpreter");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.write_bytecode = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    check_status(status, "cannot start the interpreter");
}

void load_checks()
{
    PyObject *path = PySys_GetObject("path");  // borrowed
    PyObject *checks_dir = PyUnicode_FromString(VORPALINE_FUZZ_DIR);
    if (!path || !checks_dir || PyList_Insert(path, 0, checks_dir) < 0)
        fail("cannot put the checks on sys.path");
    Py_DECREF(checks_dir);
    PyObject *checks = PyImport_ImportModule(VORPALINE_FUZZ_CHECKS);
    if (!checks)
        fail("cannot import " VORPALINE_FUZZ_CHECKS);
    check_function = PyObject_GetAttrString(checks, "check");
    Py_DECREF(checks);
    if (!check_function)
        fail(VORPALINE_FUZZ_CHECKS " has no check()");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (PyImport_AppendInittab("vorpaline_core_py", PyInit_vorpaline_core_py) < 0)
        fail("cannot register the core");
    start_interpreter();
    load_checks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PyObject *input = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(size));
    if (!input)
        fail("cannot make the input bytes");
    PyObject *result = PyObject_CallOneArg(check_function, input);
    Py_DECREF(input);
    if (!result)
        fail("a check failed");
    Py_DECREF(result);
    return 0;
}
