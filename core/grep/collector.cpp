#include "collector.hpp"

#include <algorithm>

#include "parallel.hpp"
#include "trigrams.hpp"

namespace vorpaline_core::grep {

namespace {

// At most this many postings are inverted at once (4 bytes each).
constexpr std::uint64_t kPostingsPerPass = 4u << 20;

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

namespace {

// Up to this many postings, a build's (key, doc) pairs are sorted: its cost
// follows its postings, where passes over the key space cost the same for
// one file as for a million.
constexpr std::uint64_t kSortedAtMost = 1u << 20;

void write_sorted(const std::vector<Cursor>& cursors, std::uint64_t postings, GrepSegmentWriter& writer) {
  std::vector<std::uint64_t> pairs;
  pairs.reserve(postings);
  for (std::uint32_t doc = 0; doc < cursors.size(); ++doc) {
    Cursor cursor = cursors[doc];
    std::uint32_t key = 0;
    while (next_key(cursor, &key)) pairs.push_back(std::uint64_t{key} << 32 | doc);
  }
  std::sort(pairs.begin(), pairs.end());
  std::vector<std::uint32_t> docs;
  for (std::size_t i = 0; i < pairs.size();) {
    const std::uint64_t key = pairs[i] >> 32;
    docs.clear();
    for (; i < pairs.size() && pairs[i] >> 32 == key; ++i) docs.push_back(static_cast<std::uint32_t>(pairs[i]));
    writer.add_key(static_cast<std::uint32_t>(key), docs);
  }
}

// Larger builds: each doc's keys are counted over the whole key space, which
// is cut into passes of bounded postings, inverted on several threads.
void write_by_passes(const std::vector<Cursor>& cursors, GrepSegmentWriter& writer, unsigned threads) {
  // How many docs hold each key, to cut the key space into passes.
  std::vector<std::uint32_t> counts(kKeySpace, 0);
  for (Cursor cursor : cursors) {
    std::uint32_t key = 0;
    while (next_key(cursor, &key)) ++counts[key];
  }
  std::vector<std::uint32_t> bounds{0};  // pass p takes keys [bounds[p], bounds[p + 1])
  for (std::uint32_t high = 0; high < kKeySpace;) {
    std::uint64_t total = 0;
    while (high < kKeySpace && (total == 0 || total + counts[high] <= kPostingsPerPass)) total += counts[high++];
    bounds.push_back(high);
  }
  const std::size_t passes = bounds.size() - 1;
  // Where each doc's keys of each pass begin, so that the passes can run at once.
  std::vector<Cursor> starts(passes * cursors.size());
  for (std::size_t doc = 0; doc < cursors.size(); ++doc) {
    Cursor cursor = cursors[doc];
    for (std::size_t p = 0; p < passes; ++p) {
      for (;;) {
        Cursor before = cursor;
        std::uint32_t key = 0;
        if (!next_key(cursor, &key) || key >= bounds[p]) {
          starts[p * cursors.size() + doc] = before;
          cursor = before;
          break;
        }
      }
    }
  }
  struct PassOutput {
    std::string bytes;
    std::vector<GrepSegmentWriter::EncodedList> lists;
  };
  std::vector<PassOutput> outputs(passes);
  const auto doc_count = static_cast<std::uint32_t>(cursors.size());
  const auto invert = [&](std::size_t p) {
    const std::uint32_t low = bounds[p];
    const std::uint32_t high = bounds[p + 1];
    std::vector<std::uint64_t> fill(high - low + 1, 0);
    for (std::uint32_t k = low; k < high; ++k) fill[k - low + 1] = fill[k - low] + counts[k];
    std::vector<std::uint32_t> postings(fill.back());
    std::vector<std::uint64_t> at(fill.begin(), fill.end() - 1);
    for (std::uint32_t doc = 0; doc < cursors.size(); ++doc) {
      Cursor cursor = starts[p * cursors.size() + doc];
      std::uint32_t key = 0;
      while (next_key(cursor, &key) && key < high) postings[at[key - low]++] = doc;
    }
    PassOutput& output = outputs[p];
    for (std::uint32_t k = low; k < high; ++k) {
      if (counts[k] == 0) continue;
      const std::span<const std::uint32_t> docs(postings.data() + fill[k - low], counts[k]);
      output.lists.push_back(GrepSegmentWriter::encode_list(k, docs, doc_count, output.bytes));
    }
  };
  for_each_index(passes, threads, invert, 1);
  for (const PassOutput& output : outputs) {
    std::size_t offset = 0;
    for (const GrepSegmentWriter::EncodedList& list : output.lists) {
      writer.add_encoded(list, output.bytes.data() + offset);
      offset += list.size;
    }
  }
}

}  // namespace

std::uint32_t GrepCollector::write(const std::string& path, std::vector<std::int64_t>& docs, unsigned threads) {
  docs.assign(slots_.size(), -1);
  std::vector<GrepFile> files;
  std::vector<Cursor> cursors;
  std::uint64_t postings = 0;
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].present) continue;
    docs[s] = static_cast<std::int64_t>(files.size());
    files.push_back(slots_[s].file);
    const auto* begin = reinterpret_cast<const unsigned char*>(slots_[s].keys.data());
    cursors.push_back({begin, begin + slots_[s].keys.size()});
    postings += slots_[s].key_count;
  }
  if (files.empty()) return 0;

  GrepSegmentWriter writer(path, files);
  if (postings <= kSortedAtMost) {
    write_sorted(cursors, postings, writer);
  } else {
    write_by_passes(cursors, writer, threads);
  }
  writer.finish();
  return static_cast<std::uint32_t>(files.size());
}

}  // namespace vorpaline_core::grep
