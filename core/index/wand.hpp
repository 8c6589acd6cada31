// Searching one segment for a query's best documents, into the best k of
// all segments searched so far (scoring.hpp): exhaustively, every posting
// of every query term scored; or with block-max WAND over a format-3
// segment (as PISA's block_max_wand and tantivy's block_wand), which scores
// only the documents whose bound reaches the k-th best score so far and
// passes over whole blocks below it. Both give the same documents with the
// same scores, bit for bit: a document's contributions are added in query
// order either way.
#pragma once

#include <cstdint>

#include "scoring.hpp"

namespace vorpaline_core::index {

void search_segment_exhaustive(const LiveSegment& segment, std::uint32_t position, const QueryScorer& scorer,
                               TopDocs& top);
void search_segment_pruned(const LiveSegment& segment, std::uint32_t position, const QueryScorer& scorer,
                           TopDocs& top);

}  // namespace vorpaline_core::index
