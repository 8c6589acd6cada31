// Which paths a search keeps under ripgrep's -g/--glob and -t/--type rules,
// each glob matched with git's wildmatch (wildmatch.hpp).
//
// A -g glob is read as a line of a .gitignore with its sense turned over: a
// plain glob keeps what it matches, `!glob` drops it. One without a `/`
// (but at its end) matches a name at any depth, one with a `/` is anchored
// at the root, a trailing `/` matches folders only, `{a,b}` is either. The
// last glob that matches decides; when some glob keeps, a file no glob
// matches is dropped. A folder a `!` glob matches drops everything under it,
// but a folder a plain glob matches keeps nothing under it by itself: ripgrep
// tests every file against the globs again.
//
// Types apply only where no glob matched: file-name globs, the last match
// deciding, a `!` marking a type left out; when some type is selected, a file
// of no type is dropped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::scan {

class PathRules {
 public:
  // Throws InputError for a glob ripgrep refuses (an unclosed `[` or `{`,
  // nested `{`, a dangling `\`, a class name C has not), and for globs whose
  // alternatives stand for more than kMaxGlobPatterns patterns.
  PathRules(const std::vector<std::string>& globs, const std::vector<std::string>& type_globs);

  // `path` is relative to the root, `/`-separated.
  bool keeps(std::string_view path) const;

 private:
  struct Glob {
    std::string pattern;
    bool drops;
    bool folders_only;
  };
  struct TypeGlob {
    std::string pattern;
    bool drops;
  };

  void add_glob(std::string_view line);
  const Glob* last_matching(std::string_view path, bool is_folder) const;
  bool kept_by_type(std::string_view path) const;

  std::vector<Glob> globs_;
  bool any_glob_keeps_ = false;
  bool any_glob_drops_ = false;
  std::vector<TypeGlob> type_globs_;
  bool any_type_selected_ = false;
};

// The most patterns the globs of one PathRules may stand for: each group of
// alternatives multiplies them, and every path is matched against them all.
constexpr std::size_t kMaxGlobPatterns = 1024;

// The patterns `{a,b}` stands for, in order: one level, as ripgrep reads it;
// `\` escapes and `[...]` classes keep their braces and commas. Throws
// InputError naming `glob` for an unclosed or nested group, or for more than
// `limit` patterns.
std::vector<std::string> expand_alternatives(std::string_view pattern, std::string_view glob, std::size_t limit);

// Throws InputError naming `glob` unless wildmatch can read `pattern`.
void check_readable(std::string_view pattern, std::string_view glob);

}  // namespace vorpaline_core::scan
