// A grep search over grep segments and the files they name, as they are now.
//
// The docs considered are the live ones (not deleted, the last segment's when
// a path is in several) that the listing, prefixes and globs let through. A
// doc is read when the query tree lets it through or when it is stale: when
// lstat (no link followed) says it is no longer the regular file of the size
// and mtime its segment recorded; a doc whose file is gone is left out. The
// extra files, under the same filters, are read when lstat gives another
// size or mtime than the caller's (or the caller gave none). Reading goes
// through scan/guarded_open.hpp; a file with a NUL byte is binary and skipped.
// Files come back in ripgrep's --sort path order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line_matcher.hpp"
#include "request.hpp"

namespace vorpaline_core::grep {

struct FileResult {
  std::string path;
  FileMatches matches;
};

struct SearchStats {
  std::uint64_t docs = 0;
  std::uint64_t candidates = 0;
  std::uint64_t stale = 0;
  std::uint64_t extra_read = 0;
  std::uint64_t bytes_searched = 0;
  std::uint64_t matched_lines = 0;
  std::uint64_t matches = 0;
};

struct SearchResult {
  std::vector<FileResult> files;  // with at least one match
  SearchStats stats;
};

// Throws InputError for a bad request or pattern (RE2's message), and
// std::system_error for a segment that cannot be read or is damaged.
SearchResult search(const GrepRequest& request, unsigned threads);

// ripgrep's --sort path: component by component, '/' below every other byte.
bool path_order(std::string_view a, std::string_view b);

}  // namespace vorpaline_core::grep
