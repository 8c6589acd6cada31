#include "scan_config.hpp"

#include <simdjson.h>

#include "input_error.hpp"
#include "padded_json.hpp"

namespace vorpaline_core::scan {

namespace {

using simdjson::dom::element;

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
  throw InputError("scan configuration: \"" + std::string(key) + "\" " + std::string(problem));
}

element member(simdjson::dom::object config, std::string_view key) {
  element value;
  if (config[key].get(value) != simdjson::SUCCESS) fail(key, "is missing");
  return value;
}

std::string string_member(simdjson::dom::object config, std::string_view key) {
  const element value = member(config, key);
  if (!value.is_string()) fail(key, std::string("must be a string, not ") + json_type_name(value.type()));
  return std::string(std::string_view(value));
}

bool bool_member(simdjson::dom::object config, std::string_view key) {
  const element value = member(config, key);
  if (!value.is_bool()) fail(key, std::string("must be a boolean, not ") + json_type_name(value.type()));
  return bool(value);
}

std::vector<std::string> patterns_member(simdjson::dom::object config, std::string_view key) {
  const element value = member(config, key);
  if (!value.is_array()) {
    fail(key, std::string("must be an array of strings, not ") + json_type_name(value.type()));
  }
  std::vector<std::string> patterns;
  std::size_t position = 0;
  for (const element item : simdjson::dom::array(value)) {
    if (!item.is_string()) {
      fail(key, "item " + std::to_string(position) + " must be a string, not " + json_type_name(item.type()));
    }
    patterns.emplace_back(std::string_view(item));
    ++position;
  }
  return patterns;
}

}  // namespace

ScanConfig parse_scan_config(std::string_view config_json) {
  const PaddedCopy padded(config_json);
  simdjson::dom::parser parser;
  element document;
  const simdjson::error_code error = parser.parse(padded).get(document);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) {
    throw InputError(std::string("scan configuration is not valid JSON: ") + simdjson::error_message(error));
  }
  if (!document.is_object()) {
    throw InputError(std::string("scan configuration must be a JSON object, not ") + json_type_name(document.type()));
  }
  const simdjson::dom::object config(document);
  ScanConfig result;
  result.repo_root = string_member(config, "repo_root");
  if (result.repo_root.empty()) fail("repo_root", "is empty");
  if (result.repo_root.find('\0') != std::string::npos) fail("repo_root", "holds a NUL character");
  result.builtin_patterns = patterns_member(config, "builtin_patterns");
  result.extra_patterns = patterns_member(config, "extra_patterns");
  result.ignore_mode = string_member(config, "ignore_mode");
  result.use_gitignore = bool_member(config, "use_gitignore");
  result.use_vorpalineignore = bool_member(config, "use_vorpalineignore");
  result.replace_builtin_patterns = bool_member(config, "replace_builtin_patterns");
  if (element value; config["stamps"].get(value) == simdjson::SUCCESS) {
    if (!value.is_bool()) fail("stamps", std::string("must be a boolean, not ") + json_type_name(value.type()));
    result.stamps = bool(value);
  }
  if (element value; config["known_files"].get(value) == simdjson::SUCCESS) {
    if (!value.is_string()) fail("known_files", std::string("must be a string, not ") + json_type_name(value.type()));
    result.known_files = std::string(std::string_view(value));
    if (result.known_files.empty() || result.known_files.find('\0') != std::string::npos) {
      fail("known_files", "must name a file");
    }
  }
  if (element value; config["known_need_grep"].get(value) == simdjson::SUCCESS) {
    if (!value.is_bool()) fail("known_need_grep", std::string("must be a boolean, not ") + json_type_name(value.type()));
    result.known_need_grep = bool(value);
  }
  return result;
}

}  // namespace vorpaline_core::scan
