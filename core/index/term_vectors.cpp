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
    segment.for_each_posting(entry, [&](std::uint32_t doc, std::uint32_t) { ++starts[doc + 1]; });
  }
  for (std::uint32_t doc = 0; doc < documents; ++doc) starts[doc + 1] += starts[doc];
  std::vector<std::uint32_t> terms(starts.back());
  std::vector<std::uint32_t> tfs(starts.back());
  std::vector<std::uint64_t> filled(starts.begin(), starts.end() - 1);
  for (const TermEntry& entry : segment.terms()) {
    segment.for_each_posting(entry, [&](std::uint32_t doc, std::uint32_t tf) {
      terms[filled[doc]] = entry.term;
      tfs[filled[doc]++] = tf;
    });
  }

  scan::StringSink sink;
  sink.put("{\"documents\":[");
  for (std::uint32_t doc = 0; doc < documents; ++doc) {
    sink.put(doc == 0 ? "{\"metadata\":" : ",{\"metadata\":");
    scan::put_string(sink, segment.metadata(doc));
    sink.put(",\"length\":");
    scan::put_number(sink, segment.length(doc));
    for (const auto& [name, values] : {std::pair{",\"terms\":[", &terms}, std::pair{"],\"tfs\":[", &tfs}}) {
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
