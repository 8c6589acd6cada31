#include "index_binding.hpp"

#include <charconv>
#include <limits>
#include <thread>

#include <simdjson.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "binding.hpp"
#include "embed/profile.hpp"
#include "index/defined_names.hpp"
#include "index/file_builder.hpp"
#include "index/searcher.hpp"
#include "index/term_vectors.hpp"
#include "input_error.hpp"
#include "padded_json.hpp"
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

// {"names": [weight, b], "path": [weight, b], "roles": [weight per role],
// "definition_boost": x, "defined_names": [str...]}, every member optional, every number at least 0
// (a b at most 1).
void read_ranking(std::string_view ranking_json, index::Bm25Parameters& parameters) {
  static constexpr char kShape[] =
      "search: ranking_json must be {\"names\": [weight, b], \"path\": [weight, b], \"roles\": [6 weights], "
      "\"definition_boost\": weight, \"defined_names\": [names]}, numbers at least 0 and each b at most 1";
  const PaddedCopy padded(ranking_json);
  simdjson::dom::parser parser;
  simdjson::dom::object ranking;
  if (parser.parse(padded).get_object().get(ranking) != simdjson::SUCCESS) throw InputError(kShape);
  const auto number = [&](simdjson::dom::element element, double most) {
    double value = 0;
    if (element.get_double().get(value) != simdjson::SUCCESS || !(value >= 0.0) || value > most) {
      throw InputError(kShape);
    }
    return value;
  };
  const double unbounded = std::numeric_limits<double>::max();
  for (const auto [key, value] : ranking) {
    simdjson::dom::array values;
    if (key == "definition_boost") {
      parameters.definition_boost = number(value, unbounded);
    } else if (key == "exhaustive") {
      // Not in the shape told: a test's reference, every posting scored.
      if (value.get_bool().get(parameters.exhaustive) != simdjson::SUCCESS) throw InputError(kShape);
    } else if (key == "defined_names" && value.get_array().get(values) == simdjson::SUCCESS) {
      for (simdjson::dom::element name : values) {
        std::string_view text;
        if (name.get_string().get(text) != simdjson::SUCCESS) throw InputError(kShape);
        std::string lowered(text);
        for (char& c : lowered) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        parameters.defined_names.emplace_back(text);
        parameters.defined_names_lowered.push_back(std::move(lowered));
      }
    } else if ((key == "names" || key == "path") && value.get_array().get(values) == simdjson::SUCCESS &&
               values.size() == 2) {
      index::FieldScoring& field = key == "names" ? parameters.names : parameters.path;
      field = {number(values.at(0).value_unsafe(), unbounded), number(values.at(1).value_unsafe(), 1.0)};
    } else if (key == "roles" && value.get_array().get(values) == simdjson::SUCCESS &&
               values.size() == index::kRoleCount) {
      std::size_t role = 0;
      for (simdjson::dom::element weight : values) parameters.role_weights[role++] = number(weight, unbounded);
    } else {
      throw InputError(kShape);
    }
  }
}

// A search's hits carry their chunks' definitions, not the references: those
// are for look-ups, and a chunk may hold thousands.
void put_hits(scan::StringSink& sink, const std::vector<index::Hit>& hits, bool references = true) {
  sink.put("{\"hits\":[");
  for (std::size_t i = 0; i < hits.size(); ++i) {
    sink.put(i == 0 ? "{\"segment\":" : ",{\"segment\":");
    scan::put_number(sink, hits[i].segment);
    sink.put(",\"doc\":");
    scan::put_number(sink, hits[i].doc);
    sink.put(",\"score\":");
    put_double(sink, hits[i].score);
    sink.put(",\"roles\":");
    scan::put_number(sink, hits[i].roles);
    sink.put(",\"metadata\":");
    scan::put_string(sink, hits[i].metadata);
    sink.put(",\"symbols\":");
    scan::put_string(sink, references ? hits[i].symbols : index::definitions_only(hits[i].symbols));
    sink.put('}');
  }
  sink.put("]}");
}

PyObject* hits_reply(const std::string& reply) {
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

// search(query, profile_json, k, k1, b, ranking_json="{}", /) -> str
PyObject* searcher_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "search";
  std::string_view query;
  std::string_view profile_json;
  std::string_view ranking_json = "{}";
  std::size_t k = 0;
  index::Bm25Parameters parameters;
  if (nargs != 6 && !check_arity(kName, nargs, 5)) return nullptr;
  if (!utf8_argument(kName, args[0], 1, "query", &query) ||
      !utf8_argument(kName, args[1], 2, "profile_json", &profile_json) ||
      !count_argument(kName, args[2], 3, "k", &k) || !float_argument(kName, args[3], 4, "k1", &parameters.k1) ||
      !float_argument(kName, args[4], 5, "b", &parameters.b) ||
      (nargs == 6 && !utf8_argument(kName, args[5], 6, "ranking_json", &ranking_json))) {
    return nullptr;
  }
  if (parameters.b > 1.0) {
    PyErr_SetString(PyExc_ValueError, "search() argument 5 ('b') must be at most 1");
    return nullptr;
  }
  const index::Searcher& searcher = *reinterpret_cast<SearcherObject*>(self)->searcher;
  std::string reply;
  if (const std::exception_ptr failure = run_without_gil([&] {
        read_ranking(ranking_json, parameters);
        scan::StringSink sink;
        put_hits(sink, searcher.search(query, cached_profile(profile_json), k, parameters), false);
        reply = std::move(sink.text);
      })) {
    return raise_failure(failure);
  }
  return hits_reply(reply);
}

// with_symbols(name, profile_json, field, /) -> str, field "names" or "text"
PyObject* searcher_with_symbols(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "with_symbols";
  std::string_view name;
  std::string_view profile_json;
  std::string_view field;
  if (!check_arity(kName, nargs, 3) || !utf8_argument(kName, args[0], 1, "name", &name) ||
      !utf8_argument(kName, args[1], 2, "profile_json", &profile_json) ||
      !utf8_argument(kName, args[2], 3, "field", &field)) {
    return nullptr;
  }
  if (field != "names" && field != "text") {
    PyErr_SetString(PyExc_ValueError, "with_symbols() argument 3 ('field') must be 'names' or 'text'");
    return nullptr;
  }
  const index::Searcher& searcher = *reinterpret_cast<SearcherObject*>(self)->searcher;
  std::string reply;
  if (const std::exception_ptr failure = run_without_gil([&] {
        scan::StringSink sink;
        put_hits(sink, searcher.with_symbols(name, cached_profile(profile_json),
                                             field == "names" ? index::kNamesField : index::kTextField));
        reply = std::move(sink.text);
      })) {
    return raise_failure(failure);
  }
  return hits_reply(reply);
}

PyObject* searcher_documents(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<SearcherObject*>(self)->searcher->documents());
}

PyMethodDef searcher_methods[] = {
    {"search", as_cfunction(searcher_search), METH_FASTCALL,
     "search($self, query, profile_json, k, k1, b, ranking_json='{}', /)\n--\n\n"
     "The k best documents for the query under BM25F, best first, as the JSON text\n"
     "{\"hits\": [{\"segment\", \"doc\", \"score\", \"roles\", \"metadata\", \"symbols\"}]}.\n"
     "ranking_json weighs the names and path fields, the file roles and definitions."},
    {"with_symbols", as_cfunction(searcher_with_symbols), METH_FASTCALL,
     "with_symbols($self, name, profile_json, field, /)\n--\n\n"
     "The documents with symbols whose field ('names' or 'text') holds every term of\n"
     "name, unscored, as search() replies: where its definitions or references are."},
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

// [[path, size] or [path, size, known_hash], ...] and {"max_file_bytes", "segment_bytes", "grep",
// "grep_max_file_bytes"}.
std::vector<index::FileToIndex> files_to_index(std::string_view files_json) {
  const PaddedCopy padded(files_json);
  simdjson::dom::parser parser;
  simdjson::dom::array files;
  if (parser.parse(padded).get_array().get(files) != simdjson::SUCCESS) {
    throw InputError("index_build_files: files_json must be a JSON array of [path, size] pairs");
  }
  std::vector<index::FileToIndex> result;
  for (simdjson::dom::element item : files) {
    simdjson::dom::array pair;
    std::string_view path;
    std::uint64_t size = 0;
    std::string_view known_hash;
    if (item.get_array().get(pair) != simdjson::SUCCESS || (pair.size() != 2 && pair.size() != 3) ||
        pair.at(0).get_string().get(path) != simdjson::SUCCESS ||
        pair.at(1).get_uint64().get(size) != simdjson::SUCCESS ||
        (pair.size() == 3 && (pair.at(2).get_string().get(known_hash) != simdjson::SUCCESS || known_hash.empty()))) {
      throw InputError("index_build_files: files_json must be a JSON array of [path, size] pairs "
                       "(or [path, size, known_hash])");
    }
    result.push_back({std::string(path), size, std::string(known_hash)});
  }
  return result;
}

index::BuildLimits build_limits(std::string_view limits_json) {
  const PaddedCopy padded(limits_json);
  simdjson::dom::parser parser;
  simdjson::dom::object limits;
  if (parser.parse(padded).get_object().get(limits) != simdjson::SUCCESS) {
    throw InputError("index_build_files: limits_json must be a JSON object");
  }
  index::BuildLimits result;
  for (auto [key, value] : limits) {
    if (key == "grep") {
      if (value.get_bool().get(result.grep) != simdjson::SUCCESS) {
        throw InputError("index_build_files: option \"grep\" must be true or false");
      }
      continue;
    }
    std::uint64_t number = 0;
    if (value.get_uint64().get(number) != simdjson::SUCCESS || number == 0) {
      throw InputError("index_build_files: limit \"" + std::string(key) + "\" must be a positive integer");
    }
    if (key == "max_file_bytes") {
      result.max_file_bytes = number;
    } else if (key == "segment_bytes") {
      result.segment_bytes = number;
    } else if (key == "grep_max_file_bytes") {
      result.grep_max_file_bytes = number;
    } else {
      throw InputError("index_build_files: unknown limit \"" + std::string(key) + "\"");
    }
  }
  return result;
}

void put_build_result(scan::StringSink& sink, const index::BuildResult& built) {
  sink.put("{\"segments\":[");
  for (std::size_t i = 0; i < built.segments.size(); ++i) {
    sink.put(i == 0 ? "{\"name\":" : ",{\"name\":");
    scan::put_string(sink, built.segments[i].name);
    sink.put(",\"documents\":");
    scan::put_number(sink, built.segments[i].documents);
    sink.put('}');
  }
  sink.put("],\"files\":[");
  for (std::size_t i = 0; i < built.files.size(); ++i) {
    const index::FileOutcome& file = built.files[i];
    sink.put(i == 0 ? "{\"status\":" : ",{\"status\":");
    scan::put_string(sink, file.status);
    sink.put(",\"bytes\":");
    scan::put_number(sink, static_cast<std::int64_t>(file.bytes));
    sink.put(",\"hash\":");
    if (file.hash.empty()) {
      sink.put("null");
    } else {
      scan::put_string(sink, file.hash);
    }
    sink.put(",\"segment\":");
    if (file.segment < 0) {
      sink.put("null");
    } else {
      scan::put_number(sink, file.segment);
    }
    sink.put(",\"first\":");
    scan::put_number(sink, file.first);
    sink.put(",\"count\":");
    scan::put_number(sink, file.count);
    sink.put(",\"grep\":");
    if (file.grep < 0) {
      sink.put("null");
    } else {
      scan::put_number(sink, file.grep);
    }
    sink.put('}');
  }
  sink.put("],\"grep_segments\":[");
  for (std::size_t i = 0; i < built.grep_segments.size(); ++i) {
    sink.put(i == 0 ? "{\"name\":" : ",{\"name\":");
    scan::put_string(sink, built.grep_segments[i].name);
    sink.put(",\"files\":");
    scan::put_number(sink, built.grep_segments[i].documents);
    sink.put('}');
  }
  sink.put("]}");
}


// {"k1": x, "fields": [[weight, b] per field], "averages": [length per field]}, numbers at least 0.
index::Weighting read_weighting(std::string_view weighting_json) {
  static constexpr char kShape[] =
      "index_term_vectors_packed: weighting_json must be {\"k1\": x, \"fields\": [[weight, b], [weight, b], "
      "[weight, b]], \"averages\": [x, x, x]}, numbers at least 0";
  const PaddedCopy padded(weighting_json);
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(padded).get_object().get(object) != simdjson::SUCCESS) throw InputError(kShape);
  const auto number = [&](simdjson::dom::element element) {
    double value = 0;
    if (element.get_double().get(value) != simdjson::SUCCESS || !(value >= 0.0) ||
        value > std::numeric_limits<double>::max()) {
      throw InputError(kShape);
    }
    return value;
  };
  const auto triple = [&](simdjson::dom::element element) {
    simdjson::dom::array values;
    if (element.get_array().get(values) != simdjson::SUCCESS || values.size() != index::kFieldCount) {
      throw InputError(kShape);
    }
    return values;
  };
  index::Weighting weighting;
  bool k1 = false, fields = false, averages = false;
  for (const auto [key, value] : object) {
    if (key == "k1" && !k1) {
      weighting.k1 = number(value);
      k1 = true;
    } else if (key == "fields" && !fields) {
      std::size_t field = 0;
      for (simdjson::dom::element pair : triple(value)) {
        simdjson::dom::array weight_and_b;
        if (pair.get_array().get(weight_and_b) != simdjson::SUCCESS || weight_and_b.size() != 2) {
          throw InputError(kShape);
        }
        weighting.weight[field] = number(weight_and_b.at(0).value_unsafe());
        weighting.b[field] = number(weight_and_b.at(1).value_unsafe());
        ++field;
      }
      fields = true;
    } else if (key == "averages" && !averages) {
      std::size_t field = 0;
      for (simdjson::dom::element average : triple(value)) weighting.average[field++] = number(average);
      averages = true;
    } else {
      throw InputError(kShape);
    }
  }
  if (!k1 || !fields || !averages) throw InputError(kShape);
  return weighting;
}

// What a segment's packed term vectors are made of, read with the lock released.
struct PackedVectors {
  std::vector<std::string_view> metadata, symbols;
  std::string records, starts, pairs, weights;
};

template <class Value>
void append_bytes(std::string& bytes, const std::vector<Value>& values) {
  bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(Value));
}

PyObject* str_list(const std::vector<std::string_view>& texts) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (list.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "strict");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

PyObject* bytes_object(const std::string& bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace

// A Python progress callable, called from the builder's threads with the
// interpreter lock taken for the call; the first exception it raises is kept
// to be raised when the build is over, and stops the build.
class ProgressCall {
 public:
  explicit ProgressCall(PyObject* callable) : callable_(callable) {}
  ProgressCall(const ProgressCall&) = delete;
  ProgressCall& operator=(const ProgressCall&) = delete;
  ~ProgressCall() {
    if (type_ == nullptr) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
    PyGILState_Release(state);
  }

  bool operator()(std::uint64_t files, std::uint64_t bytes) {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyObject* result = PyObject_CallFunction(callable_, "KK", static_cast<unsigned long long>(files),
                                             static_cast<unsigned long long>(bytes));
    const bool go_on = result != nullptr;
    Py_XDECREF(result);
    if (!go_on) {
      if (type_ == nullptr) {
        PyErr_Fetch(&type_, &value_, &traceback_);
      } else {
        PyErr_Clear();
      }
    }
    PyGILState_Release(state);
    return go_on;
  }

  // With the lock held: raises what the callable raised and returns true, if it did.
  bool restore_exception() {
    if (type_ == nullptr) return false;
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    return true;
  }

 private:
  PyObject* callable_;  // borrowed: the caller's argument outlives the call
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

PyObject* index_build_files(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_build_files";
  std::string_view root, files_json, folder, prefix, profile_json, limits_json;
  std::size_t threads = 0;
  if (nargs != 8) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 8 arguments (%zd given)", kName, nargs);
    return nullptr;
  }
  PyObject* progress_callable = args[7];
  if (progress_callable != Py_None && !PyCallable_Check(progress_callable)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 8 ('progress') must be callable or None, not %.200s", kName,
                 Py_TYPE(progress_callable)->tp_name);
    return nullptr;
  }
  if (!utf8_argument(kName, args[0], 1, "root", &root) ||
      !utf8_argument(kName, args[1], 2, "files_json", &files_json) ||
      !utf8_argument(kName, args[2], 3, "folder", &folder) || !utf8_argument(kName, args[3], 4, "prefix", &prefix) ||
      !utf8_argument(kName, args[4], 5, "profile_json", &profile_json) ||
      !utf8_argument(kName, args[5], 6, "limits_json", &limits_json) ||
      !count_argument(kName, args[6], 7, "threads", &threads)) {
    return nullptr;
  }
  ProgressCall call(progress_callable);
  index::BuildProgress progress;
  if (progress_callable != Py_None) progress = [&call](std::uint64_t files, std::uint64_t bytes) { return call(files, bytes); };
  std::string reply;
  const std::exception_ptr failure = run_without_gil([&] {
    const index::BuildResult built = index::build_from_files(
        std::string(root), files_to_index(files_json), std::string(folder), std::string(prefix),
        cached_profile(profile_json), build_limits(limits_json), static_cast<unsigned>(std::min<std::size_t>(threads, 64)),
        progress);
    scan::StringSink sink;
    put_build_result(sink, built);
    reply = std::move(sink.text);
  });
  if (call.restore_exception()) return nullptr;  // what the progress callable raised, KeyboardInterrupt say
  if (failure) return raise_failure(failure);
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

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

PyObject* index_merge_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_merge_segments";
  std::string_view path;
  std::string_view segments_json;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "path", &path) ||
      !utf8_argument(kName, args[1], 2, "segments_json", &segments_json)) {
    return nullptr;
  }
  index::SegmentStats stats{};
  if (const std::exception_ptr failure =
          run_without_gil([&] { stats = index::merge_segments(std::string(path), segments_json); })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromFormat("{\"documents\": %u, \"postings\": %u}", stats.documents, stats.terms);
}

PyObject* index_term_vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_term_vectors";
  std::string_view path;
  if (!check_arity(kName, nargs, 1) || !utf8_argument(kName, args[0], 1, "path", &path)) return nullptr;
  std::string reply;
  if (const std::exception_ptr failure = run_without_gil([&] {
        const index::SegmentReader segment{std::string(path)};
        reply = index::term_vectors_json(segment);
      })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

PyObject* index_term_vectors_packed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_term_vectors_packed";
  std::string_view path;
  std::string_view weighting_json;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "path", &path) ||
      !utf8_argument(kName, args[1], 2, "weighting_json", &weighting_json)) {
    return nullptr;
  }
  std::unique_ptr<index::SegmentReader> segment;  // the strings below point into it
  PackedVectors packed;
  if (const std::exception_ptr failure = run_without_gil([&] {
        const std::optional<index::Weighting> weighting =
            weighting_json.empty() ? std::nullopt : std::optional(read_weighting(weighting_json));
        segment = std::make_unique<index::SegmentReader>(std::string(path));
        for (std::uint32_t doc = 0; doc < segment->doc_count(); ++doc) {
          const index::DocumentRecord& record = segment->record(doc);
          packed.records.append(reinterpret_cast<const char*>(&record), sizeof record);
        }
        if (!weighting) return;  // the lengths alone, known before the weighting is
        for (std::uint32_t doc = 0; doc < segment->doc_count(); ++doc) {
          segment->check_stored(doc);
          packed.metadata.push_back(segment->metadata(doc));
          packed.symbols.push_back(segment->symbols(doc));
        }
        const index::TermVectors vectors = index::term_vectors(*segment);
        append_bytes(packed.starts, vectors.starts);
        append_bytes(packed.pairs, vectors.terms);
        for (const auto& field_tfs : vectors.tfs) append_bytes(packed.pairs, field_tfs);
        append_bytes(packed.weights, index::saturated_weights(*segment, vectors, *weighting));
      })) {
    return raise_failure(failure);
  }
  OwnedRef metadata(str_list(packed.metadata));
  if (metadata.get() == nullptr) return nullptr;
  OwnedRef symbols(str_list(packed.symbols));
  if (symbols.get() == nullptr) return nullptr;
  OwnedRef records(bytes_object(packed.records));
  OwnedRef starts(bytes_object(packed.starts));
  OwnedRef pairs(bytes_object(packed.pairs));
  OwnedRef weights(bytes_object(packed.weights));
  if (records.get() == nullptr || starts.get() == nullptr || pairs.get() == nullptr || weights.get() == nullptr) {
    return nullptr;
  }
  return PyTuple_Pack(6, metadata.get(), symbols.get(), records.get(), starts.get(), pairs.get(), weights.get());
}

PyObject* index_verify_segment(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "index_verify_segment";
  std::string_view path;
  if (!check_arity(kName, nargs, 1) || !utf8_argument(kName, args[0], 1, "path", &path)) return nullptr;
  if (const std::exception_ptr failure =
          run_without_gil([&] { index::SegmentReader(std::string(path)).verify(); })) {
    return raise_failure(failure);
  }
  Py_RETURN_NONE;
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
