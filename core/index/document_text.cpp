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

std::uint32_t FieldCounter::add(SegmentWriter& writer, const FieldTexts& texts, std::string_view metadata,
                                std::string_view symbols, std::uint32_t roles) {
  const std::string_view field_texts[kFieldCount] = {texts.text, texts.names, texts.path};
  SegmentWriter::FieldTerms fields;
  for (std::size_t field = 0; field < kFieldCount; ++field) {
    // The embedder's counts live until its next call: each field keeps a copy.
    const std::span<const TermCount> counted = embedder_.count_terms_unsorted(field_texts[field]);
    counts_[field].assign(counted.begin(), counted.end());
    fields[field] = counts_[field];
  }
  return writer.add(fields, metadata, symbols, roles);
}

}  // namespace vorpaline_core::index
