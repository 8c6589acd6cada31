#include "definition_chunks.hpp"

#include <algorithm>
#include <array>

#include "piece_rules.hpp"

namespace vorpaline_core::chunk {

namespace {

// Spans nested deeper than this are dropped: it keeps the recursion's stack
// small whatever a malformed file's parser gives.
constexpr std::size_t kMaxNesting = 24;

std::uint32_t lines_spanned(std::uint32_t first, std::uint32_t last) { return last - first + 1; }

// The span as 0-based lines of the text, blank lines at its ends left out;
// false when nothing of it is left.
bool mended(const LineTable& lines, const DefinitionSpan& span, OutlineEntry& entry) {
  const std::size_t count = lines.count();
  if (span.first_line == 0 || span.first_line > span.last_line || span.first_line > count) {
    return false;
  }
  std::uint32_t first = span.first_line - 1;
  std::uint32_t last = static_cast<std::uint32_t>(std::min<std::size_t>(span.last_line, count) - 1);
  while (first < last && is_blank(lines.shape(first))) ++first;
  while (last > first && is_blank(lines.shape(last))) --last;
  if (is_blank(lines.shape(first))) return false;
  entry = {first, last, 0};
  return true;
}

// The spans in document order, each before those nested in it, without the
// ones that cannot nest.
void build_outline(const LineTable& lines, std::span<const DefinitionSpan> spans,
                   std::vector<OutlineEntry>& outline) {
  outline.clear();
  OutlineEntry entry{};
  for (const DefinitionSpan& span : spans) {
    if (mended(lines, span, entry)) outline.push_back(entry);
  }
  std::sort(outline.begin(), outline.end(), [](const OutlineEntry& a, const OutlineEntry& b) {
    return a.first != b.first ? a.first < b.first : a.last > b.last;
  });

  std::array<std::size_t, kMaxNesting> open{};  // the kept entries holding the next one
  std::size_t depth = 0;
  std::size_t kept = 0;
  for (std::size_t at = 0; at < outline.size(); ++at) {
    const OutlineEntry next = outline[at];
    while (depth > 0 && outline[open[depth - 1]].last < next.first) {
      outline[open[--depth]].end = kept;
    }
    if (depth > 0) {
      const OutlineEntry& parent = outline[open[depth - 1]];
      const bool copy = next.first == parent.first && next.last == parent.last;
      if (next.last > parent.last || copy || depth == kMaxNesting) continue;
    }
    outline[kept] = next;
    open[depth++] = kept++;
  }
  while (depth > 0) outline[open[--depth]].end = kept;
  outline.resize(kept);
}

class DefinitionSplitter {
 public:
  DefinitionSplitter(const LineTable& lines, const ChunkLimits& limits,
                     const std::vector<OutlineEntry>& outline, std::vector<Piece>& pieces)
      : lines_(lines), limits_(limits), outline_(outline), pieces_(pieces) {}

  // The pieces of lines first..last, which hold the definitions
  // outline_[begin, end); the cuts between what is directly in it are made
  // at `depth`.
  void split_region(std::uint32_t first, std::uint32_t last, std::size_t begin, std::size_t end,
                    std::uint32_t depth) {
    std::uint32_t next_line = first;
    for (std::size_t at = begin; at < end; at = outline_[at].end) {
      const std::uint32_t lead = lead_first(outline_[at].first, next_line);
      if (lead > next_line) split_into_units(lines_, limits_, next_line, lead - 1, depth, pieces_);
      split_definition(at, lead, depth);
      next_line = outline_[at].last + 1;
    }
    if (next_line <= last) split_into_units(lines_, limits_, next_line, last, depth, pieces_);
  }

 private:
  // The definition's first line, or the first of the lines directly above it
  // that belong to it (decorators, comments): at its indentation, none of
  // them blank, closing a block or going on with one, none before `bound`.
  std::uint32_t lead_first(std::uint32_t first, std::uint32_t bound) const {
    const std::uint32_t level = indent_of(lines_.shape(first));
    while (first > bound) {
      const LineShape above = lines_.shape(first - 1);
      if (is_blank(above) || never_starts(above) || indent_of(above) != level) break;
      --first;
    }
    return first;
  }

  void split_definition(std::size_t at, std::uint32_t first, std::uint32_t depth) {
    const OutlineEntry& definition = outline_[at];
    const std::size_t opened = pieces_.size();
    if (definition.end == at + 1 || fits(lines_, limits_, first, definition.last)) {
      split_unit(lines_, limits_, first, definition.last, depth, pieces_);
    } else {
      split_at_inner_definitions(at, first, depth);
    }
    if (lines_spanned(first, definition.last) >= limits_.min_lines && pieces_.size() > opened) {
      pieces_[opened].opens_definition = true;
    }
  }

  void split_at_inner_definitions(std::size_t at, std::uint32_t first, std::uint32_t depth) {
    const OutlineEntry& definition = outline_[at];
    const std::uint32_t inner_first = lead_first(outline_[at + 1].first, first + 1);
    const std::size_t head = pieces_.size();
    if (inner_first > first) split_unit(lines_, limits_, first, inner_first - 1, depth, pieces_);
    const bool short_head =
        pieces_.size() == head + 1 &&
        lines_spanned(pieces_[head].first, pieces_[head].last) < limits_.min_lines;
    split_region(inner_first, definition.last, at + 1, definition.end, depth + 1);
    if (short_head) lead_into_inner_definition(head);
  }

  // A short head would be a poor chunk alone, and no other may join the
  // inner definition's chunk: the head leads into it when they fit together.
  void lead_into_inner_definition(std::size_t head) {
    const Piece& inner = pieces_[head + 1];
    if (!inner.opens_definition || !fits(lines_, limits_, pieces_[head].first, inner.last)) return;
    pieces_[head].last = inner.last;
    pieces_.erase(pieces_.begin() + static_cast<std::ptrdiff_t>(head + 1));
  }

  const LineTable& lines_;
  const ChunkLimits& limits_;
  const std::vector<OutlineEntry>& outline_;
  std::vector<Piece>& pieces_;
};

}  // namespace

void chunk_with_definitions(std::string_view utf8_text,
                            std::span<const DefinitionSpan> definitions,
                            const ChunkLimits& limits, ChunkScratch& scratch,
                            std::vector<Chunk>& chunks) {
  chunks.clear();
  scratch.pieces.clear();
  const LineTable& lines = scratch.lines;
  read_lines("chunk_text_with_definitions", utf8_text, scratch.lines);
  build_outline(lines, definitions, scratch.outline);
  const ChunkLimits checked = consistent(limits);
  DefinitionSplitter(lines, checked, scratch.outline, scratch.pieces)
      .split_region(0, static_cast<std::uint32_t>(lines.count() - 1), 0, scratch.outline.size(), 0);
  merge_small_pieces(lines, checked, scratch.pieces);
  to_chunks(lines, scratch.pieces, chunks);
}

}  // namespace vorpaline_core::chunk
