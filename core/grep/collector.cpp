#include "collector.hpp"

#include <algorithm>

#include "trigrams.hpp"

namespace vorpaline_core::grep {

namespace {

// At most this many postings are inverted at once (4 bytes each).
constexpr std::uint64_t kPostingsPerPass = 16u << 20;

struct Cursor {
  const unsigned char* at;
  const unsigned char* end;
  std::uint32_t key = 0;  // the last key read
  bool started = false;
};

// The next key of a doc's list, or false at its end. The lists were written
// by this process: no bounds beyond their end are needed.
bool next_key(Cursor& cursor, std::uint32_t* key) {
  if (cursor.at == cursor.end) return false;
  std::uint32_t value = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char byte = *cursor.at++;
    value |= std::uint32_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) break;
  }
  cursor.key = cursor.started ? cursor.key + value : value;
  cursor.started = true;
  *key = cursor.key;
  return true;
}

}  // namespace

void GrepCollector::add(std::size_t slot, std::string_view path, std::uint64_t size, std::int64_t mtime_ns,
                        std::string_view data) {
  thread_local std::vector<std::uint32_t> keys;
  trigram_keys(data, keys);
  Slot& target = slots_[slot];
  target.file = {std::string(path), size, mtime_ns};
  target.keys.clear();
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    put_varint(target.keys, i == 0 ? keys[i] : keys[i] - previous);
    previous = keys[i];
  }
  target.keys.shrink_to_fit();
  target.key_count = static_cast<std::uint32_t>(keys.size());
  target.present = true;
}

std::uint32_t GrepCollector::write(const std::string& path, std::vector<std::int64_t>& docs) {
  docs.assign(slots_.size(), -1);
  std::vector<GrepFile> files;
  std::vector<Cursor> cursors;
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].present) continue;
    docs[s] = static_cast<std::int64_t>(files.size());
    files.push_back(slots_[s].file);
    const auto* begin = reinterpret_cast<const unsigned char*>(slots_[s].keys.data());
    cursors.push_back({begin, begin + slots_[s].keys.size()});
  }
  if (files.empty()) return 0;

  // How many docs hold each key, to cut the key space into passes.
  std::vector<std::uint32_t> counts(kKeySpace, 0);
  for (Cursor cursor : cursors) {
    std::uint32_t key = 0;
    while (next_key(cursor, &key)) ++counts[key];
  }
  GrepSegmentWriter writer(path, files);
  std::vector<std::uint32_t> postings;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint32_t> pending(cursors.size(), kKeySpace);  // a key read but not yet placed
  for (std::uint32_t low = 0; low < kKeySpace;) {
    std::uint32_t high = low;
    std::uint64_t total = 0;
    while (high < kKeySpace && (total == 0 || total + counts[high] <= kPostingsPerPass)) total += counts[high++];
    starts.assign(high - low + 1, 0);
    for (std::uint32_t k = low; k < high; ++k) starts[k - low + 1] = starts[k - low] + counts[k];
    postings.resize(total);
    std::vector<std::uint64_t> fill(starts.begin(), starts.end() - 1);
    for (std::uint32_t doc = 0; doc < cursors.size(); ++doc) {
      std::uint32_t key = pending[doc];
      if (key == kKeySpace && !next_key(cursors[doc], &key)) continue;
      while (key < high) {
        postings[fill[key - low]++] = doc;
        if (!next_key(cursors[doc], &key)) {
          key = kKeySpace + 1;  // this doc is done
          break;
        }
      }
      pending[doc] = key;
    }
    for (std::uint32_t k = low; k < high; ++k) {
      if (counts[k] == 0) continue;
      writer.add_key(k, std::span<const std::uint32_t>(postings.data() + starts[k - low], counts[k]));
    }
    low = high;
  }
  writer.finish();
  return static_cast<std::uint32_t>(files.size());
}

}  // namespace vorpaline_core::grep
