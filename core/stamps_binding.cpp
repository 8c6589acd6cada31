#include "stamps_binding.hpp"

#include <string>
#include <string_view>

#include "arguments.hpp"
#include "binding.hpp"
#include "owned_ref.hpp"
#include "scan/stamps.hpp"
#include "scan/walker.hpp"

namespace vorpaline_core {

namespace {

constexpr char kName[] = "listing_unchanged";

// The root as the file system names it: os.fsencode of the str.
bool root_argument(PyObject* argument, OwnedRef* encoded, std::string* root) {
  if (!PyUnicode_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 1 ('root') must be str, not %.200s", kName,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  *encoded->address() = PyUnicode_EncodeFSDefault(argument);
  if (encoded->get() == nullptr) return false;
  root->assign(PyBytes_AS_STRING(encoded->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded->get())));
  if (root->empty() || root->find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s() argument 1 ('root') must be a path without NUL bytes", kName);
    return false;
  }
  return true;
}

// 0 for one thread per core.
bool threads_argument(PyObject* argument, unsigned* threads) {
  if (!PyLong_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 3 ('threads') must be int, not %.200s", kName,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  const long count = PyLong_AsLong(argument);
  if (count == -1 && PyErr_Occurred()) return false;
  if (count < 0) {
    PyErr_Format(PyExc_ValueError, "%s() argument 3 ('threads') must not be negative", kName);
    return false;
  }
  *threads = count == 0 ? scan::default_walk_threads() : count > 64 ? 64u : static_cast<unsigned>(count);
  return true;
}

}  // namespace

PyObject* listing_unchanged(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  OwnedRef root_bytes;
  std::string root;
  std::string_view stamps_json;
  unsigned threads = 1;
  if (!check_arity(kName, nargs, 3) || !root_argument(args[0], &root_bytes, &root) ||
      !utf8_argument(kName, args[1], 2, "stamps_json", &stamps_json) || !threads_argument(args[2], &threads)) {
    return nullptr;
  }
  bool unchanged = false;
  if (const std::exception_ptr failure =
          run_without_gil([&] { unchanged = scan::listing_unchanged(root, stamps_json, threads); })) {
    return raise_failure(failure);
  }
  return PyBool_FromLong(unchanged);
}

}  // namespace vorpaline_core
