#include "ignore_rules.hpp"

#include "wildmatch.hpp"

namespace vorpaline_core::scan {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Drops trailing spaces, unless a `\` escapes the last of them. A line ending
// in a lone `\` is kept whole: that pattern can never match.
std::string_view trim_trailing_spaces(std::string_view line) {
  std::size_t keep = line.size();
  bool in_spaces = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') {
      if (!in_spaces) keep = i;
      in_spaces = true;
      continue;
    }
    if (line[i] == '\\' && ++i == line.size()) return line;
    in_spaces = false;
  }
  return in_spaces ? line.substr(0, keep) : line;
}

std::size_t literal_length(std::string_view glob) {
  std::size_t length = 0;
  while (length < glob.size() && !is_glob_special(glob[length])) ++length;
  return length;
}

}  // namespace

void IgnoreRules::add_lines(std::string_view contents) {
  if (contents.starts_with(kByteOrderMark)) contents.remove_prefix(kByteOrderMark.size());
  std::uint32_t line_number = 0;
  while (!contents.empty()) {
    const std::size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);
    ++line_number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    add_line(line, line_number);
  }
}

void IgnoreRules::add_line(std::string_view line, std::uint32_t line_number) {
  if (line.starts_with('#')) return;
  line = line.substr(0, line.find('\0'));  // a NUL ends the pattern, as in a C string
  line = trim_trailing_spaces(line);
  if (line.empty()) return;

  IgnorePattern pattern;
  pattern.text = line;
  pattern.line = line_number;
  if (line.starts_with('!')) {
    pattern.negated = true;
    line.remove_prefix(1);
  }
  if (line.ends_with('/')) {
    pattern.directories_only = true;
    line.remove_suffix(1);
  }
  if (line.empty()) return;  // "!", "/" and "!/" match nothing
  pattern.matches_names = line.find('/') == std::string_view::npos;
  if (!pattern.matches_names && line.starts_with('/')) line.remove_prefix(1);
  pattern.glob = line;
  pattern.literal_prefix = literal_length(line);
  if (pattern.matches_names) {
    pattern.literal_name = pattern.literal_prefix == line.size();
    pattern.star_then_suffix = line.size() > 1 && line[0] == '*' && literal_length(line.substr(1)) == line.size() - 1;
  }
  patterns_.push_back(std::move(pattern));
}

bool IgnoreRules::matches(const IgnorePattern& pattern, std::string_view path,
                          std::size_t name_start) const {
  if (pattern.matches_names) {
    const std::string_view name = path.substr(name_start);
    if (pattern.literal_name) return name == pattern.glob;
    if (pattern.star_then_suffix) return name.ends_with(std::string_view(pattern.glob).substr(1));
    return wildmatch(pattern.glob, name, GlobMode::any_byte);
  }
  if (path.size() <= base_.size() || !path.starts_with(base_)) return false;
  std::string_view name = path.substr(base_.size());
  std::string_view glob = pattern.glob;
  // The literal head is compared first; what follows it is globbed on its own,
  // so a `**` right after the head counts as starting a path segment.
  const std::size_t head = pattern.literal_prefix;
  if (head > 0) {
    if (head > name.size() || name.substr(0, head) != glob.substr(0, head)) return false;
    glob.remove_prefix(head);
    name.remove_prefix(head);
    if (glob.empty()) return name.empty();
  }
  return wildmatch(glob, name, GlobMode::path);
}

const IgnorePattern* IgnoreRules::decide(std::string_view path, std::size_t name_start,
                                         bool is_directory) const {
  for (auto pattern = patterns_.rbegin(); pattern != patterns_.rend(); ++pattern) {
    if (pattern->directories_only && !is_directory) continue;
    if (matches(*pattern, path, name_start)) return &*pattern;
  }
  return nullptr;
}

}  // namespace vorpaline_core::scan
