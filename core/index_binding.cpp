#include "index_binding.hpp"

#include <charconv>
#include <memory>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "binding.hpp"
#include "embed/profile.hpp"
#include "index/searcher.hpp"
#include "scan/json_text.hpp"

namespace vorpaline_core {

namespace {

struct SearcherObject {
  PyObject_HEAD
  index::Searcher* searcher;  // owned; never null once made
};

void searcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SearcherObject*>(self)->searcher;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// A positive int argument that fits a size_t.
bool count_argument(const char* function, PyObject* argument, int position, const char* name,
                    std::size_t* count) {
  if (!PyLong_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must be int, not %.200s", function, position, name,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  const Py_ssize_t value = PyLong_AsSsize_t(argument);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 1) {
    PyErr_Format(PyExc_ValueError, "%s() argument %d ('%s') must be at least 1", function, position, name);
    return false;
  }
  *count = static_cast<std::size_t>(value);
  return true;
}

bool float_argument(const char* function, PyObject* argument, int position, const char* name, double* value) {
  if (!PyFloat_CheckExact(argument) && !PyLong_CheckExact(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument %d ('%s') must be float, not %.200s", function, position, name,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  *value = PyFloat_AsDouble(argument);
  if (*value == -1.0 && PyErr_Occurred()) return false;
  if (!(*value >= 0.0)) {
    PyErr_Format(PyExc_ValueError, "%s() argument %d ('%s') must be a number at least 0", function, position, name);
    return false;
  }
  return true;
}

void put_double(scan::StringSink& sink, double value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  sink.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// search(query, profile_json, k, k1, b, /) -> str
PyObject* searcher_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "search";
  std::string_view query;
  std::string_view profile_json;
  std::size_t k = 0;
  index::Bm25Parameters parameters;
  if (!check_arity(kName, nargs, 5) || !utf8_argument(kName, args[0], 1, "query", &query) ||
      !utf8_argument(kName, args[1], 2, "profile_json", &profile_json) ||
      !count_argument(kName, args[2], 3, "k", &k) || !float_argument(kName, args[3], 4, "k1", &parameters.k1) ||
      !float_argument(kName, args[4], 5, "b", &parameters.b)) {
    return nullptr;
  }
  if (parameters.b > 1.0) {
    PyErr_SetString(PyExc_ValueError, "search() argument 5 ('b') must be at most 1");
    return nullptr;
  }
  const index::Searcher& searcher = *reinterpret_cast<SearcherObject*>(self)->searcher;
  std::string reply;
  if (const std::exception_ptr failure = run_without_gil([&] {
        const std::vector<index::Hit> hits = searcher.search(query, cached_profile(profile_json), k, parameters);
        scan::StringSink sink;
        sink.put("{\"hits\":[");
        for (std::size_t i = 0; i < hits.size(); ++i) {
          sink.put(i == 0 ? "{\"segment\":" : ",{\"segment\":");
          scan::put_number(sink, hits[i].segment);
          sink.put(",\"doc\":");
          scan::put_number(sink, hits[i].doc);
          sink.put(",\"score\":");
          put_double(sink, hits[i].score);
          sink.put(",\"metadata\":");
          scan::put_string(sink, hits[i].metadata);
          sink.put('}');
        }
        sink.put("]}");
        reply = std::move(sink.text);
      })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

PyObject* searcher_documents(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<SearcherObject*>(self)->searcher->documents());
}

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

PyMethodDef searcher_methods[] = {
    {"search", as_cfunction(searcher_search), METH_FASTCALL,
     "search($self, query, profile_json, k, k1, b, /)\n--\n\n"
     "The k best documents for the query under BM25, best first, as the JSON text\n"
     "{\"hits\": [{\"segment\", \"doc\", \"score\", \"metadata\"}]}."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef searcher_getset[] = {
    {"documents", searcher_documents, nullptr, "The documents searched: those not deleted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot searcher_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(searcher_dealloc)},
    {Py_tp_methods, searcher_methods},
    {Py_tp_getset, searcher_getset},
    {Py_tp_doc, const_cast<char*>("Open index segments, searched with BM25; made by index_open().")},
    {0, nullptr},
};

PyType_Spec searcher_spec = {
    "vorpaline_core_py.Searcher",
    sizeof(SearcherObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    searcher_slots,
};

}  // namespace

int add_index_types(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &searcher_spec, nullptr);
  if (type == nullptr) return -1;
  auto* state = static_cast<CoreState*>(PyModule_GetState(module));
  state->searcher_type = type;  // the state's reference
  return PyModule_AddObjectRef(module, "Searcher", type);
}

PyObject* index_build_segment(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_build_segment";
  std::string_view path;
  std::string_view profile_json;
  std::string_view texts_json;
  std::string_view metadata_json;
  if (!check_arity(kName, nargs, 4) || !utf8_argument(kName, args[0], 1, "path", &path) ||
      !utf8_argument(kName, args[1], 2, "profile_json", &profile_json) ||
      !utf8_argument(kName, args[2], 3, "texts_json", &texts_json) ||
      !utf8_argument(kName, args[3], 4, "metadata_json", &metadata_json)) {
    return nullptr;
  }
  index::SegmentStats stats{};
  if (const std::exception_ptr failure = run_without_gil([&] {
        stats = index::build_segment(std::string(path), cached_profile(profile_json), texts_json, metadata_json);
      })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromFormat("{\"documents\": %u, \"postings\": %u}", stats.documents, stats.terms);
}

PyObject* index_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view segments_json;
  if (!check_arity("index_open", nargs, 1) || !utf8_argument("index_open", args[0], 1, "segments_json", &segments_json)) {
    return nullptr;
  }
  std::unique_ptr<index::Searcher> searcher;
  if (const std::exception_ptr failure =
          run_without_gil([&] { searcher = std::make_unique<index::Searcher>(segments_json); })) {
    return raise_failure(failure);
  }
  auto* type = reinterpret_cast<PyTypeObject*>(static_cast<CoreState*>(PyModule_GetState(module))->searcher_type);
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<SearcherObject*>(object)->searcher = searcher.release();
  return object;
}

}  // namespace vorpaline_core
