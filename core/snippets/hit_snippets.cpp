#include "snippets/hit_snippets.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "embed/reply_writer.hpp"
#include "input_error.hpp"
#include "padded_json.hpp"
#include "snippets/best_line.hpp"
#include "snippets/chunk_reading.hpp"
#include "snippets/line_terms.hpp"

namespace vorpaline_core::snippets {

namespace {

using simdjson::dom::element;

[[noreturn]] void bad(const std::string& message) { throw InputError("hit_snippets: " + message); }

// The member `key` of `object`, if it is there and not null.
std::optional<element> member(const simdjson::dom::object& object, std::string_view key) {
  element value;
  if (object[key].get(value) != simdjson::SUCCESS || value.is_null()) return std::nullopt;
  return value;
}

std::int64_t integer(element value, std::string_view what) {
  std::int64_t number = 0;
  if (value.get_int64().get(number) != simdjson::SUCCESS) bad(std::string(what) + " must be an integer");
  return number;
}

std::optional<std::int64_t> optional_integer(const simdjson::dom::object& object, std::string_view key) {
  const std::optional<element> value = member(object, key);
  return value ? std::optional(integer(*value, key)) : std::nullopt;
}

std::string_view text(element value, std::string_view what) {
  std::string_view got;
  if (value.get_string().get(got) != simdjson::SUCCESS) bad(std::string(what) + " must be a string");
  return got;
}

bool flag(const simdjson::dom::object& object, std::string_view key, bool otherwise) {
  const std::optional<element> value = member(object, key);
  if (!value) return otherwise;
  bool got = false;
  if (value->get_bool().get(got) != simdjson::SUCCESS) bad(std::string(key) + " must be true or false");
  return got;
}

simdjson::dom::array array(element value, std::string_view what) {
  simdjson::dom::array items;
  if (value.get_array().get(items) != simdjson::SUCCESS) bad(std::string(what) + " must be a list");
  return items;
}

std::string from_hex(std::string_view hex, std::string_view what) {
  const auto digit = [&](char c) -> unsigned {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    bad(std::string(what) + " must be lower-case hex digits");
  };
  if (hex.size() % 2 != 0) bad(std::string(what) + " must be an even count of hex digits");
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1])));
  return bytes;
}

// A file name given as UTF-8 text under `key`, or as the hex of its bytes under key + "_hex".
std::optional<std::string> file_name(const simdjson::dom::object& object, std::string_view key) {
  if (const std::optional<element> value = member(object, key)) return std::string(text(*value, key));
  const std::string hex_key = std::string(key) + "_hex";
  if (const std::optional<element> value = member(object, hex_key)) return from_hex(text(*value, hex_key), hex_key);
  return std::nullopt;
}

std::vector<std::uint32_t> query_terms(const simdjson::dom::object& request) {
  std::vector<std::uint32_t> terms;
  if (const std::optional<element> value = member(request, "terms")) {
    for (element term : array(*value, "terms")) {
      const std::int64_t index = integer(term, "a term");
      if (index < 0 || index > UINT32_MAX) bad("a term must be a token index");
      terms.push_back(static_cast<std::uint32_t>(index));
    }
  }
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  return terms;
}

std::vector<std::int64_t> defined_at(const simdjson::dom::object& hit) {
  std::vector<std::int64_t> offsets;
  if (const std::optional<element> value = member(hit, "defined_at")) {
    for (element offset : array(*value, "defined_at")) offsets.push_back(integer(offset, "a defined_at offset"));
  }
  return offsets;
}

FileChunk file_chunk(const simdjson::dom::object& hit, std::string_view path) {
  FileChunk chunk;
  chunk.path = path;
  const std::optional<element> first = member(hit, "first"), last = member(hit, "last");
  if (!first || !last) bad("a file's hit needs \"first\" and \"last\"");
  chunk.first = integer(*first, "first");
  chunk.last = integer(*last, "last");
  if (chunk.first < 1 || chunk.last < chunk.first) bad("a hit's lines must run from first >= 1 to last >= first");
  chunk.begin = optional_integer(hit, "begin");
  chunk.end = optional_integer(hit, "end");
  if (chunk.begin.has_value() != chunk.end.has_value()) bad("a hit's \"begin\" and \"end\" come together");
  chunk.mtime_ns = optional_integer(hit, "mtime_ns");
  if (const std::optional<std::int64_t> size = optional_integer(hit, "size")) {
    if (!chunk.mtime_ns || *size < 0) bad("an indexed file's \"size\" (at least 0) and \"mtime_ns\" come together");
    chunk.size = static_cast<std::uint64_t>(*size);
  } else if (chunk.mtime_ns) {
    bad("an indexed file's \"size\" and \"mtime_ns\" come together");
  }
  return chunk;
}

// The hit's lines: read from its file, cut from its text, or given.
ReadChunk hit_lines(const simdjson::dom::object& hit, ChunkReader* reader) {
  if (const std::optional<std::string> path = file_name(hit, "path")) {
    if (reader == nullptr) bad("a file's hit needs the request's \"root\"");
    return reader->read(file_chunk(hit, *path));
  }
  ReadChunk read;
  if (const std::optional<element> value = member(hit, "text")) {
    read.lines = ChunkLines::of_bytes(text(*value, "text"), 0, SIZE_MAX);
  } else if (const std::optional<element> value = member(hit, "lines")) {
    std::vector<std::string_view> given;
    for (element line : array(*value, "lines")) given.push_back(text(line, "a line"));
    read.lines = ChunkLines::of_given(given);
  } else {
    bad("a hit needs \"path\", \"text\" or \"lines\"");
  }
  return read;
}

void append_joined(ReplyBuffer& reply, const ChunkLines& lines, std::size_t start, std::size_t end) {
  std::string joined;
  for (std::size_t line = start; line < end; ++line) {
    if (line > start) joined.push_back('\n');
    joined.append(lines[line]);
  }
  append_string(reply, joined);
}

void append_lines(ReplyBuffer& reply, const ChunkLines& lines) {
  reply.append(",\"lines\":[");
  for (std::size_t line = 0; line < lines.size(); ++line) {
    if (line > 0) reply.push_back(',');
    append_string(reply, lines[line]);
  }
  reply.push_back(']');
}

struct Wanted {
  bool snippets;
  bool lines;
};

void append_hit(ReplyBuffer& reply, const simdjson::dom::object& hit, const ReadChunk& read,
                QueryTermFinder& finder, Wanted wanted) {
  if (read.gone) {
    reply.append("{\"gone\":true}");
    return;
  }
  reply.append("{\"stale\":");
  append_bool(reply, read.stale);
  reply.append(",\"count\":");
  append_uint(reply, read.lines.size());
  if (wanted.snippets) {
    const Choice choice = choose_lines(read.lines, finder.find(read.lines), defined_at(hit));
    reply.append(",\"best\":");
    append_uint(reply, choice.best);
    reply.append(",\"start\":");
    append_uint(reply, choice.start);
    reply.append(",\"snippet\":");
    append_joined(reply, read.lines, choice.start, choice.end);
  }
  if (wanted.lines) append_lines(reply, read.lines);
  reply.push_back('}');
}

}  // namespace

void write_hit_snippets(std::string_view request_json, std::string_view profile_json, ReplyBuffer& reply) {
  const PaddedCopy padded(request_json);
  simdjson::dom::parser parser;
  simdjson::dom::object request;
  const simdjson::error_code error = parser.parse(padded).get_object().get(request);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) bad("the request must be a JSON object");
  const std::optional<std::string> root = file_name(request, "root");
  const std::optional<element> hits = member(request, "hits");
  if (!hits) bad("the request needs \"hits\"");
  const std::vector<std::uint32_t> terms = query_terms(request);
  const Wanted wanted{flag(request, "snippets", true), flag(request, "lines", false)};
  // The profile is read only when there is something to tokenise.
  const bool tokenises = wanted.snippets && !terms.empty();
  QueryTermFinder finder(tokenises ? cached_profile(profile_json) : Profile{}, terms);
  std::optional<ChunkReader> reader;
  if (root) reader.emplace(*root);
  reply.append("{\"hits\":[");
  bool first = true;
  for (element item : array(*hits, "hits")) {
    simdjson::dom::object hit;
    if (item.get_object().get(hit) != simdjson::SUCCESS) bad("each hit must be an object");
    if (!first) reply.push_back(',');
    first = false;
    append_hit(reply, hit, hit_lines(hit, reader ? &*reader : nullptr), finder, wanted);
  }
  reply.append("]}");
}

}  // namespace vorpaline_core::snippets
