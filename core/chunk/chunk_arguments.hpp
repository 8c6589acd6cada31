// The JSON arguments of chunk_text_with_definitions: the definitions' spans
// as [[first_line, last_line], ...] and the limits as an object of any of
// "max_lines", "min_lines", "merge_lines" and "max_bytes" (the rest keep
// their defaults). Numbers are integers from 0; a line number too large for
// 32 bits is taken as the largest one. Anything else throws InputError.
#pragma once

#include <string_view>
#include <vector>

#include "chunker.hpp"
#include "definition_chunks.hpp"

namespace vorpaline_core::chunk {

std::vector<DefinitionSpan> definition_spans(std::string_view spans_json);
ChunkLimits chunk_limits(std::string_view limits_json);

}  // namespace vorpaline_core::chunk
