// From the tags query's raw matches to a file's symbols: one definition per
// name node (the earliest pattern's), each given the names of the
// definitions enclosing it as its scope, a function directly inside a
// class-like definition (class, interface, struct, union, trait, impl,
// object) renamed a method, then sorted and stripped of duplicates.
// References whose name is a definition's name are not uses and are dropped.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "symbols/file_symbols.hpp"

namespace vorpaline_core::symbols {

// A byte range of the text with the 0-based rows of its ends.
struct Span {
  std::uint32_t begin = 0, end = 0;
  std::uint32_t first_row = 0, last_row = 0;  // last_row: the row of the range's last byte
};

struct RawDefinition {
  std::string_view name;
  std::string_view kind;
  Span name_span;
  Span node_span;
  std::uint32_t pattern = 0;
};

struct RawReference {
  std::string_view name;
  std::string_view kind;
  Span name_span;
};

void order_symbols(std::vector<RawDefinition> definitions, std::vector<RawReference> references, FileSymbols& out);

}  // namespace vorpaline_core::symbols
