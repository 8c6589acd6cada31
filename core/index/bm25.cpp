#include "bm25.hpp"

#include <algorithm>
#include <cmath>

#include "scoring.hpp"
#include "wand.hpp"

namespace vorpaline_core::index {

namespace {

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

}  // namespace

std::vector<ScoredDoc> search_bm25(std::span<const LiveSegment> segments, std::span<const std::uint32_t> terms,
                                   std::size_t k, const Bm25Parameters& parameters, const DocFilter& filter) {
  if (k == 0 || terms.empty()) return {};

  std::uint64_t documents = 0;
  for (const LiveSegment& segment : segments) documents += segment.reader->doc_count() - segment.deleted_count;
  if (documents == 0) return {};

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
  if (query.empty()) return {};

  const QueryScorer scorer(segments, documents, std::move(query), parameters);
  TopDocs top(segments, k, filter);
  for (std::uint32_t s = 0; s < segments.size(); ++s) {
    // The best k so far carry over: a later segment's blocks are passed over against them.
    if (parameters.exhaustive || segments[s].reader->format() == kVarintSegmentFormat) {
      search_segment_exhaustive(segments[s], s, scorer, top);
    } else {
      search_segment_pruned(segments[s], s, scorer, top);
    }
  }
  return std::move(top).sorted();
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
