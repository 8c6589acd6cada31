#include "term_vectors.hpp"

#include <vector>

#include "scan/json_text.hpp"

namespace vorpaline_core::index {

std::string term_vectors_json(const SegmentReader& segment) {
  const std::uint32_t documents = segment.doc_count();
  // Counting first lets one flat array hold every document's (term, tf)
  // pairs, each document's run in term order since the terms are.
  std::vector<std::uint64_t> starts(static_cast<std::size_t>(documents) + 1, 0);
  for (const TermEntry& entry : segment.terms()) {
    segment.for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies&) { ++starts[doc + 1]; });
  }
  for (std::uint32_t doc = 0; doc < documents; ++doc) starts[doc + 1] += starts[doc];
  std::vector<std::uint32_t> terms(starts.back());
  std::vector<std::uint32_t> tfs[kFieldCount];
  for (auto& field_tfs : tfs) field_tfs.resize(starts.back());
  std::vector<std::uint64_t> filled(starts.begin(), starts.end() - 1);
  for (const TermEntry& entry : segment.terms()) {
    segment.for_each_posting(entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
      terms[filled[doc]] = entry.term;
      for (std::size_t field = 0; field < kFieldCount; ++field) tfs[field][filled[doc]] = frequencies.tf[field];
      ++filled[doc];
    });
  }

  scan::StringSink sink;
  sink.put("{\"documents\":[");
  for (std::uint32_t doc = 0; doc < documents; ++doc) {
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
    for (const auto& [name, values] : {std::pair{",\"terms\":[", &terms}, std::pair{"],\"tfs\":[", &tfs[kTextField]},
                                       std::pair{"],\"names_tfs\":[", &tfs[kNamesField]},
                                       std::pair{"],\"path_tfs\":[", &tfs[kPathField]}}) {
      sink.put(name);
      for (std::uint64_t at = starts[doc]; at < starts[doc + 1]; ++at) {
        if (at != starts[doc]) sink.put(',');
        scan::put_number(sink, (*values)[at]);
      }
    }
    sink.put("]}");
  }
  sink.put("]}");
  return std::move(sink.text);
}

}  // namespace vorpaline_core::index
