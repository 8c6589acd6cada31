#include "file_binding.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "binding.hpp"
#include "owned_ref.hpp"
#include "scan/file_reading.hpp"
#include "scan/guarded_open.hpp"

namespace vorpaline_core {

namespace {

constexpr char kName[] = "read_repository_file";

// The bytes a str names on the file system: a name that is not UTF-8 comes
// as os.fsdecode gives it, with surrogate escapes, and goes back as it was.
bool file_system_argument(PyObject* argument, int position, const char* name, OwnedRef* encoded,
                          std::string_view* bytes) {
  if (!PyUnicode_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must be str, not %.200s", kName, position, name,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  *encoded->address() = PyUnicode_EncodeFSDefault(argument);
  PyObject* result = encoded->get();
  if (result == nullptr) return false;  // UnicodeEncodeError, a ValueError
  *bytes = std::string_view(PyBytes_AS_STRING(result), static_cast<std::size_t>(PyBytes_GET_SIZE(result)));
  return true;
}

// A byte offset: an int at least 0; one past what 64 bits hold is as good as the end.
bool offset_argument(PyObject* argument, int position, const char* name, std::uint64_t* offset) {
  const OwnedRef number(PyNumber_Index(argument));
  if (number.get() == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "%s() argument %d ('%s') must not be negative", kName, position, name);
    return false;
  }
  *offset = overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(value);
  return true;
}

// OSError(errno, reason, path): the errno picks the subclass (FileNotFoundError, ...).
PyObject* raise_refusal(int error, const std::string& reason, PyObject* path) {
  const OwnedRef exception(PyObject_CallFunction(PyExc_OSError, "isO", error, reason.c_str(), path));
  if (exception.get() != nullptr) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

// Reads up to `length` bytes from `offset` on; returns 0 or the errno of the
// failure, with `*got` what was read (short when the file shrank meanwhile).
int read_range(int fd, std::uint64_t offset, char* out, std::size_t length, std::size_t* got) {
  *got = 0;
  while (*got < length) {
    const ssize_t count = ::pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) break;
    *got += static_cast<std::size_t>(count);
  }
  return 0;
}

PyObject* reply_tuple(OwnedRef& data, std::uint64_t size, std::int64_t mtime_ns) {
  OwnedRef size_object(PyLong_FromUnsignedLongLong(size));
  OwnedRef mtime_object(PyLong_FromLongLong(mtime_ns));
  OwnedRef tuple(PyTuple_New(3));
  if (size_object.get() == nullptr || mtime_object.get() == nullptr || tuple.get() == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple.get(), 0, data.release());
  PyTuple_SET_ITEM(tuple.get(), 1, size_object.release());
  PyTuple_SET_ITEM(tuple.get(), 2, mtime_object.release());
  return tuple.release();
}

}  // namespace

PyObject* read_repository_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  OwnedRef root_bytes, path_bytes;
  std::string_view root, path;
  std::uint64_t begin = 0, end = 0;
  if (!check_arity(kName, nargs, 4) || !file_system_argument(args[0], 1, "root", &root_bytes, &root) ||
      !file_system_argument(args[1], 2, "path", &path_bytes, &path) ||
      !offset_argument(args[2], 3, "begin", &begin) || !offset_argument(args[3], 4, "end", &end)) {
    return nullptr;
  }
  if (end < begin) {
    PyErr_Format(PyExc_ValueError, "%s() argument 4 ('end') must not be less than 'begin'", kName);
    return nullptr;
  }
  if (root.find('\0') != std::string_view::npos) {
    PyErr_Format(PyExc_ValueError, "%s() argument 1 ('root') has a NUL byte", kName);
    return nullptr;
  }
  if (const char* problem = scan::malformed_path_reason(path)) {
    PyErr_Format(PyExc_ValueError, "%s() argument 2 ('path') is no path below the root (%s): %R", kName,
                 problem, args[1]);
    return nullptr;
  }

  scan::GuardedOpen opened;
  if (const std::exception_ptr failure = run_without_gil([&] { opened = scan::RepositoryRoot(root).open(path); })) {
    return raise_failure(failure);
  }
  if (!opened.opened()) return raise_refusal(opened.error, opened.reason, args[1]);

  const std::uint64_t stop = std::min(end, opened.file.size);
  const std::size_t length = begin < stop ? static_cast<std::size_t>(stop - begin) : 0;
  OwnedRef data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (data.get() == nullptr) return nullptr;
  std::size_t got = 0;
  int error = 0;
  if (length > 0) {
    char* out = PyBytes_AS_STRING(data.get());
    Py_BEGIN_ALLOW_THREADS
    error = read_range(opened.file.fd.get(), begin, out, length, &got);
    Py_END_ALLOW_THREADS
  }
  if (error != 0) return raise_refusal(error, scan::reason_for(error), args[1]);
  if (got < length && _PyBytes_Resize(data.address(), static_cast<Py_ssize_t>(got)) < 0) {
    // the bytes object is gone then
    static_cast<void>(data.release());
    return nullptr;
  }
  return reply_tuple(data, opened.file.size, opened.file.mtime_ns);
}

}  // namespace vorpaline_core
