// Term frequencies per index: an open-addressing table reused from text to text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vorpaline_core {

// The documented index of a token: XXH32 of its UTF-8 bytes, seed 0, masked to
// 31 bits so that it is a non-negative 32-bit integer.
std::uint32_t token_index(std::string_view token);

struct TermCount {
  std::uint32_t index;
  std::uint64_t tf;
};

class TermCounts {
 public:
  void add_token(std::string_view token);
  // The counted terms sorted by index; valid until the next add or clear.
  std::span<const TermCount> sorted();
  void clear();

 private:
  void add(std::uint32_t index);
  std::size_t find_slot(std::uint32_t index) const;
  void grow();

  static constexpr std::size_t kInitialSlots = 128;  // a power of two
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;  // indices never reach it
  std::vector<TermCount> slots_ = std::vector<TermCount>(kInitialSlots, TermCount{kEmpty, 0});
  std::vector<std::uint32_t> used_slots_;
  std::vector<TermCount> sorted_;
};

}  // namespace vorpaline_core
