// Module-level operations at the floor, and a fake core whose replies are fixed.
#include "floor.h"

namespace callfloor {
namespace {

PyObject *fixed_single_reply = nullptr;
PyObject *fixed_batch_reply = nullptr;

bool no_keywords(const char *function, PyObject *kwnames)
{
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments in the floor", function);
    return false;
}

bool arity(const char *function, Py_ssize_t given, Py_ssize_t expected)
{
    if (given == expected)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)", function, expected,
                 expected == 1 ? "" : "s", given);
    return false;
}

bool exact_str(const char *parameter, PyObject *value)
{
    if (PyUnicode_CheckExact(value))
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected str, got %.200s)", parameter,
                 Py_TYPE(value)->tp_name);
    return false;
}

PyObject *get_sparse_service(PyObject *, PyObject *)
{
    Owned service(global(names.sparse_service));
    if (!service || service.get() != Py_None)
        return service.release();
    Owned service_class(global(names.service_class));
    if (!service_class)
        return nullptr;
    Owned made(PyObject_CallNoArgs(service_class.get()));
    if (!made || PyDict_SetItem(globals(), names.sparse_service, made.get()) < 0)
        return nullptr;
    return made.release();
}

// The steady state only: the cache is filled by whoever sets up the globals.
PyObject *load_capabilities(PyObject *, PyObject *)
{
    Owned caps(global(names.cached_capabilities));
    if (!caps)
        return nullptr;
    if (caps.get() == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "the floor does not perform the handshake");
        return nullptr;
    }
    if (!PySet_CheckExact(caps.get()))
        return PyErr_Format(PyExc_TypeError, "Expected set, got %.200s", Py_TYPE(caps.get())->tp_name);
    return caps.release();
}

PyObject *missing_capability(PyObject *name, PyObject *context, PyObject *caps)
{
    Owned available(PySequence_List(caps));
    if (!available || PyList_Sort(available.get()) < 0)
        return nullptr;
    return PyErr_Format(PyExc_RuntimeError,
                        "Rust core capability '%U' required for %U but not found. Available: %S. "
                        "Rebuild the Rust extension: maturin develop --release",
                        name, context, available.get());
}

PyObject *require_capability(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords("require_capability", kwnames) || !arity("require_capability", nargs, 2) ||
        !exact_str("name", args[0]) || !exact_str("context", args[1]))
        return nullptr;
    Owned load(global(names.load_capabilities));
    Owned caps(load ? PyObject_CallNoArgs(load.get()) : nullptr);
    if (!caps)
        return nullptr;
    int present = PySequence_Contains(caps.get(), args[0]);
    if (present < 0)
        return nullptr;
    if (!present)
        return missing_capability(args[0], args[1], caps.get());
    Py_RETURN_NONE;
}

int check_capability()
{
    Owned module(PyImport_Import(names.enginecheck_module));
    Owned check(module ? PyObject_GetAttr(module.get(), names.require_capability) : nullptr);
    PyObject *stack[] = {nullptr, names.capability, names.capability_context};
    Owned result(check ? PyObject_Vectorcall(check.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                       : nullptr);
    return result ? 0 : -1;
}

// Stores `key: value` and releases `value`; -1 when `value` is NULL or the store fails.
int put(PyObject *dict, PyObject *key, PyObject *value)
{
    Owned owned(value);
    return owned ? PyDict_SetItem(dict, key, value) : -1;
}

PyObject *attribute_list(PyObject *object, PyObject *name)
{
    Owned iterable(PyObject_GetAttr(object, name));
    return iterable ? PySequence_List(iterable.get()) : nullptr;
}

PyObject *mode_is_git(PyObject *settings)
{
    Owned mode(PyObject_GetAttr(settings, names.ignore_mode));
    return mode ? PyObject_RichCompare(mode.get(), names.git_mode, Py_EQ) : nullptr;
}

// Each settings attribute is read where the configuration uses it, six reads
// in all, as the module does: a settings object may compute its attributes.
PyObject *build_scan_config(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords("build_scan_config", kwnames) || !arity("build_scan_config", nargs, 1))
        return nullptr;
    Owned settings(global(names.settings));
    Owned replace(settings ? PyObject_GetAttr(settings.get(), names.builtin_ignore_replace) : nullptr);
    int replacing = replace ? PyObject_IsTrue(replace.get()) : -1;
    if (replacing < 0 || (replacing && check_capability() < 0))
        return nullptr;
    PyObject *s = settings.get();
    Owned config(_PyDict_NewPresized(7));
    if (!config || put(config.get(), names.repo_root, PyObject_Str(args[0])) < 0 ||
        put(config.get(), names.builtin_patterns, attribute_list(s, names.builtin_ignore_patterns)) < 0 ||
        put(config.get(), names.extra_patterns, attribute_list(s, names.extra_ignore_patterns)) < 0 ||
        put(config.get(), names.ignore_mode, PyObject_GetAttr(s, names.ignore_mode)) < 0 ||
        put(config.get(), names.use_gitignore, mode_is_git(s)) < 0 ||
        PyDict_SetItem(config.get(), names.use_vorpalineignore, Py_True) < 0 ||
        put(config.get(), names.replace_builtin_patterns, PyObject_GetAttr(s, names.builtin_ignore_replace)) < 0)
        return nullptr;
    return config.release();
}

PyObject *do_nothing(PyObject *, PyObject *) { Py_RETURN_NONE; }

PyObject *use_globals(PyObject *, PyObject *dict) { return set_globals(dict) < 0 ? nullptr : Py_NewRef(Py_None); }

PyObject *set_fake_replies(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!arity("set_fake_replies", nargs, 2) || !exact_str("single", args[0]) || !exact_str("batch", args[1]))
        return nullptr;
    Py_XSETREF(fixed_single_reply, Py_NewRef(args[0]));
    Py_XSETREF(fixed_batch_reply, Py_NewRef(args[1]));
    Py_RETURN_NONE;
}

PyObject *fixed(PyObject *reply)
{
    if (reply)
        return Py_NewRef(reply);
    PyErr_SetString(PyExc_RuntimeError, "set_fake_replies() has not been called");
    return nullptr;
}

PyObject *fake_embed_single(PyObject *, PyObject *const *, Py_ssize_t nargs)
{
    return arity("sparse_embed_single", nargs, 2) ? fixed(fixed_single_reply) : nullptr;
}

PyObject *fake_embed_batch(PyObject *, PyObject *const *, Py_ssize_t nargs)
{
    return arity("sparse_embed_batch", nargs, 2) ? fixed(fixed_batch_reply) : nullptr;
}

template <class Function>
PyCFunction as_cfunction(Function function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef module_functions[] = {
    {"get_sparse_service", get_sparse_service, METH_NOARGS, nullptr},
    {"_load_capabilities", load_capabilities, METH_NOARGS, nullptr},
    {"require_capability", as_cfunction(require_capability), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"build_scan_config", as_cfunction(build_scan_config), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"do_nothing", do_nothing, METH_NOARGS, "do_nothing(): None, as a builtin function."},
    {"use_globals", use_globals, METH_O, "use_globals(dict): the dict the floor's functions read globals from."},
    {"set_fake_replies", as_cfunction(set_fake_replies), METH_FASTCALL,
     "set_fake_replies(single, batch): the texts that the fake core returns."},
    {"fake_embed_single", as_cfunction(fake_embed_single), METH_FASTCALL, nullptr},
    {"fake_embed_batch", as_cfunction(fake_embed_batch), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace callfloor
