// Term frequencies per index for one text at a time, in tables reused from
// text to text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "table_hash.hpp"

namespace vorpaline_core {

// The documented index of a token: XXH32 of its UTF-8 bytes, seed 0, masked to
// 31 bits so that it is a non-negative 32-bit integer.
std::uint32_t token_index(std::string_view token);

// The same index of a token that arrives in pieces.
class PieceWiseIndex {
 public:
  PieceWiseIndex();
  ~PieceWiseIndex();
  PieceWiseIndex(const PieceWiseIndex&) = delete;
  PieceWiseIndex& operator=(const PieceWiseIndex&) = delete;
  void update(std::string_view piece);
  std::uint32_t index() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct TermCount {
  std::uint32_t index;
  std::uint64_t tf;
};

// Most tokens are short and repeat many times in a text: they are counted by
// their bytes, and each distinct one is hashed to its index once, at the end.
// Longer tokens are hashed as they come and counted by index. Both tables
// place entries by the process's keyed hash, never by the index itself.
class TermCounts {
 public:
  static constexpr std::size_t kShortToken = 16;

  // Forgets the previous text's terms. The tables in use are sized from the
  // text, so that a short text after a long one stays in small, cached tables.
  void start(std::size_t text_bytes);
  // The memory its tables and lists hold.
  std::size_t buffer_bytes() const;
  // Tokens hold no NUL byte (NUL separates). For add_padded, kShortToken
  // bytes from the start of each token may be read; add copies what it needs.
  void add_padded(std::span<const std::string_view> tokens);
  void add(std::string_view token);
  // A token longer than kShortToken, by its index.
  void add_long(std::uint32_t index) { add_index(index); }
  // The counted terms sorted by index, tokens that share an index merged;
  // valid until the next call.
  std::span<const TermCount> sorted();
  // The same terms in no particular order, tokens that share an index not
  // merged: for callers that sort and merge them later anyway.
  std::span<const TermCount> unsorted();

 private:
  // A short token's bytes, zero-padded to 16: as no token holds a NUL byte,
  // the key also tells the length. An empty slot has key 0.
  struct ShortSlot {
    std::uint64_t low;
    std::uint64_t high;
    std::uint64_t tf;
  };
  struct IndexSlot {
    std::uint32_t index;
    std::uint64_t tf;
  };

  void add_short(const char* bytes, std::size_t length);
  // Out of line, so that the inlined look-up stays small.
  [[gnu::noinline]] void insert_short(std::size_t slot, std::uint64_t low, std::uint64_t high);
  void add_index(std::uint32_t index);
  void grow_short();
  void grow_indices();

  std::vector<ShortSlot> short_slots_;
  std::size_t short_mask_ = 0;  // capacity in use - 1; slots past it are empty
  unsigned short_shift_ = 64;  // 64 - log2(capacity in use)
  std::vector<std::uint32_t> used_short_;

  TableHash hash_;

  std::vector<IndexSlot> index_slots_;
  std::size_t index_mask_ = 0;
  unsigned index_shift_ = 64;
  std::vector<std::uint32_t> used_indices_;

  std::vector<TermCount> sorted_;
  std::vector<TermCount> scratch_;
  std::vector<std::uint32_t> buckets_;  // for sorting by index
};

}  // namespace vorpaline_core
