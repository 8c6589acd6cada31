// BM25F over a set of live segments (as Lucene's combined-field query and
// tantivy score documents of several fields), with statistics taken at query
// time: N, each field's average length over the documents not deleted, each
// term's document frequency over them (a document holds a term in any field)
// and Lucene's IDF:
//   idf(t)  = ln(1 + (N - df + 0.5) / (df + 0.5)),
//   tf~(d)  = sum over fields f of w_f * tf_f / (1 - b_f + b_f * len_f / avglen_f),
//   score(d) = prior(d) * sum over query terms of idf * tf~ * (k1 + 1) / (tf~ + k1).
// With the text field alone (w = 1) this is plain BM25. The prior is the
// product of the weights of its file's roles, times `definition_boost` when
// the document defines one of `defined_names` (the names the query may mean,
// defined_names.hpp), every query term among its names field.
// Format-3 segments are searched with block-max WAND (wand.hpp), with the
// same results as scoring every posting. Scoring reads the segments only; it keeps no state between queries but
// the caller's scratch, so searches may run in several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "fields.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::index {

struct FieldScoring {
  double weight = 1.0;
  double b = 0.75;
};

struct Bm25Parameters {
  double k1 = 1.2;
  double b = 0.75;  // the text field's
  // The names and path fields'; the text field's weight is 1.
  FieldScoring names{0.0, 0.5};
  FieldScoring path{0.0, 0.5};
  double role_weights[kRoleCount] = {1, 1, 1, 1, 1, 1};
  double definition_boost = 1.0;
  std::vector<std::string> defined_names;  // as the query wrote them: the full boost
  std::vector<std::string> defined_names_lowered;  // their case aside: the boost's square root
  bool exhaustive = false;  // every posting scored, no pruning: the reference a pruned search must equal
};

// A segment as the index sees it now: some of its documents may be deleted.
struct LiveSegment {
  const SegmentReader* reader;
  std::span<const std::uint64_t> deleted;  // a bit per document; empty when none is
  std::uint32_t deleted_count = 0;
  std::uint64_t deleted_lengths[kFieldCount] = {};

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

// The documents holding every one of `terms` in `field` (with no terms,
// every document), in segment and document order; none deleted.
std::vector<ScoredDoc> documents_with_all(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                          Field field);

}  // namespace vorpaline_core::index
