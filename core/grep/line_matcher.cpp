#include "line_matcher.hpp"

#include <algorithm>
#include <cstring>

namespace vorpaline_core::grep {

namespace {

struct Line {
  std::size_t begin;
  std::size_t end;  // past its "\n", or the text's end
};

// Where the next search starts after an empty match at `at`: the next byte,
// as ripgrep's matcher over bytes does (an empty match may then fall inside
// a character, as ripgrep reports it too).
std::size_t after_empty(std::size_t at) { return at + 1; }

std::size_t line_begin(std::string_view text, std::size_t at) {
  if (at == 0) return 0;
  const void* found = ::memrchr(text.data(), '\n', at);
  return found == nullptr ? 0 : static_cast<const char*>(found) - text.data() + 1;
}

std::size_t line_end(std::string_view text, std::size_t at) {
  const void* found = std::memchr(text.data() + at, '\n', text.size() - at);
  return found == nullptr ? text.size() : static_cast<const char*>(found) - text.data() + 1;
}

// The matches inside `line` (its "\n" left out), the first known already. With a
// `group`, each match is that group's span (a whole-word search's inner match) and the
// next search starts at its end, as ripgrep's word matcher does.
void line_matches(const RE2& pattern, std::string_view text, Line line, std::string_view first, std::uint32_t group,
                  std::vector<std::pair<std::uint32_t, std::uint32_t>>& matches) {
  const std::size_t content_end = line.end > line.begin && text[line.end - 1] == '\n' ? line.end - 1 : line.end;
  re2::StringPiece spans[kMaxMatchGroup + 1];
  const int wanted = static_cast<int>(group) + 1;
  if (group > 0 && !pattern.Match(text, line.begin, content_end, RE2::UNANCHORED, spans, wanted)) return;
  re2::StringPiece found = group > 0 ? spans[group] : re2::StringPiece(first.data(), first.size());
  std::size_t last_end = SIZE_MAX;
  for (;;) {
    const std::size_t start = found.data() - text.data();
    const std::size_t end = start + found.size();
    // ripgrep lists only matches that start before the line's end: an empty
    // match at the end of a last line without "\n" makes the line match but
    // is not listed.
    if (start == line.end) return;
    std::size_t next = end;
    if (start == end) {
      next = after_empty(end);
      if (end != last_end) matches.emplace_back(start - line.begin, end - line.begin);
    } else {
      matches.emplace_back(start - line.begin, end - line.begin);
    }
    if (start != end || end != last_end) last_end = end;
    if (next > content_end) return;
    if (!pattern.Match(text, next, content_end, RE2::UNANCHORED, spans, wanted)) return;
    found = spans[group];
  }
}

ReportedLine reported(std::string_view text, Line line, std::uint64_t number, bool context) {
  return {number, line.begin, std::string(text.substr(line.begin, line.end - line.begin)), {}, context};
}

// The matches of one line, when any starts in it (an after-context line that
// ripgrep still reports as matched once the count is reached).
bool match_line(const RE2& pattern, std::string_view text, Line line, std::uint32_t group,
                std::vector<std::pair<std::uint32_t, std::uint32_t>>& matches) {
  const std::size_t content_end = line.end > line.begin && text[line.end - 1] == '\n' ? line.end - 1 : line.end;
  re2::StringPiece found;
  matches.clear();
  if (!pattern.Match(text, line.begin, content_end, RE2::UNANCHORED, &found, 1)) return false;
  line_matches(pattern, text, line, std::string_view(found.data(), found.size()), group, matches);
  return true;
}

// Adds the lines from `from` (a line start) to `to`, as context.
void add_context(std::string_view text, std::size_t from, std::size_t to, std::uint64_t number,
                 std::vector<ReportedLine>& lines) {
  while (from < to) {
    const std::size_t end = line_end(text, from);
    lines.push_back(reported(text, {from, end}, number++, true));
    from = end;
  }
}

}  // namespace

void match_text(const RE2& pattern, std::string_view text, const MatchOptions& options, FileMatches& out) {
  out = FileMatches{};
  std::size_t at = 0;              // a line start: where the next search begins
  std::size_t counted = 0;         // newlines before this offset are counted in `number`
  std::uint64_t number = 1;        // the line number at `counted`
  std::size_t emitted_end = 0;     // the end of the last line reported
  std::uint64_t emitted_number = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> matches;
  bool count_reached = false;
  while (at < text.size()) {  // `at` is a line start: at the end there is no line left
    if (options.max_count && out.matched_lines >= *options.max_count) {
      count_reached = true;
      break;
    }
    re2::StringPiece found;
    if (!pattern.Match(text, at, text.size(), RE2::UNANCHORED, &found, 1)) break;
    const std::size_t start = found.data() - text.data();
    if (start == text.size() && (text.empty() || text.back() == '\n')) break;  // past the last line
    const Line line{line_begin(text, start), line_end(text, start)};
    number += std::count(text.begin() + counted, text.begin() + line.begin, '\n');
    counted = line.begin;
    ++out.matched_lines;
    if (options.mode == Mode::kFiles) return;
    matches.clear();
    line_matches(pattern, text, line, std::string_view(found.data(), found.size()), options.match_group, matches);
    out.matches += matches.size();
    if (options.mode == Mode::kLines) {
      // Before-context: up to `before` lines, none already reported.
      std::size_t from = line.begin;
      std::uint64_t from_number = number;
      while (from_number > 1 && number - from_number < options.before && from > emitted_end) {
        from = line_begin(text, from - 1);
        --from_number;
      }
      if (emitted_number > 0 && from < emitted_end) from = emitted_end, from_number = emitted_number + 1;
      add_context(text, from, line.begin, from_number, out.lines);
      out.lines.push_back(reported(text, line, number, false));
      out.lines.back().matches = matches;
      emitted_end = line.end;
      emitted_number = number;
    }
    at = line.end;
  }
  if (options.mode != Mode::kLines || emitted_number == 0) return;
  // After-context of every matched line: the lines after each, up to the next match.
  std::vector<ReportedLine> merged;
  merged.reserve(out.lines.size());
  for (std::size_t i = 0; i < out.lines.size(); ++i) {
    merged.push_back(std::move(out.lines[i]));
    const ReportedLine& line = merged.back();
    if (line.context || options.after == 0) continue;
    const std::uint64_t next_number = i + 1 < out.lines.size() ? out.lines[i + 1].number : UINT64_MAX;
    std::size_t from = line.offset + line.text.size();
    std::uint64_t n = line.number + 1;
    // Once the count is reached ripgrep still marks the matches in the last after-context.
    const bool last = count_reached && i + 1 == out.lines.size();
    for (std::uint32_t k = 0; k < options.after && n < next_number && from < text.size(); ++k, ++n) {
      const std::size_t end = line_end(text, from);
      merged.push_back(reported(text, {from, end}, n, true));
      if (last && match_line(pattern, text, {from, end}, options.match_group, matches)) {
        merged.back().context = false;
        merged.back().matches = matches;
        ++out.matched_lines;
        out.matches += matches.size();
      }
      from = end;
    }
  }
  out.lines = std::move(merged);
}

}  // namespace vorpaline_core::grep
