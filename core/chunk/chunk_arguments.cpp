#include "chunk_arguments.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "input_error.hpp"
#include "padded_json.hpp"

namespace vorpaline_core::chunk {

namespace {

constexpr char kFunction[] = "chunk_text_with_definitions: ";

std::uint32_t line_number(std::uint64_t number) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(number, UINT32_MAX));
}

}  // namespace

std::vector<DefinitionSpan> definition_spans(std::string_view spans_json) {
  const PaddedCopy padded(spans_json);
  simdjson::dom::parser parser;
  simdjson::dom::array spans;
  const std::string wrong =
      std::string(kFunction) + "spans_json must be a JSON array of [first_line, last_line] pairs";
  const simdjson::error_code error = parser.parse(padded).get_array().get(spans);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) throw InputError(wrong);
  std::vector<DefinitionSpan> result;
  result.reserve(spans.size());
  for (simdjson::dom::element item : spans) {
    simdjson::dom::array pair;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    if (item.get_array().get(pair) != simdjson::SUCCESS || pair.size() != 2 ||
        pair.at(0).get_uint64().get(first) != simdjson::SUCCESS ||
        pair.at(1).get_uint64().get(last) != simdjson::SUCCESS) {
      throw InputError(wrong);
    }
    result.push_back({line_number(first), line_number(last)});
  }
  return result;
}

ChunkLimits chunk_limits(std::string_view limits_json) {
  const PaddedCopy padded(limits_json);
  simdjson::dom::parser parser;
  simdjson::dom::object limits;
  const simdjson::error_code error = parser.parse(padded).get_object().get(limits);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) {
    throw InputError(std::string(kFunction) + "limits_json must be a JSON object");
  }
  ChunkLimits result;
  for (auto [key, value] : limits) {
    std::uint64_t number = 0;
    if (value.get_uint64().get(number) != simdjson::SUCCESS) {
      throw InputError(std::string(kFunction) + "limit \"" + std::string(key) +
                       "\" must be an integer from 0");
    }
    if (key == "max_lines") {
      result.max_lines = line_number(number);
    } else if (key == "min_lines") {
      result.min_lines = line_number(number);
    } else if (key == "merge_lines") {
      result.merge_lines = line_number(number);
    } else if (key == "max_bytes") {
      result.max_bytes = static_cast<std::size_t>(number);
    } else {
      throw InputError(std::string(kFunction) + "unknown limit \"" + std::string(key) + "\"");
    }
  }
  return result;
}

}  // namespace vorpaline_core::chunk
