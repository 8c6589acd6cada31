#include "chunk_fields.hpp"

#include <algorithm>
#include <numeric>

#include "scan/json_text.hpp"
#include "symbols/language_registry.hpp"
#include "symbols/symbol_json.hpp"

namespace vorpaline_core::index {

bool ChunkFields::read_symbols(std::string_view path, std::string_view text) {
  symbols_.definitions.clear();
  symbols_.references.clear();
  spans_.clear();
  next_definition_ = next_reference_ = 0;
  const symbols::Language* language = symbols::language_for_path(path);
  if (language == nullptr || !extractor_.extract(*language, text, symbols_)) return false;
  for (const symbols::Definition& definition : symbols_.definitions) {
    spans_.push_back({definition.first_line, definition.last_line});
  }
  by_line_.resize(symbols_.definitions.size());
  std::iota(by_line_.begin(), by_line_.end(), 0u);
  std::stable_sort(by_line_.begin(), by_line_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return symbols_.definitions[a].line < symbols_.definitions[b].line;
  });
  return true;
}

void ChunkFields::select(std::uint32_t first_line, std::uint32_t last_line) {
  names_.clear();
  scan::StringSink sink;
  sink.put("{\"d\":[");
  // Definitions and references before the chunk lie between chunks (on blank lines): none of its.
  while (next_definition_ < by_line_.size() && symbols_.definitions[by_line_[next_definition_]].line < first_line) {
    ++next_definition_;
  }
  for (bool first = true; next_definition_ < by_line_.size(); ++next_definition_, first = false) {
    const symbols::Definition& definition = symbols_.definitions[by_line_[next_definition_]];
    if (definition.line > last_line) break;
    if (!names_.empty()) names_ += ' ';
    names_ += definition.name;
    // A method is also named by its class: "the session's headers" finds Session.headers.
    if (!definition.scope.empty()) {
      names_ += ' ';
      names_ += std::string_view(definition.scope).substr(definition.scope.rfind('.') + 1);
    }
    if (!first) sink.put(',');
    symbols::put_definition(sink, definition);
  }
  sink.put("],\"r\":[");
  const std::vector<symbols::Reference>& references = symbols_.references;
  while (next_reference_ < references.size() && references[next_reference_].line < first_line) ++next_reference_;
  for (bool first = true; next_reference_ < references.size(); ++next_reference_, first = false) {
    const symbols::Reference& reference = references[next_reference_];
    if (reference.line > last_line) break;
    if (!first) sink.put(',');
    symbols::put_reference(sink, reference);
  }
  sink.put("]}");
  symbols_json_ = std::move(sink.text);
}

}  // namespace vorpaline_core::index
