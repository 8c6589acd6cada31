#include "request.hpp"

#include "input_error.hpp"
#include "padded_json.hpp"

namespace vorpaline_core::grep {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

[[noreturn]] void bad(const std::string& what) { throw InputError("grep_search: " + what); }

std::string text_of(element value, const char* what) {
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) bad(std::string(what) + " must be a string");
  return std::string(text);
}

std::vector<std::string> texts_of(element value, const char* what) {
  array items;
  if (value.get_array().get(items) != simdjson::SUCCESS) bad(std::string(what) + " must be a list of strings");
  std::vector<std::string> texts;
  for (element item : items) texts.push_back(text_of(item, what));
  return texts;
}

std::optional<std::vector<std::string>> optional_texts(object request, const char* key) {
  element value;
  if (request[key].get(value) != simdjson::SUCCESS || value.is_null()) return std::nullopt;
  return texts_of(value, key);
}

std::uint64_t count_of(element value, const char* what) {
  std::uint64_t number = 0;
  if (value.get_uint64().get(number) != simdjson::SUCCESS) bad(std::string(what) + " must be a count");
  return number;
}

std::vector<SegmentToSearch> segments_of(element value) {
  array items;
  if (value.get_array().get(items) != simdjson::SUCCESS) bad("segments must be a list");
  std::vector<SegmentToSearch> segments;
  for (element item : items) {
    object entry;
    element path;
    if (item.get_object().get(entry) != simdjson::SUCCESS || entry["path"].get(path) != simdjson::SUCCESS) {
      bad("a segment must be {\"path\": ..., \"deleted\": [...]}");
    }
    SegmentToSearch segment{text_of(path, "a segment's path"), {}};
    element deleted;
    if (entry["deleted"].get(deleted) == simdjson::SUCCESS && !deleted.is_null()) {
      array docs;
      if (deleted.get_array().get(docs) != simdjson::SUCCESS) bad("deleted must be a list of doc ids");
      for (element doc : docs) {
        const std::uint64_t id = count_of(doc, "a deleted doc");
        if (id <= UINT32_MAX) segment.deleted.push_back(static_cast<std::uint32_t>(id));
      }
    }
    segments.push_back(std::move(segment));
  }
  return segments;
}

std::vector<ExtraFile> extra_of(object request) {
  element value;
  if (request["extra"].get(value) != simdjson::SUCCESS || value.is_null()) return {};
  array items;
  if (value.get_array().get(items) != simdjson::SUCCESS) bad("extra must be a list");
  std::vector<ExtraFile> extra;
  for (element item : items) {
    array triple;
    if (item.get_array().get(triple) != simdjson::SUCCESS || triple.size() != 3) {
      bad("an extra file must be [path, size or null, mtime_ns or null]");
    }
    ExtraFile file{text_of(triple.at(0), "an extra file's path"), std::nullopt, std::nullopt};
    if (!triple.at(1).is_null()) file.size = count_of(triple.at(1), "an extra file's size");
    std::int64_t mtime = 0;
    if (!triple.at(2).is_null()) {
      if (triple.at(2).get_int64().get(mtime) != simdjson::SUCCESS) bad("an extra file's mtime_ns must be an integer");
      file.mtime_ns = mtime;
    }
    extra.push_back(std::move(file));
  }
  return extra;
}

MatchOptions options_of(object request) {
  MatchOptions options;
  const std::string mode = text_of(request["mode"].value_unsafe(), "mode");
  if (mode == "lines") {
    options.mode = Mode::kLines;
  } else if (mode == "files") {
    options.mode = Mode::kFiles;
  } else if (mode == "count") {
    options.mode = Mode::kCount;
  } else {
    bad("mode must be \"lines\", \"files\" or \"count\"");
  }
  element value;
  if (request["before"].get(value) == simdjson::SUCCESS && !value.is_null()) {
    options.before = static_cast<std::uint32_t>(std::min<std::uint64_t>(count_of(value, "before"), UINT32_MAX));
  }
  if (request["after"].get(value) == simdjson::SUCCESS && !value.is_null()) {
    options.after = static_cast<std::uint32_t>(std::min<std::uint64_t>(count_of(value, "after"), UINT32_MAX));
  }
  if (request["max_count"].get(value) == simdjson::SUCCESS && !value.is_null()) {
    options.max_count = count_of(value, "max_count");
  }
  if (request["match_group"].get(value) == simdjson::SUCCESS && !value.is_null()) {
    const std::uint64_t group = count_of(value, "match_group");
    if (group > kMaxMatchGroup) bad("match_group must be at most 9");
    options.match_group = static_cast<std::uint32_t>(group);
  }
  return options;
}

element required(object request, const char* key) {
  element value;
  if (request[key].get(value) != simdjson::SUCCESS) bad(std::string("the request has no \"") + key + "\"");
  return value;
}

}  // namespace

GrepRequest parse_request(std::string_view json) {
  const PaddedCopy padded(json);
  simdjson::dom::parser parser;
  object request;
  if (parser.parse(padded).get_object().get(request) != simdjson::SUCCESS) bad("the request must be a JSON object");
  GrepRequest result;
  result.root = text_of(required(request, "root"), "root");
  result.segments = segments_of(required(request, "segments"));
  result.listing = optional_texts(request, "listing");
  result.extra = extra_of(request);
  result.prefixes = optional_texts(request, "prefixes");
  result.globs = optional_texts(request, "globs").value_or(std::vector<std::string>{});
  result.type_globs = optional_texts(request, "type_globs").value_or(std::vector<std::string>{});
  result.pattern = text_of(required(request, "pattern"), "pattern");
  result.query = parse_query(required(request, "query"));
  required(request, "mode");
  result.options = options_of(request);
  return result;
}

}  // namespace vorpaline_core::grep
