#include "wand.hpp"

#include <algorithm>
#include <vector>

#include "block_cursor.hpp"

namespace vorpaline_core::index {

void search_segment_exhaustive(const LiveSegment& segment, std::uint32_t position, const QueryScorer& scorer,
                               TopDocs& top) {
  const SegmentReader& reader = *segment.reader;
  std::vector<double> scores(reader.doc_count(), 0.0);
  std::vector<std::uint32_t> named;  // per document, the query terms among its names
  if (scorer.boosts()) named.assign(reader.doc_count(), 0);
  std::vector<std::uint32_t> touched;
  for (const QueryTerm& term : scorer.query()) {
    const TermEntry* entry = reader.find(term.term);
    if (entry == nullptr) continue;
    reader.for_each_posting(*entry, [&](std::uint32_t doc, const FieldFrequencies& frequencies) {
      if (segment.is_deleted(doc)) return;
      const double gained = scorer.contribution(term, reader.record(doc), frequencies);
      if (gained == 0.0) return;
      if (scores[doc] == 0.0) touched.push_back(doc);
      scores[doc] += gained;
      if (scorer.boosts() && frequencies.tf[kNamesField] != 0) ++named[doc];
    });
  }
  for (const std::uint32_t doc : touched) {
    top.offer({position, doc, scorer.finish(reader, doc, scores[doc], scorer.boosts() ? named[doc] : 0)});
  }
}

namespace {

// The cursors of one segment, kept in document order.
class Wand {
 public:
  Wand(const LiveSegment& segment, std::uint32_t position, const QueryScorer& scorer, TopDocs& top)
      : segment_(segment), position_(position), scorer_(scorer), top_(top) {
    const std::span<const QueryTerm> query = scorer.query();
    cursors_.reserve(query.size());
    for (std::size_t i = 0; i < query.size(); ++i) {
      if (const TermEntry* entry = segment.reader->find(query[i].term)) {
        cursors_.emplace_back(*segment.reader, *entry, query[i], i, scorer);
      }
    }
    for (BlockCursor& cursor : cursors_) order_.push_back(&cursor);
    sort();
  }

  void run() {
    while (step()) {
    }
  }

 private:
  void sort() {
    std::sort(order_.begin(), order_.end(), [](const BlockCursor* a, const BlockCursor* b) { return a->doc() < b->doc(); });
  }
  // After order_[i] moved forward: back into place.
  void resort(std::size_t i) {
    for (; i + 1 < order_.size() && order_[i]->doc() > order_[i + 1]->doc(); ++i) std::swap(order_[i], order_[i + 1]);
  }

  // One candidate scored, or cursors moved past documents that cannot make
  // the best k; false when no document left can.
  bool step() {
    double upper = 0.0;
    std::size_t pivot = 0;
    for (; pivot < order_.size() && order_[pivot]->doc() != BlockCursor::kEnd; ++pivot) {
      upper += order_[pivot]->max_bound();
      if (top_.may_enter(upper)) break;
    }
    if (pivot == order_.size() || order_[pivot]->doc() == BlockCursor::kEnd) return false;
    const std::uint32_t pivot_doc = order_[pivot]->doc();
    while (pivot + 1 < order_.size() && order_[pivot + 1]->doc() == pivot_doc) ++pivot;

    double block_upper = 0.0;
    for (std::size_t i = 0; i <= pivot; ++i) {
      order_[i]->shallow_seek(pivot_doc);
      block_upper += order_[i]->block_bound();
    }
    if (top_.may_enter(block_upper)) {
      if (order_[0]->doc() == pivot_doc) {
        score(pivot_doc);
        for (std::size_t i = pivot + 1; i-- > 0;) {
          order_[i]->next();
          resort(i);
        }
      } else {
        // A cursor short of the pivot catches up with it.
        std::size_t behind = pivot;
        while (order_[behind]->doc() == pivot_doc) --behind;
        order_[behind]->seek(pivot_doc);
        resort(behind);
      }
      return true;
    }
    // No document up to the end of the pivot's blocks can make it: the
    // strongest of those cursors goes past them.
    std::uint64_t next = BlockCursor::kEnd;
    std::size_t strongest = 0;
    for (std::size_t i = 0; i <= pivot; ++i) {
      next = std::min<std::uint64_t>(next, std::uint64_t{order_[i]->block_last()} + 1);
      if (order_[i]->max_bound() > order_[strongest]->max_bound()) strongest = i;
    }
    if (pivot + 1 < order_.size()) next = std::min<std::uint64_t>(next, order_[pivot + 1]->doc());
    if (next <= pivot_doc) next = std::uint64_t{pivot_doc} + 1;
    order_[strongest]->seek(static_cast<std::uint32_t>(std::min<std::uint64_t>(next, BlockCursor::kEnd)));
    resort(strongest);
    return true;
  }

  // Its terms' contributions in query order, the order of cursors_.
  void score(std::uint32_t doc) {
    if (segment_.is_deleted(doc)) return;
    const DocumentRecord& record = segment_.reader->record(doc);
    double sum = 0.0;
    std::size_t named = 0;
    for (const BlockCursor& cursor : cursors_) {
      if (cursor.doc() != doc) continue;
      const double gained = scorer_.contribution(cursor.term(), record, cursor.frequencies());
      if (gained == 0.0) continue;
      sum += gained;
      if (cursor.frequencies().tf[kNamesField] != 0) ++named;
    }
    if (sum == 0.0) return;
    top_.offer({position_, doc, scorer_.finish(*segment_.reader, doc, sum, scorer_.boosts() ? named : 0)});
  }

  const LiveSegment& segment_;
  std::uint32_t position_;
  const QueryScorer& scorer_;
  TopDocs& top_;
  std::vector<BlockCursor> cursors_;
  std::vector<BlockCursor*> order_;
};

}  // namespace

void search_segment_pruned(const LiveSegment& segment, std::uint32_t position, const QueryScorer& scorer,
                           TopDocs& top) {
  Wand(segment, position, scorer, top).run();
}

}  // namespace vorpaline_core::index
