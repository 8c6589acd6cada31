// The module object of vorpaline_core_py and its four functions.
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "batch_texts.hpp"
#include "embedder.hpp"
#include "input_error.hpp"
#include "profile.hpp"

namespace vorpaline_core {

namespace {

constexpr char kHandshake[] =
    "{\"capabilities\": [\"sparse_embed\", \"sparse_embed_batch\", \"sparse_explain\"], "
    "\"version\": \"" VORPALINE_CORE_VERSION "\"}";

PyObject* raise_failure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const InputError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_RuntimeError, "vorpaline_core_py internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "vorpaline_core_py internal error");
  }
  return nullptr;
}

// Runs `work` with the interpreter lock released and returns the reply it
// wrote as a str. No C++ exception leaves: each becomes a Python exception.
template <class Work>
PyObject* reply_without_gil(Work&& work) {
  std::string reply;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work(reply);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) return raise_failure(failure);
  return PyUnicode_DecodeUTF8(reply.data(), static_cast<Py_ssize_t>(reply.size()), "strict");
}

// Reads the (text, profile) argument pair shared by the embedding functions.
bool text_and_profile(const char* function, PyObject* const* args, Py_ssize_t nargs,
                      const char* text_name, std::string_view* text, std::string_view* profile) {
  return check_arity(function, nargs, 2) &&
         utf8_argument(function, args[0], 1, text_name, text) &&
         utf8_argument(function, args[1], 2, "profile_json", profile);
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
  return reply_without_gil([&](std::string& reply) {
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
  return reply_without_gil([&](std::string& reply) {
    const Profile profile = cached_profile(profile_json);
    const BatchTexts batch(texts_json);
    Embedder embedder(profile);
    embedder.write_batch(batch.texts(), reply);
  });
}

PyObject* sparse_explain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string_view text;
  std::string_view profile_json;
  if (!text_and_profile("sparse_explain", args, nargs, "text", &text, &profile_json)) {
    return nullptr;
  }
  return reply_without_gil([&](std::string& reply) {
    Embedder embedder(cached_profile(profile_json));
    embedder.write_explanation(text, reply);
  });
}

int exec_module(PyObject* module) {
  // Pick simdjson's kernel for this CPU now, while the interpreter lock is held,
  // rather than racing on first use in released-lock calls.
  (void)simdjson::get_active_implementation()->name();
  return PyModule_AddStringConstant(module, "__version__", VORPALINE_CORE_VERSION);
}

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

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
    "Every function takes and returns JSON text; the embedding functions release\n"
    "the interpreter lock while they work and may run in several threads at once.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorpaline_core

PyMODINIT_FUNC PyInit_vorpaline_core_py(void) {
  return PyModuleDef_Init(&vorpaline_core::module_def);
}
