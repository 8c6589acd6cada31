// A segment's documents the other way round: for each document its terms and
// their frequencies, as a store of sparse vectors (a Qdrant collection, say)
// takes them. Postings hold document ids in order per term; turning them
// into per-document lists reads every posting once.
#pragma once

#include <cstdint>
#include <string>

#include "segment_reader.hpp"

namespace vorpaline_core::index {

// The JSON text {"documents": [{"metadata": str, "length": n, "terms": [..],
// "tfs": [..]}...]}, one entry per document in order, each one's terms
// ascending. Throws DamagedIndex when a posting list is damaged.
std::string term_vectors_json(const SegmentReader& segment);

}  // namespace vorpaline_core::index
