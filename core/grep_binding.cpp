#include "grep_binding.hpp"

#include <simdjson.h>

#include <algorithm>
#include <string>

#include "arguments.hpp"
#include "binding.hpp"
#include "grep/merge.hpp"
#include "grep/request.hpp"
#include "grep/search.hpp"
#include "grep/segment_reader.hpp"
#include "padded_json.hpp"

namespace vorpaline_core {

namespace {

// A path as os.fsdecode would give it: a name that is not UTF-8 keeps its bytes as escapes.
PyObject* path_object(const std::string& path) {
  return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "surrogateescape");
}

PyObject* submatches_object(const grep::ReportedLine& line) {
  if (line.context) Py_RETURN_NONE;
  OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(line.matches.size())));
  if (tuple.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < line.matches.size(); ++i) {
    PyObject* pair = Py_BuildValue("(II)", line.matches[i].first, line.matches[i].second);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return tuple.release();
}

PyObject* lines_object(const grep::FileMatches& matches) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(matches.lines.size())));
  if (list.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < matches.lines.size(); ++i) {
    const grep::ReportedLine& line = matches.lines[i];
    OwnedRef submatches(submatches_object(line));
    if (submatches.get() == nullptr) return nullptr;
    PyObject* item = Py_BuildValue("(KKy#O)", static_cast<unsigned long long>(line.number),
                                   static_cast<unsigned long long>(line.offset), line.text.data(),
                                   static_cast<Py_ssize_t>(line.text.size()), submatches.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* result_object(const grep::FileResult& file, grep::Mode mode) {
  OwnedRef path(path_object(file.path));
  if (path.get() == nullptr) return nullptr;
  OwnedRef result;
  if (mode == grep::Mode::kLines) {
    *result.address() = lines_object(file.matches);
  } else if (mode == grep::Mode::kCount) {
    *result.address() = PyLong_FromUnsignedLongLong(file.matches.matched_lines);
  } else {
    *result.address() = Py_NewRef(Py_None);
  }
  if (result.get() == nullptr) return nullptr;
  return PyTuple_Pack(2, path.get(), result.get());
}

PyObject* stats_object(const grep::SearchStats& stats) {
  return Py_BuildValue("{sKsKsKsKsKsKsK}", "docs", static_cast<unsigned long long>(stats.docs), "candidates",
                       static_cast<unsigned long long>(stats.candidates), "stale",
                       static_cast<unsigned long long>(stats.stale), "extra_read",
                       static_cast<unsigned long long>(stats.extra_read), "bytes_searched",
                       static_cast<unsigned long long>(stats.bytes_searched), "matched_lines",
                       static_cast<unsigned long long>(stats.matched_lines), "matches",
                       static_cast<unsigned long long>(stats.matches));
}

PyObject* search_reply(const grep::SearchResult& result, grep::Mode mode) {
  OwnedRef files(PyList_New(static_cast<Py_ssize_t>(result.files.size())));
  if (files.get() == nullptr) return nullptr;
  for (std::size_t i = 0; i < result.files.size(); ++i) {
    PyObject* item = result_object(result.files[i], mode);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(files.get(), static_cast<Py_ssize_t>(i), item);
  }
  OwnedRef stats(stats_object(result.stats));
  if (stats.get() == nullptr) return nullptr;
  return PyTuple_Pack(2, files.get(), stats.get());
}

// [{"path": P, "deleted": [doc, ...]}, ...]
std::vector<grep::MergeInput> merge_inputs(std::string_view json) {
  const PaddedCopy padded(json);
  simdjson::dom::parser parser;
  simdjson::dom::array items;
  static const char kShape[] = "grep_merge_segments: inputs_json must be a list of {\"path\", \"deleted\"}";
  if (parser.parse(padded).get_array().get(items) != simdjson::SUCCESS) throw InputError(kShape);
  std::vector<grep::MergeInput> inputs;
  for (simdjson::dom::element item : items) {
    std::string_view path;
    simdjson::dom::array deleted;
    if (item["path"].get_string().get(path) != simdjson::SUCCESS ||
        item["deleted"].get_array().get(deleted) != simdjson::SUCCESS) {
      throw InputError(kShape);
    }
    grep::MergeInput input{std::string(path), {}};
    for (simdjson::dom::element doc : deleted) {
      std::uint64_t id = 0;
      if (doc.get_uint64().get(id) != simdjson::SUCCESS) throw InputError(kShape);
      if (id <= UINT32_MAX) input.deleted.push_back(static_cast<std::uint32_t>(id));
    }
    inputs.push_back(std::move(input));
  }
  return inputs;
}

}  // namespace

PyObject* grep_search(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "grep_search";
  std::string_view request_json;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "request_json", &request_json)) {
    return nullptr;
  }
  const long long threads = PyLong_Check(args[1]) ? PyLong_AsLongLong(args[1]) : -1;
  if (threads < 0) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s() argument 2 ('threads') must be an int >= 0", kName);
    return nullptr;
  }
  grep::SearchResult result;
  grep::Mode mode = grep::Mode::kLines;
  const std::exception_ptr failure = run_without_gil([&] {
    const grep::GrepRequest request = grep::parse_request(request_json);
    mode = request.options.mode;
    result = grep::search(request, static_cast<unsigned>(std::min<long long>(threads, 64)));
  });
  if (failure) return raise_failure(failure);
  return search_reply(result, mode);
}

PyObject* grep_merge_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "grep_merge_segments";
  std::string_view out_path, inputs_json;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "out_path", &out_path) ||
      !utf8_argument(kName, args[1], 2, "inputs_json", &inputs_json)) {
    return nullptr;
  }
  std::uint32_t files = 0;
  const std::exception_ptr failure =
      run_without_gil([&] { files = grep::merge_segments(std::string(out_path), merge_inputs(inputs_json)); });
  if (failure) return raise_failure(failure);
  return PyUnicode_FromFormat("{\"files\":%u}", files);
}

PyObject* grep_verify_segment(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "grep_verify_segment";
  std::string_view path;
  if (!check_arity(kName, nargs, 1) || !utf8_argument(kName, args[0], 1, "path", &path)) return nullptr;
  // An open checks the tables and the layout; the postings' own checksum is read only here.
  const std::exception_ptr failure =
      run_without_gil([&] { grep::GrepSegmentReader(std::string(path)).check_postings(); });
  if (failure) return raise_failure(failure);
  Py_RETURN_NONE;
}

}  // namespace vorpaline_core
