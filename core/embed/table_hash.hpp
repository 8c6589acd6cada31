// Slots of the core's counting tables. The indices in replies are the
// documented unkeyed XXH32, which anyone can compute; the tables place terms
// by a hash keyed with random words drawn once per process, so no text can be
// made to pile its tokens into one run of slots.
#pragma once

#include <cstdint>

namespace vorpaline_core {

struct TableKeys {
  std::uint64_t short_low;
  std::uint64_t short_high;
  std::uint64_t index_key;
  std::uint64_t index_multiplier;
};

// Drawn from the OS random source on first use, the same for every thread
// and every interpreter of the process afterwards; the module draws them when
// it is executed. Throws when no random source answers.
const TableKeys& table_keys();

class TableHash {
 public:
  TableHash() : keys_(table_keys()) {}

  // For a short token's 16 key bytes, and for an index.
  std::uint64_t of_short(std::uint64_t low, std::uint64_t high) const {
    return fold_product(low ^ keys_.short_low, high ^ keys_.short_high);
  }
  std::uint64_t of_index(std::uint32_t index) const {
    return fold_product(index ^ keys_.index_key, keys_.index_multiplier);
  }

 private:
  // The two halves of the 128-bit product, added up: every bit of either
  // factor reaches the high bits that pick a slot.
  static std::uint64_t fold_product(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  TableKeys keys_;
};

}  // namespace vorpaline_core
