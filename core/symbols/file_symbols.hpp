// What a file defines and uses, as its language's tags query finds them.
// Lines are 1-based, as text.split('\n') numbers them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorpaline_core::symbols {

struct Definition {
  std::string name;
  std::string kind;  // "function", "method", "class", ...: a function directly in a class-like one is a method
  std::uint32_t line = 0;                       // the line of the name
  std::uint32_t first_line = 0, last_line = 0;  // the whole definition
  std::string scope;                            // the enclosing definitions' names joined by '.', "" at top level
};

struct Reference {
  std::string name;
  std::string kind;  // "call", "type", "class", "implementation"...
  std::uint32_t line = 0;
};

struct FileSymbols {
  std::vector<Definition> definitions;  // by (first_line, line)
  std::vector<Reference> references;    // by line, one per (name, line)
};

}  // namespace vorpaline_core::symbols
