// The core's reply to chunk_text: {"chunks":[[first_line,last_line],...]},
// pure ASCII, so it is written straight into the str returned.
#pragma once

#include <cstddef>
#include <vector>

#include "chunker.hpp"

namespace vorpaline_core::chunk {

std::size_t reply_size(const std::vector<Chunk>& chunks) noexcept;
// Writes exactly reply_size(chunks) bytes at `out`.
void write_reply(const std::vector<Chunk>& chunks, char* out) noexcept;

}  // namespace vorpaline_core::chunk
