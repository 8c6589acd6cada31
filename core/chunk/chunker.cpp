#include "chunker.hpp"

#include <algorithm>
#include <string>

#include "input_error.hpp"
#include "piece_rules.hpp"

namespace vorpaline_core::chunk {

namespace {

// Nesting deeper than this is split at blank lines or evenly: it keeps the
// recursion's stack small whatever the text.
constexpr std::uint32_t kMaxSplitDepth = 24;

std::uint32_t span(std::uint32_t first, std::uint32_t last) { return last - first + 1; }

// The length of each of the fewest equal runs of at most `most` lines that
// make up `lines` lines: 130 lines at most 60 a run are runs of 44, not
// 60, 60 and a stub of 10.
std::uint32_t even_run(std::uint32_t lines, std::uint32_t most) {
  const std::uint32_t runs = (lines + most - 1) / most;
  return (lines + runs - 1) / runs;
}

class Splitter {
 public:
  Splitter(const LineTable& lines, const ChunkLimits& limits, std::vector<Piece>& pieces)
      : lines_(lines), limits_(limits), pieces_(pieces) {}

  bool fits(std::uint32_t first, std::uint32_t last) const {
    return chunk::fits(lines_, limits_, first, last);
  }

  // Whether non-blank line `line` starts a unit at indentation `level`; the
  // line before it exists.
  bool starts_unit(std::uint32_t line, std::uint32_t level) const {
    const LineShape shape = lines_.shape(line);
    if (is_blank(shape) || indent_of(shape) != level || never_starts(shape)) return false;
    const LineShape before = lines_.shape(line - 1);
    return is_blank(before) || indent_of(before) > level ||
           (is_closer(before) && indent_of(before) == level);
  }

  // The pieces of lines first..last, both non-blank; the cut before the first
  // piece was made at `cut_depth`, and cuts inside are made at `depth` + 1.
  void split(std::uint32_t first, std::uint32_t last, std::uint32_t depth,
             std::uint32_t cut_depth) {
    if (first == last || fits(first, last)) {
      pieces_.push_back({first, last, cut_depth});
      return;
    }
    if (depth < kMaxSplitDepth && split_at_inner_units(first, last, depth, cut_depth)) return;
    if (split_at_blank_lines(first, last, depth, cut_depth)) return;
    split_evenly(first, last, depth, cut_depth);
  }

 private:
  bool split_at_inner_units(std::uint32_t first, std::uint32_t last, std::uint32_t depth,
                            std::uint32_t cut_depth) {
    // The body's indentation: the least one deeper than the piece's own.
    std::uint32_t own = UINT32_MAX;
    std::uint32_t body = UINT32_MAX;
    for (std::uint32_t line = first; line <= last; ++line) {
      const LineShape shape = lines_.shape(line);
      if (is_blank(shape)) continue;
      const std::uint32_t indent = indent_of(shape);
      if (indent < own) {
        body = own;
        own = indent;
      } else if (indent > own && indent < body) {
        body = indent;
      }
    }
    if (body == UINT32_MAX) return false;

    std::uint32_t piece = first;
    std::uint32_t last_content = first;
    bool cut = false;
    for (std::uint32_t line = first + 1; line <= last; ++line) {
      if (is_blank(lines_.shape(line))) continue;
      if (starts_unit(line, body)) {
        split(piece, last_content, depth + 1, cut ? depth + 1 : cut_depth);
        piece = line;
        cut = true;
      }
      last_content = line;
    }
    if (!cut) return false;
    split(piece, last, depth + 1, depth + 1);
    return true;
  }

  // Paragraphs (runs of non-blank lines) packed into pieces of about equal
  // length; a paragraph too long alone is split further.
  bool split_at_blank_lines(std::uint32_t first, std::uint32_t last, std::uint32_t depth,
                            std::uint32_t cut_depth) {
    const std::uint32_t target = even_run(span(first, last), limits_.max_lines);
    std::uint32_t piece_first = first;
    std::uint32_t piece_last = first;
    while (piece_last < last && !is_blank(lines_.shape(piece_last + 1))) ++piece_last;
    if (piece_last == last) return false;  // one paragraph: no blank line to cut at

    std::uint32_t line = piece_last + 1;
    while (line <= last) {
      while (is_blank(lines_.shape(line))) ++line;  // `last` is not blank
      const std::uint32_t paragraph_first = line;
      while (line < last && !is_blank(lines_.shape(line + 1))) ++line;
      const std::uint32_t paragraph_last = line++;
      if (span(piece_first, piece_last) < target && fits(piece_first, paragraph_last)) {
        piece_last = paragraph_last;
        continue;
      }
      split(piece_first, piece_last, depth + 1, cut_depth);
      cut_depth = depth + 1;
      piece_first = paragraph_first;
      piece_last = paragraph_last;
    }
    split(piece_first, piece_last, depth + 1, cut_depth);
    return true;
  }

  // Runs of equal length (one line apart at most), cut short where the bytes
  // would go over.
  void split_evenly(std::uint32_t first, std::uint32_t last, std::uint32_t depth,
                    std::uint32_t cut_depth) {
    const std::uint64_t lines = span(first, last);
    const std::uint64_t runs = (lines + limits_.max_lines - 1) / limits_.max_lines;
    std::uint64_t run = 1;
    const auto run_end = [&] { return first + static_cast<std::uint32_t>(run * lines / runs); };
    std::uint32_t piece = first;
    std::uint32_t last_content = first;
    bool run_over = false;  // a run ended since the piece began
    for (std::uint32_t line = first + 1; line <= last; ++line) {
      for (; line >= run_end(); ++run) run_over = true;
      if (is_blank(lines_.shape(line))) continue;
      if (run_over || lines_.bytes(piece, line) > limits_.max_bytes) {
        pieces_.push_back({piece, last_content, cut_depth});
        cut_depth = depth + 1;
        piece = line;
        run_over = false;
      }
      last_content = line;
    }
    pieces_.push_back({piece, last, cut_depth});
  }

  const LineTable& lines_;
  const ChunkLimits& limits_;
  std::vector<Piece>& pieces_;
};

std::uint32_t last_content(const LineTable& lines, std::uint32_t first, std::uint32_t last) {
  while (last > first && is_blank(lines.shape(last))) --last;
  return last;
}

}  // namespace

bool fits(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
          std::uint32_t last) {
  return span(first, last) <= limits.max_lines && lines.bytes(first, last) <= limits.max_bytes;
}

void split_unit(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
                std::uint32_t last, std::uint32_t depth, std::vector<Piece>& pieces) {
  while (first < last && is_blank(lines.shape(first))) ++first;
  last = last_content(lines, first, last);
  if (is_blank(lines.shape(first))) return;
  Splitter(lines, limits, pieces).split(first, last, depth, depth);
}

void split_into_units(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
                      std::uint32_t last, std::uint32_t depth, std::vector<Piece>& pieces) {
  std::uint32_t base = UINT32_MAX;
  for (std::uint32_t line = first; line <= last; ++line) {
    const LineShape shape = lines.shape(line);
    if (!is_blank(shape)) base = std::min(base, indent_of(shape));
  }
  if (base == UINT32_MAX) return;  // nothing but blank lines

  Splitter splitter(lines, limits, pieces);
  while (is_blank(lines.shape(first))) ++first;
  last = last_content(lines, first, last);
  std::uint32_t unit = first;
  std::uint32_t unit_last = first;
  for (std::uint32_t line = first + 1; line <= last; ++line) {
    if (is_blank(lines.shape(line))) continue;
    if (splitter.starts_unit(line, base)) {
      splitter.split(unit, unit_last, depth, depth);
      unit = line;
    }
    unit_last = line;
  }
  splitter.split(unit, last, depth, depth);
}

namespace {

// Whether a small piece belongs with the piece after it rather than the one
// before: the deeper cut binds less (the rest of the same unit is there),
// then the fewer blank lines between; alike both ways, what follows (a
// comment or heading introduces it).
bool belongs_after(const Piece* before, const Piece& piece, const Piece* after) {
  if (before == nullptr) return true;
  if (after == nullptr) return false;
  if (after->split_depth != piece.split_depth) return after->split_depth > piece.split_depth;
  return after->first - piece.last <= piece.first - before->last;
}

class Merger {
 public:
  Merger(const LineTable& lines, const ChunkLimits& limits, std::vector<Piece>& pieces)
      : lines_(lines), limits_(limits), pieces_(pieces) {}

  // Runs of small pieces packed together; the last of a run stays out when
  // it belongs with the larger piece after it.
  void pack_small_runs() {
    std::size_t kept = 0;
    for (std::size_t next = 0; next < pieces_.size();) {
      Piece piece = pieces_[next++];
      if (small(piece)) {
        while (next < pieces_.size() && small(pieces_[next]) && !pieces_[next].opens_definition &&
               fits(piece.first, pieces_[next].last, limits_.merge_lines)) {
          const bool ends_run = next + 1 < pieces_.size() && !small(pieces_[next + 1]) &&
                                !pieces_[next + 1].opens_definition;
          if (ends_run && belongs_after(&pieces_[next - 1], pieces_[next], &pieces_[next + 1])) {
            break;
          }
          piece.last = pieces_[next++].last;
        }
      }
      pieces_[kept++] = piece;
    }
    pieces_.resize(kept);
  }

  // What is still small joins a neighbour.
  void join_small_pieces() {
    std::size_t kept = 0;
    for (std::size_t at = 0; at < pieces_.size(); ++at) {
      const Piece piece = pieces_[at];
      if (small(piece)) {
        Piece* before = kept > 0 ? &pieces_[kept - 1] : nullptr;
        Piece* after = at + 1 < pieces_.size() ? &pieces_[at + 1] : nullptr;
        const auto join_after = [&] { return after != nullptr && prepend(piece, *after); };
        const auto join_before = [&] { return before != nullptr && append(*before, piece); };
        if (belongs_after(before, piece, after) ? join_after() || join_before()
                                                : join_before() || join_after()) {
          continue;
        }
      }
      pieces_[kept++] = piece;
    }
    pieces_.resize(kept);
  }

 private:
  bool small(const Piece& piece) const { return span(piece.first, piece.last) < limits_.min_lines; }

  bool fits(std::uint32_t first, std::uint32_t last, std::uint32_t most_lines) const {
    return span(first, last) <= most_lines && lines_.bytes(first, last) <= limits_.max_bytes;
  }

  // Joins `piece` to the piece after or before it, unless that would pass
  // the limits or put a definition's first line inside a chunk.
  bool prepend(const Piece& piece, Piece& after) const {
    if (after.opens_definition || !fits(piece.first, after.last, limits_.max_lines)) return false;
    after.first = piece.first;
    after.split_depth = piece.split_depth;
    after.opens_definition = piece.opens_definition;
    return true;
  }
  bool append(Piece& before, const Piece& piece) const {
    if (piece.opens_definition || !fits(before.first, piece.last, limits_.max_lines)) return false;
    before.last = piece.last;
    return true;
  }

  const LineTable& lines_;
  const ChunkLimits& limits_;
  std::vector<Piece>& pieces_;
};

}  // namespace

void merge_small_pieces(const LineTable& lines, const ChunkLimits& limits,
                        std::vector<Piece>& pieces) {
  if (limits.min_lines <= 1) return;
  Merger merger(lines, limits, pieces);
  merger.pack_small_runs();
  merger.join_small_pieces();
}

void read_lines(const char* function, std::string_view utf8_text, LineTable& lines) {
  lines.read(utf8_text);
  if (lines.count() >= UINT32_MAX) {
    throw InputError(std::string(function) + "() text has " + std::to_string(lines.count()) +
                     " lines; at most 4294967294 can be chunked");
  }
}

void to_chunks(const LineTable& lines, const std::vector<Piece>& pieces,
               std::vector<Chunk>& chunks) {
  chunks.reserve(pieces.size());
  for (const Piece& piece : pieces) {
    chunks.push_back({piece.first + 1, piece.last + 1, lines.start(piece.first),
                      lines.start(piece.last + 1)});
  }
}

ChunkLimits consistent(const ChunkLimits& limits) noexcept {
  ChunkLimits result = limits;
  result.max_lines = std::max<std::uint32_t>(result.max_lines, 1);
  result.max_bytes = std::max<std::size_t>(result.max_bytes, 1);
  result.merge_lines = std::min(result.merge_lines, result.max_lines);
  result.min_lines = std::min(result.min_lines, result.merge_lines);
  return result;
}

void chunk_text(std::string_view utf8_text, const ChunkLimits& limits, ChunkScratch& scratch,
                std::vector<Chunk>& chunks) {
  chunks.clear();
  scratch.pieces.clear();
  LineTable& lines = scratch.lines;
  read_lines("chunk_text", utf8_text, lines);
  const ChunkLimits checked = consistent(limits);
  split_into_units(lines, checked, 0, static_cast<std::uint32_t>(lines.count() - 1), 0,
                   scratch.pieces);
  merge_small_pieces(lines, checked, scratch.pieces);
  to_chunks(lines, scratch.pieces, chunks);
}

std::vector<Chunk> chunk_text(std::string_view utf8_text, const ChunkLimits& limits) {
  ChunkScratch scratch;
  std::vector<Chunk> chunks;
  chunk_text(utf8_text, limits, scratch, chunks);
  return chunks;
}

}  // namespace vorpaline_core::chunk
