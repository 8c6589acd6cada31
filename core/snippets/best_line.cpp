#include "snippets/best_line.hpp"

#include <algorithm>
#include <bit>

namespace vorpaline_core::snippets {

namespace {

bool defines_at(const std::vector<std::int64_t>& defined_at, std::size_t line) {
  return std::find(defined_at.begin(), defined_at.end(), static_cast<std::int64_t>(line)) != defined_at.end();
}

// The best line when no line holds a term.
std::size_t fallback_line(const ChunkLines& lines, const std::vector<std::int64_t>& defined_at) {
  std::int64_t first_defined = -1;
  for (const std::int64_t at : defined_at) {
    if (at >= 0 && static_cast<std::size_t>(at) < lines.size() && (first_defined < 0 || at < first_defined)) {
      first_defined = at;
    }
  }
  if (first_defined >= 0) return static_cast<std::size_t>(first_defined);
  for (std::size_t line = 0; line < lines.size(); ++line) {
    if (!is_blank(lines[line])) return line;
  }
  return 0;
}

std::size_t trimmed_end(const ChunkLines& lines, std::size_t start) {
  std::size_t end = std::min(start + kWindow, lines.size());
  while (end > start && is_blank(lines[end - 1])) --end;
  return end;
}

}  // namespace

LineTerms::LineTerms(std::size_t lines, std::size_t terms)
    : lines_(lines), words_per_line_((terms + 63) / 64), words_(lines * words_per_line_, 0) {}

std::size_t LineTerms::count(std::size_t first, std::size_t count) const {
  const std::size_t stop = std::min(first + count, lines_);
  std::size_t held = 0;
  for (std::size_t word = 0; word < words_per_line_; ++word) {
    std::uint64_t bits = 0;
    for (std::size_t line = first; line < stop; ++line) bits |= words_[line * words_per_line_ + word];
    held += static_cast<std::size_t>(std::popcount(bits));
  }
  return held;
}

Choice choose_lines(const ChunkLines& lines, const LineTerms& terms, const std::vector<std::int64_t>& defined_at) {
  Choice choice;
  if (lines.empty()) return choice;
  std::size_t best_count = 0;
  bool best_defines = false;
  for (std::size_t line = 0; line < lines.size(); ++line) {
    const std::size_t count = terms.count(line, 1);
    if (line > 0 && count < best_count) continue;
    const bool defines = defines_at(defined_at, line);
    if (line == 0 || count > best_count || (defines && !best_defines)) {
      choice.best = line;
      best_count = count;
      best_defines = defines;
    }
  }
  if (best_count == 0) {
    choice.best = choice.start = fallback_line(lines, defined_at);
  } else {
    std::size_t start = choice.best + 1 >= kWindow ? choice.best + 1 - kWindow : 0;
    std::size_t start_count = 0;
    for (std::size_t from = start; from <= choice.best; ++from) {
      const std::size_t count = terms.count(from, kWindow);
      if (count >= start_count) start = from, start_count = count;
    }
    while (terms.count(start, 1) == 0) ++start;
    choice.start = start;
  }
  choice.end = trimmed_end(lines, choice.start);
  return choice;
}

}  // namespace vorpaline_core::snippets
