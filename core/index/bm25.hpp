// BM25 over a set of live segments, with statistics taken at query time:
// N and the average length over the documents not deleted, each term's
// document frequency counted over them too, and Lucene's IDF
//   idf(t) = ln(1 + (N - df + 0.5) / (df + 0.5)),
//   score(d) = sum over query terms of idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len / avglen)).
// Scoring reads the segments only; it keeps no state between queries but
// the caller's scratch, so searches may run in several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "segment_reader.hpp"

namespace vorpaline_core::index {

struct Bm25Parameters {
  double k1 = 1.2;
  double b = 0.75;
};

// A segment as the index sees it now: some of its documents may be deleted.
struct LiveSegment {
  const SegmentReader* reader;
  std::span<const std::uint64_t> deleted;  // a bit per document; empty when none is
  std::uint32_t deleted_count = 0;
  std::uint64_t deleted_length = 0;

  bool is_deleted(std::uint32_t doc) const {
    return !deleted.empty() && (deleted[doc / 64] >> (doc % 64) & 1) != 0;
  }
};

struct ScoredDoc {
  std::uint32_t segment;  // its position in the segments searched
  std::uint32_t doc;
  double score;
};

// Decides whether a document may be returned (a path filter, say).
using DocFilter = std::function<bool(std::uint32_t segment, std::uint32_t doc)>;

// The k best documents for the query's terms (each counted once), best
// first; equal scores in the order of their metadata, whatever segments
// hold them. Documents that match no query term are never returned.
std::vector<ScoredDoc> search_bm25(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                   std::size_t k, const Bm25Parameters& parameters, const DocFilter& filter = {});

}  // namespace vorpaline_core::index
