// Writing a grep segment (segment_format.hpp): the file table first, then
// each key's posting list in increasing key order, then the dictionary and
// the header. The file is created anew (never over an existing one), made
// durable (fsync) when finished, and removed if anything fails before that.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "segment_format.hpp"

namespace vorpaline_core::grep {

struct GrepFile {
  std::string path;  // relative to the root, '/'-separated
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
};

class GrepSegmentWriter {
 public:
  // Throws std::system_error when the file cannot be created or written.
  GrepSegmentWriter(const std::string& path, const std::vector<GrepFile>& files);
  ~GrepSegmentWriter();
  GrepSegmentWriter(const GrepSegmentWriter&) = delete;
  GrepSegmentWriter& operator=(const GrepSegmentWriter&) = delete;

  // `key` above every key added before; `docs` strictly increasing, below the file count, not empty.
  void add_key(std::uint32_t key, std::span<const std::uint32_t> docs);
  // The same in two steps: `encode_list` from any thread, then `add_encoded` in key order.
  struct EncodedList {
    std::uint32_t stored_key;  // kBitmapList set for a bitmap
    std::uint32_t docs;
    std::size_t size;  // of its bytes, appended to the caller's buffer
  };
  static EncodedList encode_list(std::uint32_t key, std::span<const std::uint32_t> docs, std::uint32_t doc_count,
                                 std::string& out);
  void add_encoded(const EncodedList& list, const char* bytes);
  void finish();

 private:
  void put(const void* data, std::size_t size, XXH3_state_t* hash);
  void pad(XXH3_state_t* hash);
  void flush();
  [[noreturn]] void fail(const char* what) const;

  std::string path_;
  int fd_ = -1;
  std::uint32_t doc_count_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t postings_start_ = 0;
  std::string buffer_;
  std::string list_;
  std::vector<GrepKeyEntry> dictionary_;
  GrepHeader header_{};
  XXH3_state_t tables_hash_{};
  XXH3_state_t postings_hash_{};
};

}  // namespace vorpaline_core::grep
