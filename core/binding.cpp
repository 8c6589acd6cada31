#include "binding.hpp"

#include <system_error>

#include "index/segment_reader.hpp"

namespace vorpaline_core {

PyObject* raise_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const InputError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const index::DamagedIndex& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::system_error& error) {
    // OSError(errno, text) becomes FileExistsError, PermissionError, ... by its errno.
    PyObject* arguments = Py_BuildValue("(is)", error.code().value(), error.what());
    if (arguments != nullptr) {
      PyErr_SetObject(PyExc_OSError, arguments);
      Py_DECREF(arguments);
    }
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_RuntimeError, "vorpaline_core_py internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "vorpaline_core_py internal error");
  }
  return nullptr;
}

}  // namespace vorpaline_core
