// The line of a chunk that best matches a query, and the snippet shown
// around it.
//
// Contract (the search's Python reference is snippets.best_line):
// - The best line holds the most distinct query terms; among those a line
//   where the chunk defines a name comes first, then the earliest.
// - The snippet is the window of `kWindow` lines holding the best line that
//   holds the most distinct terms, the latest such window on a tie; it starts
//   at its first line that holds a term, and drops blank lines at its end.
// - With no term anywhere, the best line is the chunk's first definition line,
//   else its first non-blank line, else its first line, and the snippet
//   starts there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "snippets/chunk_lines.hpp"

namespace vorpaline_core::snippets {

constexpr std::size_t kWindow = 3;

// Which of the query's terms each line holds, a bit per term (numbered by
// the term's place in the query), the lines' words one after another.
class LineTerms {
 public:
  LineTerms(std::size_t lines, std::size_t terms);
  void set(std::size_t line, std::size_t term) { words_[line * words_per_line_ + term / 64] |= 1ull << (term % 64); }
  // The distinct terms lines [first, first + count) hold between them.
  std::size_t count(std::size_t first, std::size_t count) const;
  std::size_t lines() const { return lines_; }

 private:
  std::size_t lines_;
  std::size_t words_per_line_;
  std::vector<std::uint64_t> words_;
};

struct Choice {
  std::size_t best = 0;
  std::size_t start = 0;  // the snippet's first line
  std::size_t end = 0;    // past its last
};

// `defined_at` holds the offsets of the lines that define a name, in any
// order, any of them possibly out of the chunk.
Choice choose_lines(const ChunkLines& lines, const LineTerms& terms, const std::vector<std::int64_t>& defined_at);

}  // namespace vorpaline_core::snippets
