// Finds a file's definitions and references with its language's grammar and
// tags query. One extractor per thread: it owns a parser and a query cursor,
// reused from file to file. The work is bounded: a text over the size cap is
// not parsed, and parsing and querying together stop at the time budget; any
// bytes at all may be given (tree-sitter reads what does not parse as errors).
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

#include "symbols/file_symbols.hpp"
#include "symbols/language_registry.hpp"
#include "symbols/ts_handles.hpp"

namespace vorpaline_core::symbols {

struct ExtractLimits {
  std::size_t max_bytes = std::size_t{1} << 20;  // as the index skips larger files
  std::chrono::milliseconds budget{2000};
};

class SymbolExtractor {
 public:
  explicit SymbolExtractor(ExtractLimits limits = {});

  // Replaces `out` with the symbols of `utf8_text`. False, with `out` empty,
  // when the text is over the size cap or the time budget ran out.
  bool extract(const Language& language, std::string_view utf8_text, FileSymbols& out);

 private:
  ExtractLimits limits_;
  ParserHandle parser_;
  QueryCursorHandle cursor_;
  const TSLanguage* parser_grammar_ = nullptr;
};

}  // namespace vorpaline_core::symbols
