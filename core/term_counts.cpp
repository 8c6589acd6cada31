#include "term_counts.hpp"

#include <algorithm>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vorpaline_core {

std::uint32_t token_index(std::string_view token) {
  return XXH32(token.data(), token.size(), 0) & 0x7FFFFFFFu;
}

void TermCounts::add_token(std::string_view token) { add(token_index(token)); }

std::size_t TermCounts::find_slot(std::uint32_t index) const {
  // The index is already a hash, so its low bits pick the slot.
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = index & mask;
  while (slots_[slot].index != index && slots_[slot].index != kEmpty) slot = (slot + 1) & mask;
  return slot;
}

void TermCounts::add(std::uint32_t index) {
  const std::size_t slot = find_slot(index);
  if (slots_[slot].index == kEmpty) {
    slots_[slot].index = index;
    used_slots_.push_back(static_cast<std::uint32_t>(slot));
  }
  ++slots_[slot].tf;
  if (used_slots_.size() * 2 > slots_.size()) grow();
}

void TermCounts::grow() {
  std::vector<TermCount> terms;
  terms.reserve(used_slots_.size());
  for (std::uint32_t slot : used_slots_) terms.push_back(slots_[slot]);
  slots_.assign(slots_.size() * 2, TermCount{kEmpty, 0});
  used_slots_.clear();
  for (const TermCount& term : terms) {
    const std::size_t slot = find_slot(term.index);
    slots_[slot] = term;
    used_slots_.push_back(static_cast<std::uint32_t>(slot));
  }
}

std::span<const TermCount> TermCounts::sorted() {
  sorted_.clear();
  for (std::uint32_t slot : used_slots_) sorted_.push_back(slots_[slot]);
  std::sort(sorted_.begin(), sorted_.end(),
            [](const TermCount& a, const TermCount& b) { return a.index < b.index; });
  return sorted_;
}

void TermCounts::clear() {
  for (std::uint32_t slot : used_slots_) slots_[slot] = TermCount{kEmpty, 0};
  used_slots_.clear();
}

}  // namespace vorpaline_core
