// The embedding methods at the floor: a base type whose methods are plain
// method descriptors; a Python subclass gives instances their `_profile_json`.
#include "floor.h"

namespace callfloor {
namespace {

constexpr const char *embed_single_name = "vorpaline.sparse.SparseEmbeddingService.embed_single";
constexpr const char *embed_batch_name = "vorpaline.sparse.SparseEmbeddingService.embed_batch";

// One argument after self, by position or by its keyword; the failure carries
// a traceback entry at the definition's line, as in the compiled module.
PyObject *bind_one(const char *short_name, const char *traceback_name, int line, PyObject *keyword,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && nkw == 0)
        return args[0];
    if (nargs == 0 && nkw == 1 && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0), keyword) == 0)
        return args[0];
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 positional arguments (%zd given)", short_name, nargs + 1);
    add_traceback(traceback_name, line);
    return nullptr;
}

bool exact_type(PyObject *value, PyTypeObject *type, const char *parameter)
{
    if (Py_IS_TYPE(value, type))
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %.200s)", parameter,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

PyObject *call_attribute(PyObject *object, PyObject *name, PyObject *first, PyObject *second = nullptr)
{
    Owned function(PyObject_GetAttr(object, name));
    if (!function)
        return nullptr;
    PyObject *stack[] = {nullptr, first, second};
    return PyObject_Vectorcall(function.get(), stack + 1, (second ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// json.<name>(value), with `json` read from the globals.
PyObject *json_call(PyObject *name, PyObject *value)
{
    Owned json(global(names.json));
    return json ? call_attribute(json.get(), name, value) : nullptr;
}

// vorpaline_core_py.<function>(text, self._profile_json)
PyObject *core_call(PyObject *self, PyObject *function, PyObject *text)
{
    Owned profile(PyObject_GetAttr(self, names.profile_json));
    Owned core(profile ? global(names.core) : nullptr);
    return core ? call_attribute(core.get(), function, text, profile.get()) : nullptr;
}

// reply[key]; a plain dict is read directly.
PyObject *member(PyObject *reply, PyObject *key)
{
    if (!PyDict_CheckExact(reply))
        return PyObject_GetItem(reply, key);
    PyObject *value = PyDict_GetItemWithError(reply, key);
    if (value)
        return Py_NewRef(value);
    if (!PyErr_Occurred())
        PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// reply.get(key)
PyObject *optional_member(PyObject *reply, PyObject *key)
{
    if (!PyDict_CheckExact(reply)) {
        PyObject *stack[] = {reply, key};
        return PyObject_VectorcallMethod(names.get, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    PyObject *value = PyDict_GetItemWithError(reply, key);
    if (value || PyErr_Occurred())
        return Py_XNewRef(value);
    Py_RETURN_NONE;
}

PyObject *make_record(PyObject *record_class, PyObject *reply)
{
    Owned indices(member(reply, names.indices));
    Owned values(indices ? member(reply, names.values) : nullptr);
    Owned truncated(values ? optional_member(reply, names.truncated) : nullptr);
    Owned original(truncated ? optional_member(reply, names.original_chars) : nullptr);
    Owned used(original ? optional_member(reply, names.used_chars) : nullptr);
    if (!used)
        return nullptr;
    if (PyList_CheckExact(indices.get()) && PyList_CheckExact(values.get()) &&
        PyList_GET_SIZE(indices.get()) != PyList_GET_SIZE(values.get()))
        return PyErr_Format(PyExc_ValueError, "reply holds %zd indices but %zd values",
                            PyList_GET_SIZE(indices.get()), PyList_GET_SIZE(values.get()));
    PyObject *stack[] = {nullptr, indices.get(), values.get(), truncated.get(), original.get(), used.get()};
    return PyObject_Vectorcall(record_class, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.record_keywords);
}

PyObject *embed_single(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *text = bind_one("embed_single", embed_single_name, 56, names.text, args, nargs, kwnames);
    if (!text || !exact_type(text, &PyUnicode_Type, "text"))
        return nullptr;
    Owned reply_text(core_call(self, names.sparse_embed_single, text));
    Owned reply(reply_text ? json_call(names.loads, reply_text.get()) : nullptr);
    Owned record_class(reply ? global(names.record_class) : nullptr);
    return record_class ? make_record(record_class.get(), reply.get()) : nullptr;
}

// One record per element of the reply's "embeddings", appended to `records`.
int collect_records(PyObject *embeddings, PyObject *records)
{
    Owned iterator(PyObject_GetIter(embeddings));
    if (!iterator)
        return -1;
    while (Owned element{PyIter_Next(iterator.get())}) {
        Owned record_class(global(names.record_class));
        Owned record(record_class ? make_record(record_class.get(), element.get()) : nullptr);
        if (!record || PyList_Append(records, record.get()) < 0)
            return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject *embed_batch(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *texts = bind_one("embed_batch", embed_batch_name, 68, names.texts, args, nargs, kwnames);
    if (!texts || !exact_type(texts, &PyList_Type, "texts"))
        return nullptr;
    if (PyList_GET_SIZE(texts) == 0)
        return PyList_New(0);
    Owned payload(json_call(names.dumps, texts));
    Owned reply_text(payload ? core_call(self, names.sparse_embed_batch, payload.get()) : nullptr);
    Owned reply(reply_text ? json_call(names.loads, reply_text.get()) : nullptr);
    Owned embeddings(reply ? member(reply.get(), names.embeddings) : nullptr);
    Owned records(embeddings ? PyList_New(0) : nullptr);
    if (!records || collect_records(embeddings.get(), records.get()) < 0)
        return nullptr;
    if (PyList_GET_SIZE(records.get()) != PyList_GET_SIZE(texts))
        return PyErr_Format(PyExc_ValueError, "reply holds %zd embeddings for %zd texts",
                            PyList_GET_SIZE(records.get()), PyList_GET_SIZE(texts));
    return records.release();
}

template <class Function>
PyCFunction as_cfunction(Function function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef service_methods[] = {
    {"embed_single", as_cfunction(embed_single), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"embed_batch", as_cfunction(embed_batch), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot service_slots[] = {
    {Py_tp_methods, service_methods},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec service_spec = {
    "vorpaline_floor.ServiceBase", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, service_slots,
};

}  // namespace

PyObject *make_service_type(PyObject *module) { return PyType_FromModuleAndSpec(module, &service_spec, nullptr); }

}  // namespace callfloor
