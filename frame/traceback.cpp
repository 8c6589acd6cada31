#include "traceback.h"

#include <frameobject.h>

#include <new>
#include <vector>

#include "constants.h"
#include "module.h"

namespace frame {
namespace {

struct CodeForLine {
    const char *function;
    int line;
    PyCodeObject *code;  // owned for the life of the process
};

std::vector<CodeForLine> code_cache;

PyCodeObject *code_for(const char *function, int line)
{
    for (const CodeForLine &entry : code_cache)
        if (entry.function == function && entry.line == line)
            return entry.code;
    code_cache.reserve(code_cache.size() + 1);
    PyCodeObject *code = PyCode_NewEmpty(this_module.source_path, function, line);
    if (code)
        code_cache.push_back({function, line, code});
    return code;
}

}  // namespace

void add_traceback(const char *function, int line)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyFrameObject *py_frame = nullptr;
    try {
        if (PyCodeObject *code = code_for(function, line))
            py_frame = PyFrame_New(PyThreadState_Get(), code, module_dict(), nullptr);
    } catch (const std::bad_alloc &) {  // out of memory for the cache: the entry is left out
    }
    // A failure to build the entry must not replace the exception being reported.
    PyErr_Clear();
    if (!py_frame) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    // The entry's line is its code object's first line.
    if (PyTraceBack_Here(py_frame) < 0) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    Py_DECREF(py_frame);
}

}  // namespace frame
