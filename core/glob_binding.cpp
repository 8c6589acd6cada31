#include "glob_binding.hpp"

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "binding.hpp"
#include "index_binding.hpp"
#include "owned_ref.hpp"
#include "scan/path_rules.hpp"

namespace vorpaline_core {

namespace {

constexpr char kName[] = "path_filter_compile";

struct PathFilterObject {
  PyObject_HEAD
  scan::PathRules* rules;  // owned; never null once made
};

void path_filter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PathFilterObject*>(self)->rules;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The bytes of a path or glob as the file system has them: UTF-8, a name that
// is not UTF-8 back as the bytes os.fsdecode escaped, and any other lone
// surrogate passed through, so that every str has bytes to be matched as.
bool path_bytes(PyObject* text, std::string* bytes) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    bytes->assign(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  OwnedRef encoded(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
  if (encoded.get() == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    *encoded.address() = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
    if (encoded.get() == nullptr) return false;
  }
  bytes->assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

// A list or tuple of str, as bytes.
bool texts_argument(PyObject* argument, int position, const char* name, std::vector<std::string>* texts) {
  if (!PyList_CheckExact(argument) && !PyTuple_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must be list or tuple, not %.200s", kName, position,
                 name, Py_TYPE(argument)->tp_name);
    return false;
  }
  const OwnedRef items(PySequence_Fast(argument, name));
  if (items.get() == nullptr) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  texts->resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must hold str, not %.200s", kName, position, name,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    if (!path_bytes(item, &(*texts)[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

// The lock is kept: one path takes a microsecond or so, less than handing the
// lock over and taking it back would.
PyObject* path_filter_keeps(PyObject* self, PyObject* path) {
  if (!PyUnicode_Check(path)) {
    PyErr_Format(PyExc_TypeError, "keeps() argument must be str, not %.200s", Py_TYPE(path)->tp_name);
    return nullptr;
  }
  std::string bytes;
  if (!path_bytes(path, &bytes)) return nullptr;
  return PyBool_FromLong(reinterpret_cast<PathFilterObject*>(self)->rules->keeps(bytes));
}

PyMethodDef path_filter_methods[] = {
    {"keeps", as_cfunction(path_filter_keeps), METH_O,
     "keeps($self, path, /)\n--\n\n"
     "Whether ripgrep, given these globs and types, searches the file at path\n"
     "('/'-separated, relative to the root)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot path_filter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(path_filter_dealloc)},
    {Py_tp_methods, path_filter_methods},
    {Py_tp_doc, const_cast<char*>("ripgrep's -g globs and -t/-T types, read once; made by path_filter_compile().")},
    {0, nullptr},
};

PyType_Spec path_filter_spec = {
    "vorpaline_core_py.PathFilter",
    sizeof(PathFilterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    path_filter_slots,
};

}  // namespace

int add_glob_types(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &path_filter_spec, nullptr);
  if (type == nullptr) return -1;
  auto* state = static_cast<CoreState*>(PyModule_GetState(module));
  state->path_filter_type = type;  // the state's reference
  return PyModule_AddObjectRef(module, "PathFilter", type);
}

PyObject* path_filter_compile(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  std::vector<std::string> globs;
  std::vector<std::string> type_globs;
  if (!check_arity(kName, nargs, 2) || !texts_argument(args[0], 1, "globs", &globs) ||
      !texts_argument(args[1], 2, "type_globs", &type_globs)) {
    return nullptr;
  }
  std::unique_ptr<scan::PathRules> rules;
  try {
    rules = std::make_unique<scan::PathRules>(globs, type_globs);
  } catch (...) {
    return raise_failure(std::current_exception());
  }
  auto* type = reinterpret_cast<PyTypeObject*>(static_cast<CoreState*>(PyModule_GetState(module))->path_filter_type);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<PathFilterObject*>(object)->rules = rules.release();
  return object;
}

}  // namespace vorpaline_core
