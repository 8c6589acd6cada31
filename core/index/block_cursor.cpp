#include "block_cursor.hpp"

#include <algorithm>

namespace vorpaline_core::index {

BlockCursor::BlockCursor(const SegmentReader& reader, const TermEntry& entry, const QueryTerm& term,
                         std::size_t position, const QueryScorer& scorer)
    : reader_(&reader), term_(&term), position_(position), blocks_(reader.term_blocks(entry)) {
  last_docs_.reserve(blocks_.blocks);
  bounds_.reserve(blocks_.blocks);
  if (blocks_.blocks == 1) {
    decode(0);
    double bound = 0.0;
    for (std::uint32_t i = 0; i < block_.count; ++i) {
      bound = std::max(bound, scorer.document_bound(term, reader.record(block_.docs[i]), block_.frequencies[i]));
    }
    last_docs_.push_back(block_.docs[block_.count - 1]);
    bounds_.push_back(bound);
  } else {
    for (std::uint32_t b = 0; b < blocks_.blocks; ++b) {
      const SkipEntry skip = blocks_.skip(b);
      last_docs_.push_back(skip.last_doc);
      bounds_.push_back(scorer.block_bound(term, skip));
    }
    decode(0);
  }
  max_bound_ = *std::max_element(bounds_.begin(), bounds_.end());
}

void BlockCursor::decode(std::uint32_t block) {
  reader_->decode_block(blocks_, block, block_);
  decoded_ = block;
  shallow_ = std::max(shallow_, block);
  at_ = 0;
  doc_ = block_.docs[0];
}

void BlockCursor::next() {
  if (doc_ == kEnd) return;
  if (++at_ < block_.count) {
    doc_ = block_.docs[at_];
  } else if (decoded_ + 1 < blocks_.blocks) {
    decode(decoded_ + 1);
  } else {
    doc_ = kEnd;
    shallow_ = blocks_.blocks;
  }
}

void BlockCursor::shallow_seek(std::uint32_t target) {
  if (doc_ == kEnd) return;
  // Targets only grow in a search, but a bound must never come from a block past the target's.
  if (shallow_ > decoded_ && shallow_ <= last_docs_.size() && last_docs_[shallow_ - 1] >= target) shallow_ = decoded_;
  if (shallow_ < last_docs_.size() && last_docs_[shallow_] < target) {
    shallow_ = static_cast<std::uint32_t>(
        std::lower_bound(last_docs_.begin() + shallow_, last_docs_.end(), target) - last_docs_.begin());
  }
}

void BlockCursor::seek(std::uint32_t target) {
  if (doc_ >= target) return;
  shallow_seek(target);
  if (shallow_ >= blocks_.blocks) {
    doc_ = kEnd;
    return;
  }
  if (shallow_ != decoded_) decode(shallow_);
  while (block_.docs[at_] < target) ++at_;  // the block's last document is at or after target
  doc_ = block_.docs[at_];
}

}  // namespace vorpaline_core::index
