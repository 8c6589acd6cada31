#include "merge.hpp"

#include <limits>
#include <memory>

#include "segment_reader.hpp"
#include "segment_writer.hpp"

namespace vorpaline_core::grep {

namespace {

constexpr std::uint32_t kGone = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kKeyMask = kBitmapList - 1;

struct Source {
  std::unique_ptr<GrepSegmentReader> reader;
  std::vector<std::uint32_t> new_id;  // per old doc, or kGone
  std::size_t next_key = 0;           // in the reader's dictionary
};

}  // namespace

std::uint32_t merge_segments(const std::string& out_path, const std::vector<MergeInput>& inputs) {
  std::vector<Source> sources;
  std::vector<GrepFile> files;
  for (const MergeInput& input : inputs) {
    Source source{std::make_unique<GrepSegmentReader>(input.path), {}, 0};
    source.reader->check_postings();
    const std::uint32_t count = source.reader->doc_count();
    source.new_id.assign(count, 0);
    for (const std::uint32_t doc : input.deleted) {
      if (doc < count) source.new_id[doc] = kGone;
    }
    for (std::uint32_t doc = 0; doc < count; ++doc) {
      if (source.new_id[doc] == kGone) continue;
      source.new_id[doc] = static_cast<std::uint32_t>(files.size());
      const GrepFileEntry& entry = source.reader->doc_file(doc);
      files.push_back({std::string(source.reader->doc_path(doc)), entry.size, entry.mtime_ns});
    }
    sources.push_back(std::move(source));
  }
  GrepSegmentWriter writer(out_path, files);
  std::vector<std::uint32_t> merged;
  std::vector<std::uint32_t> docs;
  for (;;) {
    std::uint32_t key = kBitmapList;  // above every key
    for (const Source& source : sources) {
      const auto dictionary = source.reader->dictionary();
      if (source.next_key < dictionary.size()) key = std::min(key, dictionary[source.next_key].key & kKeyMask);
    }
    if (key == kBitmapList) break;
    merged.clear();
    for (Source& source : sources) {
      const auto dictionary = source.reader->dictionary();
      if (source.next_key >= dictionary.size() || (dictionary[source.next_key].key & kKeyMask) != key) continue;
      source.reader->docs_of(dictionary[source.next_key++], docs);
      for (const std::uint32_t doc : docs) {
        if (source.new_id[doc] != kGone) merged.push_back(source.new_id[doc]);
      }
    }
    if (!merged.empty()) writer.add_key(key, merged);
  }
  writer.finish();
  return static_cast<std::uint32_t>(files.size());
}

}  // namespace vorpaline_core::grep
