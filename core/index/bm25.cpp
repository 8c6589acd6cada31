#include "bm25.hpp"

#include <algorithm>
#include <cmath>

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
  segment.reader->for_each_posting(entry, [&](std::uint32_t doc, std::uint32_t) { df += !segment.is_deleted(doc); });
  return df;
}

}  // namespace

std::vector<ScoredDoc> search_bm25(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                   std::size_t k, const Bm25Parameters& parameters, const DocFilter& filter) {
  std::vector<ScoredDoc> best;
  if (k == 0 || terms.empty()) return best;

  std::uint64_t documents = 0;
  std::uint64_t total_length = 0;
  for (const LiveSegment& segment : segments) {
    documents += segment.reader->doc_count() - segment.deleted_count;
    total_length += segment.reader->total_length() - segment.deleted_length;
  }
  if (documents == 0) return best;
  const double average_length = std::max(1.0, static_cast<double>(total_length) / static_cast<double>(documents));

  std::vector<std::uint32_t> distinct(terms.begin(), terms.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<QueryTerm> query;
  for (const std::uint32_t term : distinct) {
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
  const double b = parameters.b;
  std::vector<double> scores;
  std::vector<std::uint32_t> touched;
  // A min-heap of the best k so far: its top is the one to beat.
  const RanksBefore ranks_before{segments};
  const auto worse_on_top = [&](const ScoredDoc& a, const ScoredDoc& c) { return ranks_before(a, c); };
  for (std::uint32_t s = 0; s < segments.size(); ++s) {
    const LiveSegment& segment = segments[s];
    const SegmentReader& reader = *segment.reader;
    scores.assign(reader.doc_count(), 0.0);
    touched.clear();
    for (const QueryTerm& term : query) {
      const TermEntry* entry = reader.find(term.term);
      if (entry == nullptr) continue;
      reader.for_each_posting(*entry, [&](std::uint32_t doc, std::uint32_t tf) {
        if (segment.is_deleted(doc)) return;
        const double f = tf;
        const double norm = k1 * (1.0 - b + b * reader.length(doc) / average_length);
        if (scores[doc] == 0.0) touched.push_back(doc);
        scores[doc] += term.idf * f * (k1 + 1.0) / (f + norm);
      });
    }
    for (const std::uint32_t doc : touched) {
      const ScoredDoc candidate{s, doc, scores[doc]};
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

}  // namespace vorpaline_core::index
