#include "bm25.hpp"

#include <algorithm>
#include <cmath>

#include "defined_names.hpp"

namespace vorpaline_core::index {

namespace {

struct QueryTerm {
  std::uint32_t term;
  double idf;
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

std::uint64_t live_df(const LiveSegment& segment, const TermEntry& entry) {
  if (segment.deleted_count == 0) return entry.df;
  std::uint64_t df = 0;
  segment.reader->for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies&) {
    df += !segment.is_deleted(doc);
  });
  return df;
}

std::vector<std::uint32_t> distinct_terms(std::span<const std::uint32_t> terms) {
  std::vector<std::uint32_t> distinct(terms.begin(), terms.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  return distinct;
}

// Each field's weight and length normalisation, with the live averages.
struct FieldNorms {
  double weight[kFieldCount];
  double b[kFieldCount];
  double average[kFieldCount];

  FieldNorms(std::span<const LiveSegment> segments, std::uint64_t documents, const Bm25Parameters& parameters)
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

  double norm(const DocumentRecord& record, std::size_t field) const {
    return 1.0 - b[field] + b[field] * record.lengths[field] / average[field];
  }

  double combined_tf(const DocumentRecord& record, const FieldFrequencies& frequencies) const {
    double combined = 0.0;
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      if (frequencies.tf[field] == 0 || weight[field] == 0.0) continue;
      combined += weight[field] * frequencies.tf[field] / norm(record, field);
    }
    return combined;
  }

  // idf * tf~ (k1 + 1) / (tf~ + k1); most postings hold the term in the text
  // alone, where that is BM25's tf (k1 + 1) / (tf + k1 norm), one division.
  double score(double idf, double k1, const DocumentRecord& record, const FieldFrequencies& frequencies) const {
    if (frequencies.tf[kNamesField] == 0 && frequencies.tf[kPathField] == 0) {
      const double tf = frequencies.tf[kTextField];
      return idf * tf * (k1 + 1.0) / (tf + k1 * norm(record, kTextField));
    }
    const double f = combined_tf(record, frequencies);
    return f == 0.0 ? 0.0 : idf * f * (k1 + 1.0) / (f + k1);
  }
};

double role_prior(std::uint32_t roles, const Bm25Parameters& parameters) {
  double prior = 1.0;
  for (std::size_t role = 0; role < kRoleCount; ++role) {
    if ((roles >> role & 1) != 0) prior *= parameters.role_weights[role];
  }
  return prior;
}

}  // namespace

std::vector<ScoredDoc> search_bm25(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                   std::size_t k, const Bm25Parameters& parameters, const DocFilter& filter) {
  std::vector<ScoredDoc> best;
  if (k == 0 || terms.empty()) return best;

  std::uint64_t documents = 0;
  for (const LiveSegment& segment : segments) documents += segment.reader->doc_count() - segment.deleted_count;
  if (documents == 0) return best;
  const FieldNorms norms(segments, documents, parameters);

  std::vector<QueryTerm> query;
  for (const std::uint32_t term : distinct_terms(terms)) {
    std::uint64_t df = 0;
    for (const LiveSegment& segment : segments) {
      if (const TermEntry* entry = segment.reader->find(term)) df += live_df(segment, *entry);
    }
    if (df == 0) continue;
    const double n = static_cast<double>(documents);
    const double d = static_cast<double>(df);
    query.push_back({term, std::log(1.0 + (n - d + 0.5) / (d + 0.5))});
  }
  if (query.empty()) return best;

  const double k1 = parameters.k1;
  const bool boosts = parameters.definition_boost != 1.0 && !parameters.defined_names.empty();
  std::vector<double> scores;
  std::vector<std::uint32_t> named;  // per document, the query terms among its defined names
  std::vector<std::uint32_t> touched;
  // A min-heap of the best k so far: its top is the one to beat.
  const RanksBefore ranks_before{segments};
  const auto worse_on_top = [&](const ScoredDoc& a, const ScoredDoc& c) { return ranks_before(a, c); };
  for (std::uint32_t s = 0; s < segments.size(); ++s) {
    const LiveSegment& segment = segments[s];
    const SegmentReader& reader = *segment.reader;
    scores.assign(reader.doc_count(), 0.0);
    if (boosts) named.assign(reader.doc_count(), 0);
    touched.clear();
    for (const QueryTerm& term : query) {
      const TermEntry* entry = reader.find(term.term);
      if (entry == nullptr) continue;
      reader.for_each_posting(*entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
        if (segment.is_deleted(doc)) return;
        const double gained = norms.score(term.idf, k1, reader.record(doc), frequencies);
        if (gained == 0.0) return;
        if (scores[doc] == 0.0) touched.push_back(doc);
        scores[doc] += gained;
        if (boosts && frequencies.tf[kNamesField] != 0) ++named[doc];
      });
    }
    for (const std::uint32_t doc : touched) {
      double score = scores[doc] * role_prior(reader.record(doc).roles, parameters);
      // Every query term among its names, then the exact name among its definitions.
      if (boosts && named[doc] == query.size()) {
        const NameMatch match = defines_any(reader.symbols(doc), parameters.defined_names,
                                            parameters.defined_names_lowered);
        if (match == NameMatch::kExact) score *= parameters.definition_boost;
        if (match == NameMatch::kOtherCase) score *= std::sqrt(parameters.definition_boost);
      }
      const ScoredDoc candidate{s, doc, score};
      if (best.size() == k && !ranks_before(candidate, best.front())) continue;
      if (filter && !filter(s, doc)) continue;
      best.push_back(candidate);
      std::push_heap(best.begin(), best.end(), worse_on_top);
      if (best.size() > k) {
        std::pop_heap(best.begin(), best.end(), worse_on_top);
        best.pop_back();
      }
    }
  }
  std::sort(best.begin(), best.end(), ranks_before);
  return best;
}

std::vector<ScoredDoc> documents_with_all(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                          Field field) {
  std::vector<ScoredDoc> found;
  const std::vector<std::uint32_t> wanted = distinct_terms(terms);
  std::vector<std::uint32_t> held;
  for (std::uint32_t s = 0; s < segments.size(); ++s) {
    const LiveSegment& segment = segments[s];
    held.assign(segment.reader->doc_count(), 0);
    bool every_term = true;
    for (const std::uint32_t term : wanted) {
      const TermEntry* entry = segment.reader->find(term);
      if (entry == nullptr) {
        every_term = false;
        break;
      }
      segment.reader->for_each_posting(*entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
        if (frequencies.tf[field] != 0 && !segment.is_deleted(doc)) ++held[doc];
      });
    }
    if (!every_term) continue;
    for (std::uint32_t doc = 0; doc < held.size(); ++doc) {
      if (held[doc] == wanted.size() && !segment.is_deleted(doc)) found.push_back({s, doc, 0.0});
    }
  }
  return found;
}

}  // namespace vorpaline_core::index
