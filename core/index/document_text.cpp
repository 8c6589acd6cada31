#include "document_text.hpp"

namespace vorpaline_core::index {

namespace {

std::string_view trimmed(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t\r\f\v");
  if (first == std::string_view::npos) return {};
  const std::size_t last = line.find_last_not_of(" \t\r\f\v");
  return line.substr(first, last - first + 1);
}

bool is_decoration(std::string_view line) {
  return line.starts_with('@') || line.starts_with('#') || line.starts_with("//") || line.starts_with("/*") ||
         line.starts_with('*') || line.starts_with("--") || line.starts_with(';');
}

}  // namespace

std::string_view head_line(std::string_view text) {
  std::string_view first_non_blank;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty()) continue;
    if (!is_decoration(line)) return line;
    if (first_non_blank.empty()) first_non_blank = line;
  }
  return first_non_blank;
}

void document_terms_text(std::string_view text, std::string_view path, std::string& out) {
  const std::string_view head = head_line(text);
  out.assign(text);
  for (int i = 0; i < kHeadLineRepeats; ++i) {
    out += '\n';
    out += head;
  }
  if (!path.empty()) {
    out += '\n';
    out += path;
  }
}

}  // namespace vorpaline_core::index
