// A grep search as the caller asks for it, read from its JSON text.
//
// {"root", "segments": [{"path", "deleted": [doc...]}], "listing": null|[path...],
//  "extra": [[path, size|null, mtime_ns|null]...], "prefixes": null|[path...],
//  "globs": [...], "type_globs": [...], "pattern", "query" (query_tree.hpp),
//  "mode": "lines"|"files"|"count", "before", "after", "max_count": null|int}.
// Every key must be there except "listing", "extra", "prefixes", "globs",
// "type_globs", "before", "after" and "max_count"; anything malformed
// throws InputError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_matcher.hpp"
#include "query_tree.hpp"

namespace vorpaline_core::grep {

struct SegmentToSearch {
  std::string path;
  std::vector<std::uint32_t> deleted;
};

struct ExtraFile {
  std::string path;
  std::optional<std::uint64_t> size;  // as last seen; unset: always read
  std::optional<std::int64_t> mtime_ns;
};

struct GrepRequest {
  std::string root;
  std::vector<SegmentToSearch> segments;
  std::optional<std::vector<std::string>> listing;
  std::vector<ExtraFile> extra;
  std::optional<std::vector<std::string>> prefixes;
  std::vector<std::string> globs;
  std::vector<std::string> type_globs;
  std::string pattern;
  QueryNode query;
  MatchOptions options;
};

GrepRequest parse_request(std::string_view json);

}  // namespace vorpaline_core::grep
