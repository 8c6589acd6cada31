#include "trigrams.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>

namespace vorpaline_core::grep {

namespace {

constexpr std::array<unsigned char, 256> lower_table() {
  std::array<unsigned char, 256> table{};
  for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 32 : i);
  return table;
}

constexpr std::array<unsigned char, 256> kLower = lower_table();

// Above this many keys a file's keys are read off the bitmap instead of sorted.
constexpr std::size_t kScanAbove = 8192;

// Two passes of a 12-bit radix sort: a file's few thousand keys sort several
// times faster than by comparison.
void sort_keys(std::vector<std::uint32_t>& keys) {
  if (keys.size() < 64) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  thread_local std::vector<std::uint32_t> other;
  other.resize(keys.size());
  std::array<std::uint32_t, 4096> counts;
  for (const int shift : {0, 12}) {
    counts.fill(0);
    for (const std::uint32_t k : keys) ++counts[(k >> shift) & 4095];
    std::uint32_t total = 0;
    for (std::uint32_t& count : counts) total += std::exchange(count, total);
    for (const std::uint32_t k : keys) other[counts[(k >> shift) & 4095]++] = k;
    keys.swap(other);
  }
}

}  // namespace

void trigram_keys(std::string_view data, std::vector<std::uint32_t>& keys) {
  // Seen keys are marked in a bitmap and listed once, then the marks are
  // cleared key by key: no per-file cost of the whole bitmap.
  thread_local std::vector<std::uint64_t> seen_words(kKeySpace / 64);
  std::uint64_t* const seen = seen_words.data();  // the thread-local looked up once, not per byte
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
  if (keys.size() < kScanAbove) {
    for (const std::uint32_t k : keys) seen[k >> 6] = 0;
    sort_keys(keys);
    return;
  }
  // Many keys: reading them back off the bitmap, in order, beats sorting them.
  keys.clear();
  for (std::uint32_t w = 0; w < kKeySpace / 64; ++w) {
    for (std::uint64_t word = seen[w]; word != 0; word &= word - 1) {
      keys.push_back(w * 64 + static_cast<std::uint32_t>(std::countr_zero(word)));
    }
    seen[w] = 0;
  }
}

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

}  // namespace vorpaline_core::grep
