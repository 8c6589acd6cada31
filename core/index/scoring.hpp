// What a BM25F search scores with, shared by the exhaustive and the pruned
// search of a segment (bm25.hpp for the formula): the query's terms and
// their IDF, the fields' live averages, a document's final score from its
// terms' contributions, bounds on a term's contribution to any document of
// a block, and the best k documents so far. Built per query, read-only
// while segments are searched.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bm25.hpp"
#include "fields.hpp"
#include "segment_format.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::index {

struct QueryTerm {
  std::uint32_t term;
  double idf;
};

// Each field's weight and length normalisation, with the live averages.
struct FieldNorms {
  double weight[kFieldCount];
  double b[kFieldCount];
  double average[kFieldCount];

  FieldNorms(std::span<const LiveSegment> segments, std::uint64_t documents, const Bm25Parameters& parameters);

  double norm(std::uint32_t length, std::size_t field) const {
    return 1.0 - b[field] + b[field] * length / average[field];
  }

  double combined_tf(const DocumentRecord& record, const FieldFrequencies& frequencies) const {
    double combined = 0.0;
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      if (frequencies.tf[field] == 0 || weight[field] == 0.0) continue;
      combined += weight[field] * frequencies.tf[field] / norm(record.lengths[field], field);
    }
    return combined;
  }

  // idf * tf~ (k1 + 1) / (tf~ + k1); most postings hold the term in the text
  // alone, where that is BM25's tf (k1 + 1) / (tf + k1 norm), one division.
  double score(double idf, double k1, const DocumentRecord& record, const FieldFrequencies& frequencies) const {
    if (frequencies.tf[kNamesField] == 0 && frequencies.tf[kPathField] == 0) {
      const double tf = frequencies.tf[kTextField];
      return idf * tf * (k1 + 1.0) / (tf + k1 * norm(record.lengths[kTextField], kTextField));
    }
    const double f = combined_tf(record, frequencies);
    return f == 0.0 ? 0.0 : idf * f * (k1 + 1.0) / (f + k1);
  }
};

class QueryScorer {
 public:
  QueryScorer(std::span<const LiveSegment> segments, std::uint64_t documents, std::vector<QueryTerm> query,
              const Bm25Parameters& parameters);

  std::span<const QueryTerm> query() const { return query_; }
  bool boosts() const { return boosts_; }

  double contribution(const QueryTerm& term, const DocumentRecord& record, const FieldFrequencies& frequencies) const {
    return norms_.score(term.idf, parameters_.k1, record, frequencies);
  }
  // The score of a document from the sum of its terms' contributions, in
  // query order, and how many of them it holds among its names.
  double finish(const SegmentReader& reader, std::uint32_t doc, double sum, std::size_t named) const;

  // At least the term's part of the score of any document of the block the
  // skip entry describes, and of the document with these frequencies.
  double block_bound(const QueryTerm& term, const SkipEntry& skip) const;
  double document_bound(const QueryTerm& term, const DocumentRecord& record, const FieldFrequencies& frequencies) const;

 private:
  double role_prior(std::uint32_t roles) const;

  FieldNorms norms_;
  std::vector<QueryTerm> query_;
  const Bm25Parameters& parameters_;
  bool boosts_;
  double boost_bound_;                      // max(boost, 1)
  double role_bounds_[1u << kRoleCount];  // per set of roles, the product of max(weight, 1)
};

// Better first: a higher score, then the smaller metadata (a path and its
// lines), so that equal scores come in the same order however the index is
// laid out in segments; then the earlier segment and document.
struct RanksBefore {
  std::span<const LiveSegment> segments;
  bool operator()(const ScoredDoc& a, const ScoredDoc& b) const {
    if (a.score != b.score) return a.score > b.score;
    const std::string_view ma = segments[a.segment].reader->metadata(a.doc);
    const std::string_view mb = segments[b.segment].reader->metadata(b.doc);
    if (ma != mb) return ma < mb;
    if (a.segment != b.segment) return a.segment < b.segment;
    return a.doc < b.doc;
  }
};

// The best k documents offered, those the filter keeps; a min-heap whose top
// is the one to beat.
class TopDocs {
 public:
  TopDocs(std::span<const LiveSegment> segments, std::size_t k, const DocFilter& filter)
      : ranks_before_{segments}, k_(k), filter_(filter) {}

  // Whether a document scoring at most `bound` could still be among the best:
  // only one scoring less than the k-th may be passed over.
  bool may_enter(double bound) const {
    return best_.size() < k_ || bound * (1.0 + 1e-12) >= best_.front().score;
  }
  void offer(const ScoredDoc& candidate);
  std::vector<ScoredDoc> sorted() &&;

 private:
  RanksBefore ranks_before_;
  std::size_t k_;
  const DocFilter& filter_;
  std::vector<ScoredDoc> best_;
};

}  // namespace vorpaline_core::index
