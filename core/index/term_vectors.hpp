// A segment's documents the other way round: for each document its terms and
// their frequencies, as a store of sparse vectors (a Qdrant collection, say)
// takes them. Postings hold document ids in order per term; turning them
// into per-document lists reads every posting once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fields.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::index {

// Every document's (term, frequencies) pairs in one flat run per array:
// document d's are [starts[d], starts[d + 1]), its terms ascending.
struct TermVectors {
  std::vector<std::uint64_t> starts;  // doc_count + 1 entries
  std::vector<std::uint32_t> terms;
  std::vector<std::uint32_t> tfs[kFieldCount];
};

// Throws DamagedIndex when a posting list is damaged.
TermVectors term_vectors(const SegmentReader& segment);

// What a document's term is weighted with outside the index: k1, each field's
// weight and b, and each field's average length over the whole collection.
struct Weighting {
  double k1 = 0;
  double weight[kFieldCount] = {};
  double b[kFieldCount] = {};
  double average[kFieldCount] = {};
};

// Each pair's saturated BM25F frequency, tf~ (k1 + 1) / (tf~ + k1), tf~
// summing over the fields weight tf / (1 - b + b length / average) (a norm of
// 1 for an average of 0), fields without the term or weighed as nothing left
// out. Computed in double, operation for operation as the Python store did,
// so each weight is the same number.
std::vector<double> saturated_weights(const SegmentReader& segment, const TermVectors& vectors,
                                      const Weighting& weighting);

// The JSON text {"documents": [{"metadata": str, "symbols": str, "length": n,
// "names_length": n, "path_length": n, "roles": n, "terms": [..], "tfs": [..],
// "names_tfs": [..], "path_tfs": [..]}...]}, one entry per document in order.
// Throws DamagedIndex when a posting list is damaged.
std::string term_vectors_json(const SegmentReader& segment);

}  // namespace vorpaline_core::index
