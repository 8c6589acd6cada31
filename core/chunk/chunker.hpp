// A text split into chunks of whole lines, each one document of the index.
//
// Lines and blank lines are as line_table.hpp reads them; a chunk's first and
// last lines are never blank. The chunks are in order, never overlap, and
// together hold every non-blank line exactly once; blank lines between chunks
// belong to none. Every chunk spans at most `max_lines` lines and
// `max_bytes` bytes, but for a single line longer than `max_bytes`: that
// line is a chunk of its own, whole.
//
// The rule (docs/chunking.md has it with examples):
//  1. Units. The text's base indentation is the least of its non-blank lines.
//     A non-blank line at base indentation starts a unit when it follows a
//     blank line, a deeper line or a closing line at base indentation (one
//     opening with '}', ')', ']', "</" or a block-ending keyword such as
//     `end`, `fi`, `#endif`), unless it is such a closing line itself or
//     goes on with the block before it (`else`, `except`, `catch`, ...).
//     The first non-blank line starts the first unit. A unit runs to the
//     last non-blank line before the next.
//  2. Splitting. A unit over the limits is split at its own inner units: the
//     same rule at its body's indentation (the least indentation in it deeper
//     than its own), recursively; where that finds none, at its blank lines,
//     packed back into pieces within the limits; and last, into runs of
//     equal length.
//  3. Merging. Runs of consecutive pieces shorter than `min_lines` are
//     packed into chunks of up to `merge_lines` lines. Such a chunk still
//     shorter than `min_lines` joins a neighbour, within the limits: the one
//     it shares the deeper split with (the rest of the unit it was cut
//     from), the following one when both are alike (a comment or heading
//     goes with what it introduces). Pieces of `min_lines` or more are never
//     merged: each sizeable definition starts a chunk of its own.
// Spans count lines from a chunk's first to its last, blank ones included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "line_table.hpp"

namespace vorpaline_core::chunk {

struct ChunkLimits {
  std::uint32_t max_lines = 60;
  std::uint32_t min_lines = 4;
  std::uint32_t merge_lines = 20;
  std::size_t max_bytes = 64 * 1024;
};

struct Chunk {
  std::uint32_t first_line;  // 1-based, inclusive
  std::uint32_t last_line;
  std::size_t begin;  // byte offsets: the first line's first byte ...
  std::size_t end;    // ... to past the last line's '\n' (or the text's end)
};

// Lines first..last (0-based) on their way to becoming a chunk; `split_depth`
// says how deep inside a unit the cut before it was made (0: between units).
// A piece that opens a definition (definition_chunks.hpp) starts a chunk.
struct Piece {
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t split_depth;
  bool opens_definition = false;
};

// A definition's lines first..last (0-based); in a list of them in document
// order, `end` is the index just past the definitions nested in it.
struct OutlineEntry {
  std::uint32_t first;
  std::uint32_t last;
  std::size_t end;
};

// Lines, pieces and definitions of the last text chunked, kept so that a
// thread chunking many files allocates only while its files grow.
struct ChunkScratch {
  LineTable lines;
  std::vector<Piece> pieces;
  std::vector<OutlineEntry> outline;
};

// Limits made consistent: max_lines and max_bytes at least 1, merge_lines at
// most max_lines, min_lines at most merge_lines (0 or 1: no merging).
ChunkLimits consistent(const ChunkLimits& limits) noexcept;

// The chunks of `utf8_text` (any bytes do: only '\n', spaces and tabs and a
// few ASCII words are looked at). Throws InputError for a text of 2^32 - 1
// lines or more, std::bad_alloc when memory runs out.
std::vector<Chunk> chunk_text(std::string_view utf8_text, const ChunkLimits& limits = {});
void chunk_text(std::string_view utf8_text, const ChunkLimits& limits, ChunkScratch& scratch,
                std::vector<Chunk>& chunks);

}  // namespace vorpaline_core::chunk
