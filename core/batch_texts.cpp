#include "batch_texts.hpp"

#include <optional>
#include <string>

#include "input_error.hpp"

namespace vorpaline_core {

namespace {

const char* type_name(simdjson::dom::element_type type) {
  using simdjson::dom::element_type;
  switch (type) {
    case element_type::ARRAY: return "an array";
    case element_type::OBJECT: return "an object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return "a number";
    case element_type::STRING: return "a string";
    case element_type::BOOL: return "a bool";
    case element_type::NULL_VALUE: return "null";
  }
  return "an unknown value";
}

// The whole-document parser only says that some string is bad; walk the array
// lazily to find which element holds it.
std::optional<std::size_t> find_bad_string(const simdjson::padded_string& padded) {
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::array elements;
  if (parser.iterate(padded).get(document) || document.get_array().get(elements)) {
    return std::nullopt;
  }
  std::size_t position = 0;
  for (auto element : elements) {
    simdjson::ondemand::json_type type;
    if (element.type().get(type)) return std::nullopt;
    std::string_view text;
    if (type == simdjson::ondemand::json_type::string && element.get_string().get(text)) {
      return position;
    }
    ++position;
  }
  return std::nullopt;
}

[[noreturn]] void reject_document(const simdjson::padded_string& padded,
                                  simdjson::error_code error) {
  if (error == simdjson::STRING_ERROR) {
    if (const auto position = find_bad_string(padded)) {
      throw InputError("batch element " + std::to_string(*position) +
                       " is not a valid string: it holds a lone surrogate escape (such as "
                       "\\ud800), which cannot be encoded as UTF-8, or a bad escape");
    }
  }
  throw InputError(std::string("batch is not valid JSON: ") + simdjson::error_message(error));
}

}  // namespace

BatchTexts::BatchTexts(std::string_view json_text) : padded_(json_text) {
  simdjson::dom::element root;
  if (auto error = parser_.parse(padded_).get(root)) reject_document(padded_, error);
  simdjson::dom::array elements;
  if (root.get_array().get(elements) != simdjson::SUCCESS) {
    throw InputError(std::string("batch must be a JSON array of strings, got ") +
                     type_name(root.type()));
  }
  texts_.reserve(elements.size());
  for (simdjson::dom::element element : elements) {
    std::string_view text;
    if (element.get_string().get(text) != simdjson::SUCCESS) {
      throw InputError("batch element " + std::to_string(texts_.size()) +
                       " must be a string, got " + type_name(element.type()));
    }
    texts_.push_back(text);
  }
}

}  // namespace vorpaline_core
