// The text predicates of a tags query, which the tree-sitter runtime parses
// but leaves to its caller: #eq?, #match?, #any-of? and their not-/any-
// forms. Read once from a compiled query; a match is kept only when every
// predicate of its pattern holds. Other predicates and the directives
// (#strip!, #select-adjacent!, #set-adjacent!, #is-not?, #set!) change no
// match and are ignored. Throws InputError for a malformed text predicate or
// a #match? pattern std::regex (ECMAScript) cannot compile.
#pragma once

#include <tree_sitter/api.h>

#include <cstdint>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::symbols {

struct TextPredicate {
  enum class Test { equal, match, one_of };
  Test test = Test::equal;
  bool negated = false;
  bool any = false;                    // holds when one captured node passes, not all of them
  std::uint32_t capture = 0;           // the capture whose text is tested
  bool against_capture = false;        // #eq? @a @b
  std::uint32_t other_capture = 0;
  std::vector<std::string> literals;   // one for #eq?, the set for #any-of?
  std::regex pattern;                  // for #match?
};

class QueryPredicates {
 public:
  QueryPredicates() = default;
  explicit QueryPredicates(const TSQuery* query);

  // Whether every text predicate of the match's pattern holds on `text`.
  bool accepts(const TSQueryMatch& match, std::string_view text) const;

 private:
  std::vector<std::vector<TextPredicate>> by_pattern_;
};

}  // namespace vorpaline_core::symbols
