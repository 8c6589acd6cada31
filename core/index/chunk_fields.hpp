// What a parser says about a file's chunks, for the index: the definitions
// the chunker follows, and for each chunk the names it defines (its names
// field) and its symbols as stored JSON text:
//   {"d": [definition...], "r": [reference...]}  (symbols/symbol_json.hpp)
// with the definitions whose name and the references that lie in the chunk.
// One per build thread: it owns the thread's parser.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chunk/definition_chunks.hpp"
#include "symbols/file_symbols.hpp"
#include "symbols/symbol_extractor.hpp"

namespace vorpaline_core::index {

class ChunkFields {
 public:
  // Parses the file when its language has a parser; false when it has none
  // (or the parser gave up on it).
  bool read_symbols(std::string_view path, std::string_view text);
  std::span<const chunk::DefinitionSpan> spans() const { return spans_; }

  // The chunk of lines first..last (1-based) is the one names() and
  // symbols_json() describe; chunks come in order.
  void select(std::uint32_t first_line, std::uint32_t last_line);
  const std::string& names() const { return names_; }
  const std::string& symbols_json() const { return symbols_json_; }

 private:
  symbols::SymbolExtractor extractor_;
  symbols::FileSymbols symbols_;
  std::vector<chunk::DefinitionSpan> spans_;
  std::vector<std::uint32_t> by_line_;  // definitions in the order of their name's line
  std::size_t next_definition_ = 0;
  std::size_t next_reference_ = 0;
  std::string names_;
  std::string symbols_json_;
};

}  // namespace vorpaline_core::index
