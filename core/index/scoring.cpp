#include "scoring.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "block_codec.hpp"
#include "defined_names.hpp"

namespace vorpaline_core::index {

FieldNorms::FieldNorms(std::span<const LiveSegment> segments, std::uint64_t documents,
                       const Bm25Parameters& parameters)
    : weight{1.0, parameters.names.weight, parameters.path.weight},
      b{parameters.b, parameters.names.b, parameters.path.b} {
  for (std::size_t field = 0; field < kFieldCount; ++field) {
    std::uint64_t total = 0;
    for (const LiveSegment& segment : segments) {
      total += segment.reader->total_length(field) - segment.deleted_lengths[field];
    }
    average[field] = std::max(1.0, static_cast<double>(total) / static_cast<double>(documents));
  }
}

QueryScorer::QueryScorer(std::span<const LiveSegment> segments, std::uint64_t documents, std::vector<QueryTerm> query,
                         const Bm25Parameters& parameters)
    : norms_(segments, documents, parameters),
      query_(std::move(query)),
      parameters_(parameters),
      boosts_(parameters.definition_boost != 1.0 && !parameters.defined_names.empty()),
      boost_bound_(boosts_ ? std::max(parameters.definition_boost, 1.0) : 1.0) {
  for (std::uint32_t roles = 0; roles < (1u << kRoleCount); ++roles) {
    double bound = 1.0;
    for (std::size_t role = 0; role < kRoleCount; ++role) {
      if ((roles >> role & 1) != 0) bound *= std::max(parameters.role_weights[role], 1.0);
    }
    role_bounds_[roles] = bound;
  }
}

double QueryScorer::role_prior(std::uint32_t roles) const {
  double prior = 1.0;
  for (std::size_t role = 0; role < kRoleCount; ++role) {
    if ((roles >> role & 1) != 0) prior *= parameters_.role_weights[role];
  }
  return prior;
}

double QueryScorer::finish(const SegmentReader& reader, std::uint32_t doc, double sum, std::size_t named) const {
  double score = sum * role_prior(reader.record(doc).roles);
  // Every query term among its names, then the exact name among its definitions.
  if (boosts_ && named == query_.size()) {
    const NameMatch match = defines_any(reader.symbols(doc), parameters_.defined_names,
                                        parameters_.defined_names_lowered);
    if (match == NameMatch::kExact) score *= parameters_.definition_boost;
    if (match == NameMatch::kOtherCase) score *= std::sqrt(parameters_.definition_boost);
  }
  return score;
}

// The BM25F part rises with each field's tf and falls with its length (for
// any k1 >= 0, b in [0, 1], weights >= 0): the block's largest tfs over its
// smallest lengths bound it; an unbounded tf (255 or more) bounds it by its
// limit, idf (k1 + 1).
double QueryScorer::block_bound(const QueryTerm& term, const SkipEntry& skip) const {
  const double k1 = parameters_.k1;
  const double limit = term.idf * (k1 + 1.0);
  double f = 0.0;
  bool unbounded = false;
  for (std::size_t field = 0; field < kFieldCount; ++field) {
    if (skip.max_tf[field] == 0 || norms_.weight[field] == 0.0) continue;
    const double norm = norms_.norm(code_length(skip.min_length[field]), field);
    if (skip.max_tf[field] == 255 || !(norm > 0.0)) unbounded = true;
    if (!unbounded) f += norms_.weight[field] * skip.max_tf[field] / norm;
  }
  double bound = unbounded || !std::isfinite(f) ? limit : (f == 0.0 ? 0.0 : std::min(limit, term.idf * f * (k1 + 1.0) / (f + k1)));
  bound *= role_bounds_[skip.roles & ((1u << kRoleCount) - 1)];
  if (skip.max_tf[kNamesField] != 0) bound *= boost_bound_;
  return bound;
}

double QueryScorer::document_bound(const QueryTerm& term, const DocumentRecord& record,
                                   const FieldFrequencies& frequencies) const {
  double bound = contribution(term, record, frequencies) * role_prior(record.roles);
  if (frequencies.tf[kNamesField] != 0) bound *= boost_bound_;
  return bound;
}

void TopDocs::offer(const ScoredDoc& candidate) {
  const auto worse_on_top = [this](const ScoredDoc& a, const ScoredDoc& c) { return ranks_before_(a, c); };
  if (best_.size() == k_ && !ranks_before_(candidate, best_.front())) return;
  if (filter_ && !filter_(candidate.segment, candidate.doc)) return;
  best_.push_back(candidate);
  std::push_heap(best_.begin(), best_.end(), worse_on_top);
  if (best_.size() > k_) {
    std::pop_heap(best_.begin(), best_.end(), worse_on_top);
    best_.pop_back();
  }
}

std::vector<ScoredDoc> TopDocs::sorted() && {
  std::sort(best_.begin(), best_.end(), ranks_before_);
  return std::move(best_);
}

}  // namespace vorpaline_core::index
