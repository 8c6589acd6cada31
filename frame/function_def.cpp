// Function definitions: the constants made once per function.
#include "function.h"
#include "module.h"

namespace frame {
namespace {

PyObject *new_str(const char *text, bool interned)
{
    return interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
}

// A code object that carries what introspection needs and nothing that runs.
PyObject *make_code(const FunctionDef::Info &info, PyObject *varnames)
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(this_module.source_path, info.name, info.line)));
    if (!empty)
        return nullptr;
    Ref replace = Ref::steal(PyObject_GetAttrString(empty, "replace"));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref argcount = Ref::steal(PyLong_FromSize_t(info.params.size()));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !kwargs || !argcount || !nlocals || !flags)
        return nullptr;
    if (PyDict_SetItemString(kwargs, "co_argcount", argcount) < 0 ||
        PyDict_SetItemString(kwargs, "co_nlocals", nlocals) < 0 ||
        PyDict_SetItemString(kwargs, "co_varnames", varnames) < 0 ||
        PyDict_SetItemString(kwargs, "co_flags", flags) < 0)
        return nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(replace, no_args, kwargs);
}

}  // namespace

FunctionDef::FunctionDef(Info info) : info_(std::move(info))
{
    for (size_t i = 0; i < info_.params.size(); ++i) {
        ArgCheck check = info_.params[i].check;
        converts_ |= check == ArgCheck::int_or_none;
        if (check == ArgCheck::exact_str || check == ArgCheck::exact_list)
            exact_params_.push_back(i);
    }
}

int FunctionDef::make()
{
    if (code_)
        return 0;
    if (info_.params.size() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s has more than %zu parameters", info_.qualname, max_params);
        return -1;
    }
    const Info &info = info_;
    param_names_.clear();  // a make that failed part-way is made again
    annotations_.clear();
    traceback_name_ = std::string(this_module.qualified_name) + "." + info.qualname;
    if (!(name_ = new_str(info.name, true)) || !(qualname_ = new_str(info.qualname, true)))
        return -1;
    if (info.doc && !(doc_ = new_str(info.doc, false)))
        return -1;
    if (info.returns && !(returns_ = new_str(info.returns, false)))
        return -1;
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(info.params.size() + info.locals.size())));
    if (!varnames)
        return -1;
    Py_ssize_t slot = 0;
    for (const Param &param : info.params) {
        PyObject *name = new_str(param.name, true);
        PyObject *annotation = param.annotation ? new_str(param.annotation, false) : nullptr;
        if (!name || (param.annotation && !annotation))
            return -1;
        param_names_.push_back(name);
        annotations_.push_back(annotation);
        PyTuple_SET_ITEM(varnames.get(), slot++, Py_NewRef(name));
    }
    for (const char *local : info.locals) {
        PyObject *name = new_str(local, true);
        if (!name)
            return -1;
        PyTuple_SET_ITEM(varnames.get(), slot++, name);
    }
    code_ = make_code(info, varnames);
    return code_ ? 0 : -1;
}

PyObject *FunctionDef::new_annotations() const
{
    PyObject *dict = PyDict_New();
    if (!dict)
        return nullptr;
    for (size_t i = 0; i < param_names_.size(); ++i)
        if (annotations_[i] && PyDict_SetItem(dict, param_names_[i], annotations_[i]) < 0)
            goto fail;
    if (returns_ && PyDict_SetItemString(dict, "return", returns_) < 0)
        goto fail;
    return dict;
fail:
    Py_DECREF(dict);
    return nullptr;
}

}  // namespace frame
