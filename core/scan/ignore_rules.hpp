// One ignore file's patterns, matched as git matches the lines of a
// .gitignore (gitignore(5)).
//
// A line is trimmed of its line end (LF or CRLF) and of trailing spaces that
// no `\` escapes (tabs stay); blank lines and lines starting with `#` are not
// patterns; a UTF-8 byte order mark before the first line is skipped. `!`
// negates, a trailing `/` matches directories only, a pattern without any
// other `/` matches a name at any depth below the file's folder, and one with
// a `/` (leading or inner) matches the path relative to that folder. Within a
// file the last matching pattern decides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::scan {

struct IgnorePattern {
  std::string text;      // the line as written, after trimming: what an explanation shows
  std::string glob;      // without `!`, the trailing `/` and (for paths) the leading `/`
  std::size_t literal_prefix = 0;  // bytes of `glob` before its first special byte
  std::uint32_t line = 0;          // 1-based line in its source
  bool negated = false;
  bool directories_only = false;
  bool matches_names = false;  // no `/` inside: matched against the last path component
  // For a name pattern: the whole glob is literal, or `*` and then a literal
  // suffix, the usual shapes ("build", "*.pyc"), matched without globbing.
  bool literal_name = false;
  bool star_then_suffix = false;
};

class IgnoreRules {
 public:
  // `source` names the rules in explanations; `base` is the folder the
  // patterns are relative to, "" or ending in '/', relative to the top of the
  // tree the matched paths are relative to.
  IgnoreRules(std::string source, std::string base) : source_(std::move(source)), base_(std::move(base)) {}

  // Adds the lines of an ignore file's contents.
  void add_lines(std::string_view contents);
  // Adds one pattern as if it were a line of its own (`line` numbers it).
  void add_line(std::string_view line, std::uint32_t line_number);

  // The pattern that decides `path` (relative to the tree's top, no trailing
  // '/'), or null when none matches. `name_start` is where its last component begins.
  const IgnorePattern* decide(std::string_view path, std::size_t name_start, bool is_directory) const;

  const std::string& source() const { return source_; }
  bool empty() const { return patterns_.empty(); }

 private:
  bool matches(const IgnorePattern& pattern, std::string_view path, std::size_t name_start) const;

  std::string source_;
  std::string base_;
  std::vector<IgnorePattern> patterns_;
};

using SharedRules = std::shared_ptr<const IgnoreRules>;

}  // namespace vorpaline_core::scan
