#include "path_rules.hpp"

#include <algorithm>
#include <cstddef>

#include "input_error.hpp"
#include "wildmatch.hpp"

namespace vorpaline_core::scan {

namespace {

[[noreturn]] void refuse(std::string_view glob, std::string_view why) {
  throw InputError("glob '" + std::string(glob) + "': " + std::string(why));
}

[[noreturn]] void refuse_too_many(std::string_view glob) {
  refuse(glob, "the globs stand for more than " + std::to_string(kMaxGlobPatterns) + " patterns");
}

bool is_trailing_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' || byte == '\v';
}

bool is_class_name(std::string_view name) {
  for (std::string_view known : {"alnum", "alpha", "blank", "cntrl", "digit", "graph", "lower", "print", "punct",
                                 "space", "upper", "xdigit"}) {
    if (name == known) return true;
  }
  return false;
}

// Where the atom at `i` ends: an escaped byte, a whole `[...]` class (its
// first member may be `]`), or one byte. A class with no end runs to the end.
std::size_t atom_end(std::string_view pattern, std::size_t i) {
  if (pattern[i] == '\\') return std::min(i + 2, pattern.size());
  if (pattern[i] != '[') return i + 1;
  std::size_t j = i + 1;
  if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) ++j;
  if (j < pattern.size() && pattern[j] == ']') ++j;
  for (; j < pattern.size(); ++j) {
    if (pattern[j] == '\\') {
      ++j;
    } else if (pattern[j] == ']') {
      return j + 1;
    }
  }
  return pattern.size();
}

}  // namespace

std::vector<std::string> expand_alternatives(std::string_view pattern, std::string_view glob, std::size_t limit) {
  std::vector<std::string> expanded{std::string()};
  std::size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] != '{') {
      const std::size_t end = atom_end(pattern, i);
      for (std::string& so_far : expanded) so_far.append(pattern.substr(i, end - i));
      i = end;
      continue;
    }
    std::vector<std::string> alternatives{std::string()};
    std::size_t j = i + 1;
    bool closed = false;
    while (j < pattern.size() && !closed) {
      if (pattern[j] == '}') {
        closed = true;
        ++j;
      } else if (pattern[j] == ',') {
        alternatives.emplace_back();
        ++j;
      } else if (pattern[j] == '{') {
        refuse(glob, "nested alternate groups are not allowed");
      } else {
        const std::size_t end = atom_end(pattern, j);
        alternatives.back().append(pattern.substr(j, end - j));
        j = end;
      }
    }
    if (!closed) refuse(glob, "unclosed alternate group; missing '}'");
    if (alternatives.size() > limit / expanded.size()) refuse_too_many(glob);
    std::vector<std::string> crossed;
    crossed.reserve(expanded.size() * alternatives.size());
    for (const std::string& so_far : expanded) {
      for (const std::string& alternative : alternatives) crossed.push_back(so_far + alternative);
    }
    expanded = std::move(crossed);
    i = j;
  }
  if (expanded.size() > limit) refuse_too_many(glob);
  return expanded;
}

// The classes are read as wildmatch reads them (its class_end), so that
// what passes here is what it can match with.
void check_readable(std::string_view pattern, std::string_view glob) {
  const auto at = [&](std::size_t i) { return i < pattern.size() ? pattern[i] : '\0'; };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      if (++i == pattern.size()) refuse(glob, "dangling '\\'");
      continue;
    }
    if (pattern[i] != '[') continue;
    std::size_t j = i + 1;
    if (at(j) == '!' || at(j) == '^') ++j;
    do {
      if (at(j) == '\0') refuse(glob, "unclosed character class; missing ']'");
      if (at(j) == '\\') {
        if (at(++j) == '\0') refuse(glob, "unclosed character class; missing ']'");
      } else if (at(j) == '[' && at(j + 1) == ':') {
        const std::size_t name_start = j + 2;
        std::size_t end = name_start;
        while (at(end) != '\0' && at(end) != ']') ++end;
        if (at(end) == '\0') refuse(glob, "unclosed character class; missing ']'");
        if (end == name_start || pattern[end - 1] != ':') continue;  // a plain `[` member
        const std::string_view name = pattern.substr(name_start, end - 1 - name_start);
        if (!is_class_name(name)) refuse(glob, "unknown character class '" + std::string(name) + "'");
        j = end;
      }
    } while (at(++j) != ']');
    i = j;
  }
}

PathRules::PathRules(const std::vector<std::string>& globs, const std::vector<std::string>& type_globs) {
  for (const std::string& glob : globs) add_glob(glob);
  for (std::string_view glob : type_globs) {
    const bool drops = glob.starts_with('!');
    if (drops) glob.remove_prefix(1);
    check_readable(glob, glob);
    type_globs_.push_back({std::string(glob), drops});
    any_type_selected_ = any_type_selected_ || !drops;
  }
}

// A line of a .gitignore as ripgrep's overrides read it.
void PathRules::add_glob(std::string_view line) {
  const std::string_view original = line;
  if (line.starts_with('#')) return;
  if (!line.ends_with("\\ ")) {
    while (!line.empty() && is_trailing_space(line.back())) line.remove_suffix(1);
  }
  if (line.empty()) return;
  bool drops = false;
  bool anchored = false;
  if (line.starts_with("\\!") || line.starts_with("\\#")) {
    line.remove_prefix(1);
  } else {
    if (line.starts_with('!')) {
      drops = true;
      line.remove_prefix(1);
    }
    if (line.starts_with('/')) {
      anchored = true;
      line.remove_prefix(1);
    }
  }
  const bool folders_only = line.ends_with('/');
  if (folders_only) line.remove_suffix(1);
  std::string pattern(line);
  if (!anchored && line.find('/') == std::string_view::npos && pattern != "**") pattern = "**/" + pattern;
  // `dir/**` is what is inside the folder, not the folder too.
  if (pattern.ends_with("/**")) pattern += "/*";
  for (std::string& alternative : expand_alternatives(pattern, original, kMaxGlobPatterns - globs_.size())) {
    check_readable(alternative, original);
    globs_.push_back({std::move(alternative), drops, folders_only});
  }
  any_glob_keeps_ = any_glob_keeps_ || !drops;
  any_glob_drops_ = any_glob_drops_ || drops;
}

const PathRules::Glob* PathRules::last_matching(std::string_view path, bool is_folder) const {
  for (auto glob = globs_.rbegin(); glob != globs_.rend(); ++glob) {
    if (glob->folders_only && !is_folder) continue;
    if (wildmatch(glob->pattern, path, GlobMode::path)) return &*glob;
  }
  return nullptr;
}

bool PathRules::kept_by_type(std::string_view path) const {
  if (type_globs_.empty()) return true;
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (auto glob = type_globs_.rbegin(); glob != type_globs_.rend(); ++glob) {
    if (wildmatch(glob->pattern, name, GlobMode::any_byte)) return !glob->drops;
  }
  return !any_type_selected_;
}

bool PathRules::keeps(std::string_view path) const {
  // ripgrep walks down to the file: a folder a `!` glob drops is not entered.
  if (any_glob_drops_) {
    for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
      const Glob* glob = last_matching(path.substr(0, slash), true);
      if (glob != nullptr && glob->drops) return false;
    }
  }
  if (const Glob* glob = last_matching(path, false)) return !glob->drops;
  if (any_glob_keeps_) return false;
  return kept_by_type(path);
}

}  // namespace vorpaline_core::scan
