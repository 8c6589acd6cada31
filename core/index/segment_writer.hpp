// Builds one segment in memory, document by document, and writes it to a
// file in one go (segment_format.hpp). Document ids are given in the order
// the documents are added, from 0.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "embed/term_counts.hpp"

namespace vorpaline_core::index {

class SegmentWriter {
 public:
  // `terms` in any order, an index more than once if need be (their counts
  // add up); `metadata` is kept with the document as it is. Returns the
  // document's id.
  std::uint32_t add(std::span<const TermCount> terms, std::string_view metadata);

  // For a merge, which has the postings rather than each document's terms:
  // the documents first, then their postings, term by term, documents ascending.
  std::uint32_t add_document(std::uint32_t length, std::string_view metadata);
  void add_posting(std::uint32_t term, std::uint32_t doc, std::uint32_t tf) { postings_.push_back({term, doc, tf}); }

  std::uint32_t doc_count() const { return static_cast<std::uint32_t>(lengths_.size()); }
  std::uint64_t text_terms() const { return postings_.size(); }

  // Writes the segment to `path`, which must not exist yet, and makes it
  // durable (fsync) before returning. Throws std::system_error on failure,
  // leaving no file behind. The postings are sorted in place: write once.
  void write(const std::string& path);

 private:
  struct Posting {
    std::uint32_t term;
    std::uint32_t doc;
    std::uint32_t tf;
  };
  std::vector<Posting> postings_;
  std::vector<std::uint32_t> lengths_;
  std::vector<std::uint64_t> metadata_offsets_{0};
  std::string metadata_;
  std::uint64_t total_length_ = 0;
};

}  // namespace vorpaline_core::index
