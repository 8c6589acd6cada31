// A text split into chunks that follow its definitions (functions, classes,
// ...) as a parser found them, for the index to keep each one whole.
//
// The chunks keep chunk_text's contract (chunker.hpp): in order, never
// overlapping, every non-blank line in exactly one, no chunk starting or
// ending with a blank line, the limits kept but for a single over-long line.
// With no definitions they are chunk_text's chunks.
//
// The rule (docs/chunking.md has it with examples):
//  - A definition that fits the limits is one piece. One over them is cut
//    at its inner definitions: its head (its first line up to the first of
//    them) is a piece, split only if over the limits itself; each inner one
//    goes the same way; the lines between them and after the last are
//    chunked by chunk_text's rule. Without inner definitions a long one is
//    split as chunk_text splits a long unit.
//  - The lines directly above a definition at its own indentation, with no
//    blank or closing line between (decorators, comments), are part of it.
//  - Lines outside every definition are chunked by chunk_text's rule.
//  - Short pieces are merged as chunk_text merges them, but a definition of
//    `min_lines` or more starts a chunk: nothing before it joins its chunk,
//    but for its parent's head when that is short (the class line leads into
//    its first method's chunk).
//  - Spans are taken as given where they make sense and mended where not:
//    those ending past the text are cut at its end, those empty, starting
//    at line 0 or past the text, or holding only blank lines are dropped;
//    blank lines at a span's ends are left out. A span that overlaps one
//    before it without nesting in it is dropped, as is a second copy of a
//    span, and a span nested more than 24 deep.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "chunker.hpp"

namespace vorpaline_core::chunk {

struct DefinitionSpan {
  std::uint32_t first_line;  // 1-based, inclusive
  std::uint32_t last_line;
};

// Spans may come in any order. Throws as chunk_text does.
void chunk_with_definitions(std::string_view utf8_text,
                            std::span<const DefinitionSpan> definitions,
                            const ChunkLimits& limits, ChunkScratch& scratch,
                            std::vector<Chunk>& chunks);

}  // namespace vorpaline_core::chunk
