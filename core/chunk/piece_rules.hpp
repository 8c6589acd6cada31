// The chunker's steps one by one, for a chunker that first cuts a text its
// own way (definition_chunks.cpp) and leaves the rest to chunk_text's rule.
// Lines are 0-based; limits must have been made consistent(); each step
// appends to or rewrites `pieces` in document order.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "chunker.hpp"

namespace vorpaline_core::chunk {

// Reads `utf8_text` into `lines`; throws InputError naming `function` for a
// text of 2^32 - 1 lines or more.
void read_lines(const char* function, std::string_view utf8_text, LineTable& lines);

// Whether lines first..last are within the limits.
bool fits(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
          std::uint32_t last);

// Lines first..last taken as one unit, blank lines at its ends left out:
// whole when it fits, else split as a long unit is. The cut before it is made
// at `depth`, the cuts inside it deeper.
void split_unit(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
                std::uint32_t last, std::uint32_t depth, std::vector<Piece>& pieces);

// Lines first..last cut into units at their base indentation, as a whole
// text is, each one split when over the limits; the cuts between units are
// made at `depth`.
void split_into_units(const LineTable& lines, const ChunkLimits& limits, std::uint32_t first,
                      std::uint32_t last, std::uint32_t depth, std::vector<Piece>& pieces);

// Short pieces packed and joined to their neighbours; a piece that opens a
// definition is never joined to what comes before it.
void merge_small_pieces(const LineTable& lines, const ChunkLimits& limits,
                        std::vector<Piece>& pieces);

// The pieces as chunks, 1-based with their byte offsets.
void to_chunks(const LineTable& lines, const std::vector<Piece>& pieces,
               std::vector<Chunk>& chunks);

}  // namespace vorpaline_core::chunk
