// The core's index functions and its Searcher type, bound for Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpaline_core {

// The module's own state: the types it made at exec.
struct CoreState {
  PyObject* searcher_type;
  PyObject* path_filter_type;
};

// Makes the Searcher type and adds it to the module; -1 with an exception set on failure.
int add_index_types(PyObject* module);

// index_build_segment(path, profile_json, texts_json, metadata_json, /) -> str
PyObject* index_build_segment(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_build_files(root, files_json, folder, prefix, profile_json, limits_json, threads, /) -> str
PyObject* index_build_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_merge_segments(path, segments_json, /) -> str
PyObject* index_merge_segments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_term_vectors(path, /) -> str
PyObject* index_term_vectors(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_term_vectors_packed(path, weighting_json, /) -> (metadata, symbols, records, starts, pairs, weights)
PyObject* index_term_vectors_packed(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_verify_segment(path, /) -> None
PyObject* index_verify_segment(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// index_open(segments_json, /) -> Searcher
PyObject* index_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorpaline_core
