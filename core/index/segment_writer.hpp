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
#include "fields.hpp"

namespace vorpaline_core::index {

class SegmentWriter {
 public:
  using FieldTerms = std::span<const TermCount>[kFieldCount];

  // Each field's terms in any order, an index more than once if need be
  // (their counts add up); `metadata` and `symbols` are kept with the
  // document as they are. Returns the document's id.
  std::uint32_t add(const FieldTerms& fields, std::string_view metadata, std::string_view symbols = {},
                    std::uint32_t roles = 0);
  // A document of text alone.
  std::uint32_t add(std::span<const TermCount> text, std::string_view metadata);

  // For a merge, which has the postings rather than each document's terms:
  // the documents first, then their postings, term by term, documents ascending.
  std::uint32_t add_document(const DocumentRecord& record, std::string_view metadata, std::string_view symbols);
  void add_posting(std::uint32_t term, std::uint32_t doc, const FieldFrequencies& frequencies);

  std::uint32_t doc_count() const { return static_cast<std::uint32_t>(records_.size()); }
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
    std::uint32_t field;
  };
  // Strings kept per document, end to end.
  struct StoredStrings {
    std::vector<std::uint64_t> offsets{0};
    std::string blob;
    void add(std::string_view text) {
      blob += text;
      offsets.push_back(blob.size());
    }
  };
  std::uint32_t add_record(const DocumentRecord& record, std::string_view metadata, std::string_view symbols);

  std::vector<Posting> postings_;
  std::vector<DocumentRecord> records_;
  StoredStrings metadata_;
  StoredStrings symbols_;
  std::uint64_t total_lengths_[kFieldCount] = {};
};

}  // namespace vorpaline_core::index
