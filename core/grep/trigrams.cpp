#include "trigrams.hpp"

#include <algorithm>
#include <array>

namespace vorpaline_core::grep {

namespace {

constexpr std::array<unsigned char, 256> lower_table() {
  std::array<unsigned char, 256> table{};
  for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
  return table;
}

constexpr std::array<unsigned char, 256> kLower = lower_table();

}  // namespace

void trigram_keys(std::string_view data, std::vector<std::uint32_t>& keys) {
  // Seen keys are marked in a bitmap and listed once, then the marks are
  // cleared key by key: no per-file cost of the whole bitmap.
  thread_local std::vector<std::uint64_t> seen(kKeySpace / 64);
  keys.clear();
  if (data.size() < 3) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::uint32_t key = (std::uint32_t{kLower[bytes[0]]} << 8) | kLower[bytes[1]];
  for (std::size_t i = 2; i < data.size(); ++i) {
    key = ((key << 8) | kLower[bytes[i]]) & (kKeySpace - 1);
    std::uint64_t& word = seen[key >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (key & 63);
    if ((word & bit) == 0) {
      word |= bit;
      keys.push_back(key);
    }
  }
  for (const std::uint32_t k : keys) seen[k >> 6] = 0;
  std::sort(keys.begin(), keys.end());
}

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

}  // namespace vorpaline_core::grep
