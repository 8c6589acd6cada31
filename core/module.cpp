// The module object of vorpaline_core_py and its functions.
#include <malloc.h>

#include <cstring>
#include <optional>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "binding.hpp"
#include "file_binding.hpp"
#include "stamps_binding.hpp"
#include "glob_binding.hpp"
#include "grep_binding.hpp"
#include "index_binding.hpp"
#include "snippets_binding.hpp"
#include "symbols_binding.hpp"
#include "chunk/chunk_arguments.hpp"
#include "chunk/chunk_reply.hpp"
#include "chunk/chunker.hpp"
#include "chunk/definition_chunks.hpp"
#include "embed/batch_texts.hpp"
#include "embed/embedder.hpp"
#include "input_error.hpp"
#include "owned_ref.hpp"
#include "embed/profile.hpp"
#include "scan/scan.hpp"
#include "embed/table_hash.hpp"

namespace vorpaline_core {

namespace {

constexpr char kHandshake[] =
    "{\"capabilities\": [\"sparse_embed\", \"sparse_embed_batch\", \"sparse_explain\", "
    "\"scan_repository\", \"scan_explain\", \"ignore_builtin_replace\", \"chunk_text\", \"index_bm25\", "
    "\"index_term_vectors\", \"read_repository_file\", \"listing_unchanged\", \"index_verify_segment\"], "
    "\"version\": \"" VORPALINE_CORE_VERSION "\"}";

// Reads the (text, profile) argument pair shared by the embedding functions.
bool text_and_profile(const char* function, PyObject* const* args, Py_ssize_t nargs,
                      const char* text_name, std::string_view* text, std::string_view* profile) {
  return check_arity(function, nargs, 2) &&
         utf8_argument(function, args[0], 1, text_name, text) &&
         utf8_argument(function, args[1], 2, "profile_json", profile);
}

// {"embeddings": [...]} for a batch read a text at a time; false, with `reply`
// to be discarded, when the batch is not as it must be.
bool write_streamed_batch(std::string_view texts_json, Embedder& embedder, ReplyBuffer& reply) {
  embedder.open_batch(texts_json.size(), reply);
  bool first = true;
  const bool complete = read_batch_texts(texts_json, [&](std::string_view text) {
    embedder.write_batch_element(text, first, reply);
    first = false;
  });
  embedder.close_batch(reply);
  return complete;
}

PyObject* handshake(PyObject*, PyObject* const*, Py_ssize_t nargs) {
  if (!check_arity("handshake", nargs, 0)) return nullptr;
  return PyUnicode_FromString(kHandshake);
}

PyObject* sparse_embed_single(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view text;
  std::string_view profile_json;
  if (!text_and_profile("sparse_embed_single", args, nargs, "text", &text, &profile_json)) {
    return nullptr;
  }
  return ascii_reply(reply_size_guess(text.size(), 1), [&](ReplyBuffer& reply) {
    Embedder embedder(cached_profile(profile_json));
    embedder.write_embedding(text, reply);
  });
}

PyObject* sparse_embed_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view texts_json;
  std::string_view profile_json;
  if (!text_and_profile("sparse_embed_batch", args, nargs, "texts_json", &texts_json,
                        &profile_json)) {
    return nullptr;
  }
  return ascii_reply(reply_size_guess(texts_json.size(), 1), [&](ReplyBuffer& reply) {
    Embedder embedder(cached_profile(profile_json));
    if (write_streamed_batch(texts_json, embedder, reply)) return;
    // Something is wrong with the batch: reading it whole says what, exactly.
    reply.clear();
    const BatchTexts batch(texts_json);
    embedder.write_batch(batch.texts(), reply);
  });
}

PyObject* sparse_explain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view text;
  std::string_view profile_json;
  if (!text_and_profile("sparse_explain", args, nargs, "text", &text, &profile_json)) {
    return nullptr;
  }
  return utf8_reply([&](ReplyBuffer& reply) {
    Embedder embedder(cached_profile(profile_json));
    embedder.write_explanation(text, reply);
  });
}

// The optional thread count of a scan: 0 (the default) for one per core.
bool thread_count_argument(PyObject* const* args, Py_ssize_t nargs, unsigned* threads) {
  *threads = scan::default_walk_threads();
  if (nargs < 2) return true;
  PyObject* given = args[1];
  if (!PyLong_CheckExact(given)) {
    PyErr_Format(PyExc_TypeError, "scan_repository() argument 2 ('threads') must be int, not %.200s",
                 Py_TYPE(given)->tp_name);
    return false;
  }
  const long count = PyLong_AsLong(given);
  if (count == -1 && PyErr_Occurred()) return false;
  if (count < 0) {
    PyErr_SetString(PyExc_ValueError, "scan_repository() argument 2 ('threads') must not be negative");
    return false;
  }
  if (count > 0) *threads = count > 1024 ? 1024u : static_cast<unsigned>(count);
  return true;
}

PyObject* scan_repository(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1 && nargs != 2) {
    PyErr_Format(PyExc_TypeError, "scan_repository() takes 1 or 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  std::string_view config_json;
  unsigned threads = 1;
  if (!utf8_argument("scan_repository", args[0], 1, "config_json", &config_json) ||
      !thread_count_argument(args, nargs, &threads)) {
    return nullptr;
  }
  const scan::GitEnvironment environment = scan::GitEnvironment::from_process();
  std::optional<scan::RepositoryScan> result;
  std::size_t size = 0;
  if (const std::exception_ptr failure = run_without_gil([&] {
        result.emplace(config_json, environment, threads);
        size = result->reply_size();
        // What the walk freed goes back to the system before the reply is
        // made: otherwise the reply comes on top of it.
        ::malloc_trim(0);
      })) {
    return raise_failure(failure);
  }
  OwnedRef reply(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (reply.get() == nullptr) return nullptr;
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(reply.get()));
  if (const std::exception_ptr failure = run_without_gil([&] { result->write_reply(out); })) {
    return raise_failure(failure);
  }
  return reply.release();
}

PyObject* scan_explain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view config_json;
  std::string_view path;
  if (!check_arity("scan_explain", nargs, 2) ||
      !utf8_argument("scan_explain", args[0], 1, "config_json", &config_json) ||
      !utf8_argument("scan_explain", args[1], 2, "path", &path)) {
    return nullptr;
  }
  const scan::GitEnvironment environment = scan::GitEnvironment::from_process();
  std::string reply;
  if (const std::exception_ptr failure =
          run_without_gil([&] { reply = scan::explain_path(config_json, environment, path); })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

// Below this many bytes a text is chunked with the interpreter lock held: the
// work takes microseconds, less than taking the lock back can when other
// threads want it.
constexpr std::size_t kChunkWithoutLockFrom = 64 * 1024;
constexpr std::size_t kChunkScratchKept = 1024 * 1024;

// Replies with the chunks `chunking(scratch, chunks)` finds in a text of
// `text_size` bytes.
template <class Chunking>
PyObject* chunk_reply(std::size_t text_size, Chunking&& chunking) {
  std::vector<chunk::Chunk> chunks;
  const auto work = [&] {
    // Each thread keeps the line table of its last text, so that chunking many
    // small files does not fault in fresh memory for every one; a large text's
    // table is let go at once.
    thread_local chunk::ChunkScratch scratch;
    chunking(scratch, chunks);
    if (text_size > kChunkScratchKept) scratch = chunk::ChunkScratch{};
  };
  if (text_size >= kChunkWithoutLockFrom) {
    if (const std::exception_ptr failure = run_without_gil(work)) return raise_failure(failure);
  } else {
    try {
      work();
    } catch (...) {
      return raise_failure(std::current_exception());
    }
  }
  OwnedRef reply(PyUnicode_New(static_cast<Py_ssize_t>(chunk::reply_size(chunks)), 127));
  if (reply.get() == nullptr) return nullptr;
  chunk::write_reply(chunks, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(reply.get())));
  return reply.release();
}

PyObject* chunk_text(PyObject*, PyObject* text_argument) {
  std::string_view text;
  if (!utf8_argument("chunk_text", text_argument, 1, "text", &text)) return nullptr;
  return chunk_reply(text.size(), [&](auto& scratch, auto& chunks) {
    chunk::chunk_text(text, chunk::ChunkLimits{}, scratch, chunks);
  });
}

PyObject* chunk_text_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  constexpr char kName[] = "chunk_text_with_definitions";
  if (nargs < 2 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 or 3 arguments (%zd given)", kName, nargs);
    return nullptr;
  }
  std::string_view text;
  std::string_view spans_json;
  std::string_view limits_json;
  const bool limits_given = nargs == 3 && args[2] != Py_None;
  if (!utf8_argument(kName, args[0], 1, "text", &text) ||
      !utf8_argument(kName, args[1], 2, "spans_json", &spans_json) ||
      (limits_given && !utf8_argument(kName, args[2], 3, "limits_json", &limits_json))) {
    return nullptr;
  }
  return chunk_reply(text.size(), [&](auto& scratch, auto& chunks) {
    const std::vector<chunk::DefinitionSpan> spans = chunk::definition_spans(spans_json);
    const chunk::ChunkLimits limits =
        limits_given ? chunk::chunk_limits(limits_json) : chunk::ChunkLimits{};
    chunk::chunk_with_definitions(text, spans, limits, scratch, chunks);
  });
}

int exec_module(PyObject* module) {
  // Pick simdjson's kernel for this CPU now, while the interpreter lock is held,
  // rather than racing on first use in released-lock calls.
  (void)simdjson::get_active_implementation()->name();
  // Draw the tables' keys now, so that a process without a random source
  // fails at import rather than at its first embedding.
  try {
    (void)table_keys();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_OSError, "vorpaline_core_py cannot draw its hash keys: %s", error.what());
    return -1;
  }
  if (add_index_types(module) < 0) return -1;
  if (add_glob_types(module) < 0) return -1;
  return PyModule_AddStringConstant(module, "__version__", VORPALINE_CORE_VERSION);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<CoreState*>(PyModule_GetState(module));
  Py_VISIT(state->searcher_type);
  Py_VISIT(state->path_filter_type);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<CoreState*>(PyModule_GetState(module));
  Py_CLEAR(state->searcher_type);
  Py_CLEAR(state->path_filter_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef methods[] = {
    {"handshake", as_cfunction(handshake), METH_FASTCALL,
     "handshake()\n--\n\n"
     "Return a JSON object text: {\"capabilities\": [names...], \"version\": str}."},
    {"sparse_embed_single", as_cfunction(sparse_embed_single), METH_FASTCALL,
     "sparse_embed_single(text, profile_json, /)\n--\n\n"
     "Embed one text; return a JSON object text with \"indices\", \"values\",\n"
     "\"truncated\", \"original_chars\" and \"used_chars\"."},
    {"sparse_embed_batch", as_cfunction(sparse_embed_batch), METH_FASTCALL,
     "sparse_embed_batch(texts_json, profile_json, /)\n--\n\n"
     "Embed a JSON array of texts; return {\"embeddings\": [...]} as JSON text,\n"
     "one embedding per text in order, each as sparse_embed_single gives it."},
    {"sparse_explain", as_cfunction(sparse_explain), METH_FASTCALL,
     "sparse_explain(text, profile_json, /)\n--\n\n"
     "Show how a text embeds: a JSON object text whose \"tokens\" lists each\n"
     "token with its index, its own tf and the weight of its index."},
    {"scan_repository", as_cfunction(scan_repository), METH_FASTCALL,
     "scan_repository(config_json, threads=0, /)\n--\n\n"
     "List the files of a repository under its ignore rules. config_json is the\n"
     "JSON text of vorpaline.skiprules.build_scan_config(); threads 0 uses one\n"
     "per core. Return {\"root\", \"files\": [{\"path\", \"size\", \"mtime_ns\"}],\n"
     "\"skipped\": [{\"path\", \"reason\"}]} as JSON text, paths sorted."},
    {"scan_explain", as_cfunction(scan_explain), METH_FASTCALL,
     "scan_explain(config_json, path, /)\n--\n\n"
     "Say which pattern of which ignore file decides a path relative to the root:\n"
     "{\"path\", \"ignored\", \"source\", \"line\", \"pattern\", \"matched\", \"note\"}."},
    {"chunk_text", as_cfunction(chunk_text), METH_O,
     "chunk_text(text, /)\n--\n\n"
     "Split a text into chunks of whole lines for the index: its units (definitions,\n"
     "paragraphs), long ones split and short ones merged. Return\n"
     "{\"chunks\": [[first_line, last_line], ...]} as JSON text, lines 1-based and\n"
     "inclusive, as text.split('\\n') numbers them; blank lines between chunks\n"
     "belong to none."},
    {"chunk_text_with_definitions", as_cfunction(chunk_text_with_definitions), METH_FASTCALL,
     "chunk_text_with_definitions(text, spans_json, limits_json=None, /)\n--\n\n"
     "Split a text into chunks as chunk_text does, but following its definitions:\n"
     "spans_json is [[first_line, last_line], ...], 1-based and inclusive, in any\n"
     "order; each definition within the limits is one chunk, a longer one is cut at\n"
     "its inner definitions. limits_json, an object of any of \"max_lines\",\n"
     "\"min_lines\", \"merge_lines\" and \"max_bytes\", changes the limits. Return\n"
     "{\"chunks\": [[first_line, last_line], ...]} as chunk_text does."},
    {"index_build_segment", as_cfunction(index_build_segment), METH_FASTCALL,
     "index_build_segment(path, profile_json, texts_json, metadata_json, /)\n--\n\n"
     "Tokenise each text of the JSON array texts_json under the profile and write\n"
     "one index segment to path (which must not exist), each document keeping the\n"
     "string of the same place in metadata_json. Return {\"documents\", \"postings\"}."},
    {"index_build_files", as_cfunction(index_build_files), METH_FASTCALL,
     "index_build_files(root, files_json, folder, prefix, profile_json, limits_json, threads, progress, /)\n--\n\n"
     "Index the files [[path, size], ...] under root with `threads` threads: each file\n"
     "read, chunked and tokenised, consecutive files of about limits_json's\n"
     "\"segment_bytes\" making one segment folder/prefix-NNNN. Return {\"segments\":\n"
     "[{\"name\", \"documents\"}], \"files\": [{\"status\", \"bytes\", \"hash\", \"segment\",\n"
     "\"first\", \"count\", \"grep\"}], \"grep_segments\": [{\"name\", \"files\"}]}, one per file\n"
     "in order. With limits_json's \"grep\": true the same reads also make the trigram\n"
     "segment folder/prefix.grep (files up to \"grep_max_file_bytes\", binary ones left\n"
     "out). progress, when not None, is called now and then with (files done, their\n"
     "listed bytes); what it raises stops the build."},
    {"index_merge_segments", as_cfunction(index_merge_segments), METH_FASTCALL,
     "index_merge_segments(path, segments_json, /)\n--\n\n"
     "Write the documents of segments_json ([{\"path\", \"deleted\"}]) that are not\n"
     "deleted into one new segment at path, in order. Return {\"documents\", \"postings\"}."},
    {"index_term_vectors", as_cfunction(index_term_vectors), METH_FASTCALL,
     "index_term_vectors(path, /)\n--\n\n"
     "The documents of the segment at path as term vectors: {\"documents\": [{\"metadata\",\n"
     "\"length\", \"terms\", \"tfs\"}]}, each document's terms ascending."},
    {"index_term_vectors_packed", as_cfunction(index_term_vectors_packed), METH_FASTCALL,
     "index_term_vectors_packed(path, weighting_json, /)\n--\n\n"
     "The term vectors of index_term_vectors packed in native byte order: (metadata,\n"
     "symbols, records, starts, pairs, weights), the first two a str per document,\n"
     "records 4 uint32 per document (its fields' lengths, its roles), starts doc_count + 1\n"
     "uint64 bounds of each document's pairs, pairs 4 uint32 runs of their count (terms,\n"
     "then text, names and path frequencies). With weighting_json ({\"k1\", \"fields\":\n"
     "[[weight, b] x 3], \"averages\": [3]}), weights holds each pair's saturated\n"
     "BM25F frequency as a float64; with \"\" only records is read, the rest empty."},
    {"read_repository_file", as_cfunction(read_repository_file), METH_FASTCALL,
     "read_repository_file(root, path, begin, end, /)\n--\n\n"
     "Read bytes [begin, end) (clipped to the file's size) of the file at path, '/'-separated\n"
     "below root, opened a component at a time without following a link or blocking.\n"
     "Return (data, size, mtime_ns) with the opened file's size and mtime. A path that\n"
     "is not a regular file inside root raises OSError(errno, reason, path); a path that\n"
     "is empty, absolute or has '.', '..' or empty components raises ValueError."},
    {"hit_snippets", as_cfunction(hit_snippets), METH_FASTCALL,
     "hit_snippets(request_json, profile_json, /)\n--\n\n"
     "The snippets of a search's hits: each hit's chunk read as its file holds it now\n"
     "(bytes [begin, end) when its size and mtime are the indexed ones, else its lines\n"
     "first..last of the whole file), or cut from a given text or lines; its lines\n"
     "tokenised under the profile, the best line and the snippet around it chosen.\n"
     "request_json: {\"root\", \"terms\", \"snippets\", \"lines\", \"hits\": [{\"path\", \"first\",\n"
     "\"last\", \"begin\", \"end\", \"size\", \"mtime_ns\", \"defined_at\"} or {\"text\"} or\n"
     "{\"lines\"}]}. Return {\"hits\": [{\"gone\": true} or {\"stale\", \"count\", \"best\", \"start\",\n"
     "\"snippet\", \"lines\"}]} as JSON text. Runs with the interpreter lock released."},
    {"listing_unchanged", as_cfunction(listing_unchanged), METH_FASTCALL,
     "listing_unchanged(root, stamps_json, threads, /)\n--\n\n"
     "Whether the file list of the scan of root whose reply carried stamps_json (its\n"
     "\"stamps\", as JSON text) still stands: every folder and source keeps its stamp and\n"
     "none is racy. threads: 0 for one per core. False whenever it cannot tell."},
    {"index_open", as_cfunction(index_open), METH_FASTCALL,
     "index_open(segments_json, /)\n--\n\n"
     "Open segments for search: segments_json is [{\"path\", \"deleted\": [doc ids]}].\n"
     "Each file's layout is checked, and what a search reads as it reads it; a damaged\n"
     "file is a ValueError naming it. index_verify_segment() checks every byte."},
    {"index_verify_segment", as_cfunction(index_verify_segment), METH_FASTCALL,
     "index_verify_segment(path, /)\n--\n\n"
     "Check every byte of the segment at path: its checksum, layout and postings.\n"
     "Return None; a damaged file is a ValueError naming it."},
    {"symbols_register_language", as_cfunction(symbols_register_language), METH_FASTCALL,
     "symbols_register_language(name, language, tags_query, extensions_json, /)\n--\n\n"
     "Register a tree-sitter grammar (the \"tree_sitter.Language\" capsule of its module's\n"
     "language()) with its tags query for the file names of extensions_json: [\".py\", ...]\n"
     "suffixes, any case, or exact names such as \"Rakefile\". A query that does not compile\n"
     "is a ValueError with its byte offset. Registering a name again replaces it."},
    {"symbols_of_text", as_cfunction(symbols_of_text), METH_FASTCALL,
     "symbols_of_text(path, text, /)\n--\n\n"
     "The definitions and references of a text, by the language registered for path's\n"
     "file name: {\"language\": name or null, \"definitions\": [[name, kind, line, first_line,\n"
     "last_line, scope]...], \"references\": [[name, kind, line]...]}, lines 1-based, scope\n"
     "the enclosing definitions' names joined by '.'. A text over 1 MiB has none."},
    {"path_filter_compile", as_cfunction(path_filter_compile), METH_FASTCALL,
     "path_filter_compile(globs, type_globs, /)\n--\n\n"
     "Read ripgrep's -g globs (a list of str, in order, '!' to leave out) and the\n"
     "file-name globs of the -t types (a '!' on those of -T types) into a PathFilter,\n"
     "whose keeps(path) says whether ripgrep searches that file. Globs are matched\n"
     "with git's wildmatch; one ripgrep refuses is a ValueError."},
    {"grep_search", as_cfunction(grep_search), METH_FASTCALL,
     "grep_search(request_json, threads, /)\n--\n\n"
     "Search the files of grep segments (and the request's extra files) for an RE2\n"
     "pattern, reading only the docs the trigram query lets through and those changed\n"
     "since they were indexed. Returns (files, stats): files in ripgrep's --sort path\n"
     "order as (path, result), result a list of (line_number, offset, text, submatches\n"
     "or None for context), an int (mode count) or None (mode files). ValueError for a\n"
     "bad request or pattern, OSError for a segment that cannot be read or is damaged."},
    {"grep_merge_segments", as_cfunction(grep_merge_segments), METH_FASTCALL,
     "grep_merge_segments(out_path, inputs_json, /)\n--\n\n"
     "Write one grep segment holding the live docs of each input ([{\"path\", \"deleted\"}])\n"
     "in order; returns {\"files\": N}."},
    {"grep_verify_segment", as_cfunction(grep_verify_segment), METH_FASTCALL,
     "grep_verify_segment(path, /)\n--\n\n"
     "Check every byte of a grep segment against its checksums; OSError names a damaged file."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorpaline_core_py",
    "Native core of vorpaline: code-aware tokenising and log-TF sparse weighting.\n\n"
    "Functions take and return JSON text (read_repository_file gives bytes); the embedding functions release\n"
    "the interpreter lock while they work and may run in several threads at once.",
    sizeof(CoreState),
    methods,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace vorpaline_core

PyMODINIT_FUNC PyInit_vorpaline_core_py(void) {
  return PyModuleDef_Init(&vorpaline_core::module_def);
}
