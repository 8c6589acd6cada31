#include "term_vectors.hpp"

#include "scan/json_text.hpp"

namespace vorpaline_core::index {

TermVectors term_vectors(const SegmentReader& segment) {
  const std::uint32_t documents = segment.doc_count();
  TermVectors vectors;
  // Counting first lets one flat array hold every document's (term, tf)
  // pairs, each document's run in term order since the terms are.
  std::vector<std::uint64_t>& starts = vectors.starts;
  starts.assign(static_cast<std::size_t>(documents) + 1, 0);
  for (const TermEntry& entry : segment.terms()) {
    segment.for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies&) { ++starts[doc + 1]; });
  }
  for (std::uint32_t doc = 0; doc < documents; ++doc) starts[doc + 1] += starts[doc];
  vectors.terms.resize(starts.back());
  for (auto& field_tfs : vectors.tfs) field_tfs.resize(starts.back());
  std::vector<std::uint64_t> filled(starts.begin(), starts.end() - 1);
  for (const TermEntry& entry : segment.terms()) {
    segment.for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
      vectors.terms[filled[doc]] = entry.term;
      for (std::size_t field = 0; field < kFieldCount; ++field) vectors.tfs[field][filled[doc]] = frequencies.tf[field];
      ++filled[doc];
    });
  }
  return vectors;
}

std::vector<double> saturated_weights(const SegmentReader& segment, const TermVectors& vectors,
                                      const Weighting& weighting) {
  std::vector<double> weights(vectors.terms.size());
  const double k1 = weighting.k1;
  for (std::uint32_t doc = 0; doc < segment.doc_count(); ++doc) {
    const DocumentRecord& record = segment.record(doc);
    double norms[kFieldCount];
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      const double average = weighting.average[field];
      const double b = weighting.b[field];
      norms[field] = average > 0 ? 1.0 - b + b * static_cast<double>(record.lengths[field]) / average : 1.0;
    }
    for (std::uint64_t at = vectors.starts[doc]; at < vectors.starts[doc + 1]; ++at) {
      double combined = 0.0;
      for (std::size_t field = 0; field < kFieldCount; ++field) {
        const std::uint32_t tf = vectors.tfs[field][at];
        if (tf != 0 && weighting.weight[field] != 0) {
          combined += weighting.weight[field] * static_cast<double>(tf) / norms[field];
        }
      }
      weights[at] = combined * (k1 + 1.0) / (combined + k1);
    }
  }
  return weights;
}

std::string term_vectors_json(const SegmentReader& segment) {
  const TermVectors vectors = term_vectors(segment);
  scan::StringSink sink;
  sink.put("{\"documents\":[");
  for (std::uint32_t doc = 0; doc < segment.doc_count(); ++doc) {
    segment.check_stored(doc);
    sink.put(doc == 0 ? "{\"metadata\":" : ",{\"metadata\":");
    scan::put_string(sink, segment.metadata(doc));
    sink.put(",\"symbols\":");
    scan::put_string(sink, segment.symbols(doc));
    const DocumentRecord& record = segment.record(doc);
    sink.put(",\"length\":");
    scan::put_number(sink, record.lengths[kTextField]);
    sink.put(",\"names_length\":");
    scan::put_number(sink, record.lengths[kNamesField]);
    sink.put(",\"path_length\":");
    scan::put_number(sink, record.lengths[kPathField]);
    sink.put(",\"roles\":");
    scan::put_number(sink, record.roles);
    for (const auto& [name, values] :
         {std::pair{",\"terms\":[", &vectors.terms}, std::pair{"],\"tfs\":[", &vectors.tfs[kTextField]},
          std::pair{"],\"names_tfs\":[", &vectors.tfs[kNamesField]},
          std::pair{"],\"path_tfs\":[", &vectors.tfs[kPathField]}}) {
      sink.put(name);
      for (std::uint64_t at = vectors.starts[doc]; at < vectors.starts[doc + 1]; ++at) {
        if (at != vectors.starts[doc]) sink.put(',');
        scan::put_number(sink, (*values)[at]);
      }
    }
    sink.put("]}");
  }
  sink.put("]}");
  return std::move(sink.text);
}

}  // namespace vorpaline_core::index
