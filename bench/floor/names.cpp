// Interned names, the globals dict and traceback entries of the floor.
#include "floor.h"

#include <frameobject.h>

namespace callfloor {

Names names;

namespace {

PyObject *globals_dict = nullptr;

struct NameText {
    PyObject **slot;
    const char *text;
};

const NameText name_texts[] = {
    {&names.sparse_service, "_sparse_service"},
    {&names.service_class, "SparseEmbeddingService"},
    {&names.cached_capabilities, "_cached_capabilities"},
    {&names.load_capabilities, "_load_capabilities"},
    {&names.settings, "settings"},
    {&names.core, "vorpaline_core_py"},
    {&names.json, "json"},
    {&names.record_class, "SparseResult"},
    {&names.sparse_embed_single, "sparse_embed_single"},
    {&names.sparse_embed_batch, "sparse_embed_batch"},
    {&names.loads, "loads"},
    {&names.dumps, "dumps"},
    {&names.profile_json, "_profile_json"},
    {&names.indices, "indices"},
    {&names.values, "values"},
    {&names.truncated, "truncated"},
    {&names.original_chars, "original_chars"},
    {&names.used_chars, "used_chars"},
    {&names.embeddings, "embeddings"},
    {&names.get, "get"},
    {&names.builtin_ignore_replace, "builtin_ignore_replace"},
    {&names.builtin_ignore_patterns, "builtin_ignore_patterns"},
    {&names.extra_ignore_patterns, "extra_ignore_patterns"},
    {&names.ignore_mode, "ignore_mode"},
    {&names.repo_root, "repo_root"},
    {&names.builtin_patterns, "builtin_patterns"},
    {&names.extra_patterns, "extra_patterns"},
    {&names.use_gitignore, "use_gitignore"},
    {&names.use_vorpalineignore, "use_vorpalineignore"},
    {&names.replace_builtin_patterns, "replace_builtin_patterns"},
    {&names.git_mode, "git+vorpaline"},
    {&names.enginecheck_module, "vorpaline.enginecheck"},
    {&names.require_capability, "require_capability"},
    {&names.capability, "ignore_builtin_replace"},
    {&names.capability_context, "builtin_ignore_replace=True"},
    {&names.text, "text"},
    {&names.texts, "texts"},
};

struct CachedCode {
    const char *function;
    int line;
    PyCodeObject *code;
};

// Code objects of traceback entries, one per (function, line), kept for the process.
CachedCode code_cache[8];

PyCodeObject *code_for(const char *function, int line)
{
    for (CachedCode &entry : code_cache) {
        if (entry.function == function && entry.line == line)
            return entry.code;
        if (!entry.function) {
            entry.code = PyCode_NewEmpty("src/vorpaline/sparse", function, line);
            if (entry.code)
                entry.function = function, entry.line = line;
            return entry.code;
        }
    }
    return nullptr;  // more call sites than the cache holds: the entry is left out
}

}  // namespace

int make_names()
{
    for (const NameText &name : name_texts)
        if (!*name.slot && !(*name.slot = PyUnicode_InternFromString(name.text)))
            return -1;
    if (!names.record_keywords)
        names.record_keywords = PyTuple_Pack(5, names.indices, names.values, names.truncated, names.original_chars,
                                             names.used_chars);
    return names.record_keywords ? 0 : -1;
}

PyObject *globals() noexcept { return globals_dict; }

int set_globals(PyObject *dict)
{
    if (!PyDict_CheckExact(dict)) {
        PyErr_SetString(PyExc_TypeError, "use_globals() takes a dict");
        return -1;
    }
    Py_XSETREF(globals_dict, Py_NewRef(dict));
    return 0;
}

PyObject *global(PyObject *name)
{
    if (!globals_dict) {
        PyErr_SetString(PyExc_RuntimeError, "use_globals() has not been called");
        return nullptr;
    }
    PyObject *value = PyDict_GetItemWithError(globals_dict, name);
    if (value)
        return Py_NewRef(value);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

void add_traceback(const char *function, int line)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = code_for(function, line);
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_Get(), code, globals_dict, nullptr) : nullptr;
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace callfloor
