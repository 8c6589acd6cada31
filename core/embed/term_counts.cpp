#include "term_counts.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

// Inlined, so that hashing a short token costs no call.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vorpaline_core {

namespace {

constexpr std::size_t kMinSlots = 64;  // powers of two
constexpr std::size_t kMaxStartSlots = std::size_t{1} << 16;
constexpr std::uint32_t kEmptyIndex = 0xFFFFFFFFu;  // indices never reach it

// Masks that keep the first `length` bytes of a 16-byte key, in memory order
// whatever the byte order of the machine.
struct KeyMask {
  std::uint64_t low;
  std::uint64_t high;
};

constexpr std::uint64_t first_bytes(std::size_t count) {
  std::array<unsigned char, 8> bytes{};
  for (std::size_t i = 0; i < count && i < 8; ++i) bytes[i] = 0xFF;
  return std::bit_cast<std::uint64_t>(bytes);
}

constexpr auto kKeyMasks = [] {
  std::array<KeyMask, TermCounts::kShortToken + 1> masks{};
  for (std::size_t length = 0; length < masks.size(); ++length) {
    masks[length] = {first_bytes(length), first_bytes(length < 8 ? 0 : length - 8)};
  }
  return masks;
}();

std::uint64_t load64(const char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The length of a short token from its key: the bytes up to the padding.
std::size_t key_length(std::uint64_t low, std::uint64_t high, const char* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto bytes_in = [](std::uint64_t word) {
      return static_cast<std::size_t>(std::bit_width(word) + 7) / 8;
    };
    return high != 0 ? 8 + bytes_in(high) : bytes_in(low);
  } else {
    return static_cast<std::size_t>(std::find(bytes, bytes + TermCounts::kShortToken, '\0') - bytes);
  }
}

// The top bits of the keyed hash pick the slot.
std::size_t slot_of(std::uint64_t hash, unsigned shift) {
  return static_cast<std::size_t>(hash >> shift);
}

std::size_t start_capacity(std::size_t text_bytes) {
  // Source text holds about one distinct term per 40 bytes; tables stay at
  // most half full. A table of a fifth to a tenth full has short probe runs
  // and seldom grows: measured 2-6 % faster than one a quarter full, and
  // faster than one emptier still on code.
  return std::clamp(std::bit_ceil(text_bytes / 8), kMinSlots, kMaxStartSlots);
}

// Sorts by index. Indices are hashes, spread evenly over 31 bits, so one
// counting pass on their top bits leaves a term or two per bucket, and an
// insertion sort finishes the job in about one more pass. Crafted tokens can
// crowd a bucket: a crowded one is sorted on its own, so the insertion sort
// never goes quadratic.
void sort_by_index(std::vector<TermCount>& terms, std::vector<TermCount>& scratch,
                   std::vector<std::uint32_t>& bucket_ends) {
  const auto by_index = [](const TermCount& a, const TermCount& b) { return a.index < b.index; };
  constexpr std::size_t kBucketsFrom = 32;
  constexpr std::size_t kCrowded = 16;
  constexpr unsigned kMaxBucketBits = 22;
  if (terms.size() < kBucketsFrom) {
    std::sort(terms.begin(), terms.end(), by_index);
    return;
  }
  const unsigned bucket_bits =
      std::min(static_cast<unsigned>(std::bit_width(terms.size())), kMaxBucketBits);
  const unsigned shift = 31 - bucket_bits;
  bucket_ends.assign((std::size_t{1} << bucket_bits) + 1, 0);
  for (const TermCount& term : terms) ++bucket_ends[(term.index >> shift) + 1];
  for (std::size_t i = 1; i < bucket_ends.size(); ++i) bucket_ends[i] += bucket_ends[i - 1];
  scratch.resize(terms.size());
  for (const TermCount& term : terms) scratch[bucket_ends[term.index >> shift]++] = term;
  terms.swap(scratch);
  std::size_t start = 0;
  for (std::size_t bucket = 0; bucket + 1 < bucket_ends.size(); ++bucket) {
    const std::size_t end = bucket_ends[bucket];
    if (end - start > kCrowded) std::sort(terms.begin() + start, terms.begin() + end, by_index);
    start = end;
  }
  for (std::size_t i = 1; i < terms.size(); ++i) {
    const TermCount term = terms[i];
    std::size_t at = i;
    for (; at > 0 && terms[at - 1].index > term.index; --at) terms[at] = terms[at - 1];
    terms[at] = term;
  }
}

// Tokens that share an index are one term: sorted, they sit side by side.
void merge_same_index(std::vector<TermCount>& terms) {
  std::size_t kept = 0;
  for (const TermCount& term : terms) {
    if (kept > 0 && terms[kept - 1].index == term.index) {
      terms[kept - 1].tf += term.tf;
    } else {
      terms[kept++] = term;
    }
  }
  terms.resize(kept);
}

}  // namespace

std::uint32_t token_index(std::string_view token) {
  return XXH32(token.data(), token.size(), 0) & 0x7FFFFFFFu;
}

struct PieceWiseIndex::State {
  XXH32_state_t hash;
};

PieceWiseIndex::PieceWiseIndex() : state_(std::make_unique<State>()) {
  XXH32_reset(&state_->hash, 0);
}

PieceWiseIndex::~PieceWiseIndex() = default;

void PieceWiseIndex::update(std::string_view piece) {
  XXH32_update(&state_->hash, piece.data(), piece.size());
}

std::uint32_t PieceWiseIndex::index() const {
  return XXH32_digest(&state_->hash) & 0x7FFFFFFFu;
}

void TermCounts::start(std::size_t text_bytes) {
  for (std::uint32_t slot : used_short_) short_slots_[slot] = ShortSlot{};
  used_short_.clear();
  for (std::uint32_t slot : used_indices_) index_slots_[slot] = IndexSlot{kEmptyIndex, 0};
  used_indices_.clear();

  const std::size_t capacity = start_capacity(text_bytes);
  if (capacity > short_slots_.size()) short_slots_.resize(capacity, ShortSlot{});
  short_mask_ = capacity - 1;
  short_shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  if (index_slots_.empty()) index_slots_.resize(kMinSlots, IndexSlot{kEmptyIndex, 0});
  index_mask_ = kMinSlots - 1;
  index_shift_ = 64 - static_cast<unsigned>(std::countr_zero(kMinSlots));
}

// Inlined into the token loops: most tokens end at a slot that already holds them.
inline void TermCounts::add_short(const char* bytes, std::size_t length) {
  const KeyMask& mask = kKeyMasks[length];
  const std::uint64_t low = load64(bytes) & mask.low;
  const std::uint64_t high = load64(bytes + 8) & mask.high;
  std::size_t slot = slot_of(hash_.of_short(low, high), short_shift_);
  while (true) {
    ShortSlot& here = short_slots_[slot];
    if (here.low == low && here.high == high) {
      ++here.tf;
      return;
    }
    if (here.low == 0) {
      insert_short(slot, low, high);
      return;
    }
    slot = (slot + 1) & short_mask_;
  }
}

void TermCounts::insert_short(std::size_t slot, std::uint64_t low, std::uint64_t high) {
  short_slots_[slot] = ShortSlot{low, high, 1};
  used_short_.push_back(static_cast<std::uint32_t>(slot));
  if (used_short_.size() * 2 > short_mask_ + 1) grow_short();
}

void TermCounts::add_padded(std::span<const std::string_view> tokens) {
  for (std::string_view token : tokens) {
    // Empty tokens would look like empty slots: they go the long way.
    if (token.size() - 1 < kShortToken) {
      add_short(token.data(), token.size());
    } else {
      add_index(token_index(token));
    }
  }
}

void TermCounts::add(std::string_view token) {
  if (token.size() - 1 < kShortToken) {
    char padded[kShortToken] = {};
    std::memcpy(padded, token.data(), token.size());
    add_short(padded, token.size());
  } else {
    add_index(token_index(token));
  }
}

void TermCounts::add_index(std::uint32_t index) {
  std::size_t slot = slot_of(hash_.of_index(index), index_shift_);
  while (index_slots_[slot].index != index) {
    if (index_slots_[slot].index == kEmptyIndex) {
      index_slots_[slot] = IndexSlot{index, 1};
      used_indices_.push_back(static_cast<std::uint32_t>(slot));
      if (used_indices_.size() * 2 > index_mask_ + 1) grow_indices();
      return;
    }
    slot = (slot + 1) & index_mask_;
  }
  ++index_slots_[slot].tf;
}

void TermCounts::grow_short() {
  std::vector<ShortSlot> entries;
  entries.reserve(used_short_.size());
  for (std::uint32_t slot : used_short_) {
    entries.push_back(short_slots_[slot]);
    short_slots_[slot] = ShortSlot{};
  }
  used_short_.clear();
  const std::size_t capacity = (short_mask_ + 1) * 2;
  if (capacity > short_slots_.size()) short_slots_.resize(capacity, ShortSlot{});
  short_mask_ = capacity - 1;
  --short_shift_;
  for (const ShortSlot& entry : entries) {
    std::size_t slot = slot_of(hash_.of_short(entry.low, entry.high), short_shift_);
    while (short_slots_[slot].low != 0) slot = (slot + 1) & short_mask_;
    short_slots_[slot] = entry;
    used_short_.push_back(static_cast<std::uint32_t>(slot));
  }
}

void TermCounts::grow_indices() {
  std::vector<IndexSlot> entries;
  entries.reserve(used_indices_.size());
  for (std::uint32_t slot : used_indices_) {
    entries.push_back(index_slots_[slot]);
    index_slots_[slot] = IndexSlot{kEmptyIndex, 0};
  }
  used_indices_.clear();
  const std::size_t capacity = (index_mask_ + 1) * 2;
  if (capacity > index_slots_.size()) index_slots_.resize(capacity, IndexSlot{kEmptyIndex, 0});
  index_mask_ = capacity - 1;
  --index_shift_;
  for (const IndexSlot& entry : entries) {
    std::size_t slot = slot_of(hash_.of_index(entry.index), index_shift_);
    while (index_slots_[slot].index != kEmptyIndex) slot = (slot + 1) & index_mask_;
    index_slots_[slot] = entry;
    used_indices_.push_back(static_cast<std::uint32_t>(slot));
  }
}

std::size_t TermCounts::buffer_bytes() const {
  return short_slots_.capacity() * sizeof(ShortSlot) + index_slots_.capacity() * sizeof(IndexSlot) +
         (used_short_.capacity() + used_indices_.capacity() + buckets_.capacity()) * sizeof(std::uint32_t) +
         (sorted_.capacity() + scratch_.capacity()) * sizeof(TermCount);
}

std::span<const TermCount> TermCounts::sorted() {
  unsorted();
  sort_by_index(sorted_, scratch_, buckets_);
  merge_same_index(sorted_);
  return sorted_;
}

std::span<const TermCount> TermCounts::unsorted() {
  sorted_.resize(used_short_.size() + used_indices_.size());
  TermCount* term = sorted_.data();
  for (std::uint32_t slot : used_short_) {
    const ShortSlot& entry = short_slots_[slot];
    char bytes[kShortToken];
    std::memcpy(bytes, &entry.low, 8);
    std::memcpy(bytes + 8, &entry.high, 8);
    *term++ = {token_index({bytes, key_length(entry.low, entry.high, bytes)}), entry.tf};
  }
  for (std::uint32_t slot : used_indices_) {
    *term++ = {index_slots_[slot].index, index_slots_[slot].tf};
  }
  return sorted_;
}

}  // namespace vorpaline_core
