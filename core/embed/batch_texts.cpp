#include "batch_texts.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "input_error.hpp"
#include "padded_json.hpp"

namespace vorpaline_core {

namespace {

// The whole-document parser only says that some string is bad; walk the array
// lazily to find which element holds it.
std::optional<std::size_t> find_bad_string(simdjson::padded_string_view padded) {
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::array elements;
  const simdjson::error_code parsed = parser.iterate(padded).get(document);
  throw_if_out_of_memory(parsed);
  if (parsed || document.get_array().get(elements)) return std::nullopt;
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

[[noreturn]] void reject_document(simdjson::padded_string_view padded,
                                  simdjson::error_code error) {
  throw_if_out_of_memory(error);
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
                     json_type_name(root.type()));
  }
  texts_.reserve(elements.size());
  for (simdjson::dom::element element : elements) {
    std::string_view text;
    if (element.get_string().get(text) != simdjson::SUCCESS) {
      throw InputError("batch element " + std::to_string(texts_.size()) +
                       " must be a string, got " + json_type_name(element.type()));
    }
    texts_.push_back(text);
  }
}

}  // namespace vorpaline_core
