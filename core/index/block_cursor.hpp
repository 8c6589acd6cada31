// A cursor over one query term's postings in a format-3 segment, for a
// pruned search: it moves to a document at or after a target, decoding only
// the blocks it lands in, and tells a bound on the term's contribution to
// any document of the block that holds a target (a shallow seek: no block
// decoded) and to any document at all. A term of one block is decoded at
// once and bounded by its documents' own contributions.
#pragma once

#include <cstdint>
#include <vector>

#include "block_codec.hpp"
#include "scoring.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::index {

class BlockCursor {
 public:
  static constexpr std::uint32_t kEnd = UINT32_MAX;

  // `term` is the query's, `position` its place in the query's order.
  BlockCursor(const SegmentReader& reader, const TermEntry& entry, const QueryTerm& term, std::size_t position,
              const QueryScorer& scorer);

  const QueryTerm& term() const { return *term_; }
  std::size_t position() const { return position_; }
  std::uint32_t doc() const { return doc_; }
  const FieldFrequencies& frequencies() const { return block_.frequencies[at_]; }
  double max_bound() const { return max_bound_; }

  void next();
  void seek(std::uint32_t target);  // to the first document at or after target

  // To the block that would hold `target`, without decoding it; its last
  // document (kEnd past the last block) and its bound (0 there).
  void shallow_seek(std::uint32_t target);
  std::uint32_t block_last() const { return shallow_ < last_docs_.size() ? last_docs_[shallow_] : kEnd; }
  double block_bound() const { return shallow_ < bounds_.size() ? bounds_[shallow_] : 0.0; }

 private:
  void decode(std::uint32_t block);

  const SegmentReader* reader_;
  const QueryTerm* term_;
  std::size_t position_;
  TermBlocks blocks_;
  std::vector<std::uint32_t> last_docs_;  // per block
  std::vector<double> bounds_;            // per block
  double max_bound_ = 0.0;
  std::uint32_t decoded_ = 0;  // the block in block_
  std::uint32_t shallow_ = 0;  // at or after decoded_
  std::uint32_t at_ = 0;
  std::uint32_t doc_ = kEnd;
  DecodedBlock block_;
};

}  // namespace vorpaline_core::index
