#include "symbols_binding.hpp"

#include <simdjson.h>

#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "binding.hpp"
#include "input_error.hpp"
#include "padded_json.hpp"
#include "scan/json_text.hpp"
#include "symbols/language_registry.hpp"
#include "symbols/symbol_extractor.hpp"
#include "symbols/symbol_json.hpp"

namespace vorpaline_core {

namespace {

constexpr char kCapsuleName[] = "tree_sitter.Language";

std::vector<std::string> extension_list(std::string_view extensions_json) {
  const PaddedCopy padded(extensions_json);
  simdjson::dom::parser parser;
  simdjson::dom::array items;
  const simdjson::error_code error = parser.parse(padded).get_array().get(items);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) {
    throw InputError("symbols_register_language: extensions_json must be a JSON array of strings");
  }
  std::vector<std::string> extensions;
  for (simdjson::dom::element item : items) {
    std::string_view extension;
    if (item.get_string().get(extension) != simdjson::SUCCESS) {
      throw InputError("symbols_register_language: extensions_json must be a JSON array of strings");
    }
    extensions.emplace_back(extension);
  }
  return extensions;
}

void put_symbols(scan::StringSink& sink, const symbols::Language* language, const symbols::FileSymbols& found) {
  sink.put("{\"language\":");
  if (language == nullptr) {
    sink.put("null");
  } else {
    scan::put_string(sink, language->name);
  }
  sink.put(",\"definitions\":");
  symbols::put_definitions(sink, found.definitions);
  sink.put(",\"references\":");
  symbols::put_references(sink, found.references);
  sink.put('}');
}

}  // namespace

PyObject* symbols_register_language(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "symbols_register_language";
  std::string_view name, tags_query, extensions_json;
  if (!check_arity(kName, nargs, 4) || !utf8_argument(kName, args[0], 1, "name", &name) ||
      !utf8_argument(kName, args[2], 3, "tags_query", &tags_query) ||
      !utf8_argument(kName, args[3], 4, "extensions_json", &extensions_json)) {
    return nullptr;
  }
  if (!PyCapsule_IsValid(args[1], kCapsuleName)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 2 ('language') must be a %s capsule, not %.200s", kName,
                 kCapsuleName, Py_TYPE(args[1])->tp_name);
    return nullptr;
  }
  const auto* grammar = static_cast<const TSLanguage*>(PyCapsule_GetPointer(args[1], kCapsuleName));
  if (grammar == nullptr) return nullptr;
  if (const std::exception_ptr failure = run_without_gil([&] {
        symbols::register_language(std::string(name), grammar, tags_query, extension_list(extensions_json));
      })) {
    return raise_failure(failure);
  }
  // The registry keeps the grammar for the process's life: so does this reference to its holder.
  Py_INCREF(args[1]);
  Py_RETURN_NONE;
}

PyObject* symbols_of_text(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  static constexpr char kName[] = "symbols_of_text";
  std::string_view path, text;
  if (!check_arity(kName, nargs, 2) || !utf8_argument(kName, args[0], 1, "path", &path) ||
      !utf8_argument(kName, args[1], 2, "text", &text)) {
    return nullptr;
  }
  std::string reply;
  if (const std::exception_ptr failure = run_without_gil([&] {
        thread_local symbols::SymbolExtractor extractor;
        const symbols::Language* language = symbols::language_for_path(path);
        symbols::FileSymbols found;
        if (language != nullptr) extractor.extract(*language, text, found);
        scan::StringSink sink;
        put_symbols(sink, language, found);
        reply = std::move(sink.text);
      })) {
    return raise_failure(failure);
  }
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

}  // namespace vorpaline_core
