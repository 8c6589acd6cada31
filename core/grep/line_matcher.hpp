// The lines of a text that a regular expression matches, as ripgrep reports them.
//
// A line is the bytes up to and including its "\n"; there is no empty line
// after a final "\n". The pattern never matches "\n" (the caller's
// translation sees to it); with (?m) its `^` and `$` hold at line starts and
// ends, since RE2 is run over the whole text with each search starting where
// the last stopped. A match belongs to the line its start is in; a match
// found at a "\n" (an empty one) to the line that "\n" ends. In a matched
// line every non-overlapping match is listed, leftmost-first: after an empty
// match the search moves one byte on, and an empty match right where the
// previous match ended is skipped, as ripgrep 13's iterator does. Once
// `max_count` lines matched, the after-context of the last is still shown
// and a line of it that matches is reported as matched, as ripgrep does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <re2/re2.h>

namespace vorpaline_core::grep {

enum class Mode { kLines, kFiles, kCount };

inline constexpr std::uint32_t kMaxMatchGroup = 9;

struct MatchOptions {
  Mode mode = Mode::kLines;
  std::uint32_t match_group = 0;  // the capture group whose span is a match (0: the whole match)
  std::uint32_t before = 0;  // context lines, in kLines mode
  std::uint32_t after = 0;
  std::optional<std::uint64_t> max_count;  // matched lines per file
};

struct ReportedLine {
  std::uint64_t number;  // from 1
  std::uint64_t offset;  // of its first byte in the text
  std::string text;      // with its "\n", if it has one
  std::vector<std::pair<std::uint32_t, std::uint32_t>> matches;  // within the line
  bool context = false;
};

struct FileMatches {
  std::vector<ReportedLine> lines;  // kLines mode: matches and context, in line order
  std::uint64_t matched_lines = 0;
  std::uint64_t matches = 0;
};

// Searches `text`; `out` is cleared first.
void match_text(const RE2& pattern, std::string_view text, const MatchOptions& options, FileMatches& out);

}  // namespace vorpaline_core::grep
