// The trigram keys of a build's files, gathered from the build's threads and
// written as one grep segment when the build is over.
//
// Each file's keys are kept as varints of their gaps (a byte or two a key),
// in the slot of its place in the build's file list; writing inverts them a
// range of keys at a time, so the doc ids follow the file list whatever the
// thread count, and memory stays near the size of the compressed keys.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "segment_writer.hpp"

namespace vorpaline_core::grep {

class GrepCollector {
 public:
  explicit GrepCollector(std::size_t files) : slots_(files) {}

  // The file in slot `slot` was read whole: `data`, what fstat said of it.
  // Slots are distinct across threads, so no lock is needed.
  void add(std::size_t slot, std::string_view path, std::uint64_t size, std::int64_t mtime_ns, std::string_view data);

  // Writes the segment at `path` unless no file was added, inverting on up to
  // `threads` threads (the same bytes whatever their number); the doc of each
  // slot (or -1) goes into `docs`. Returns the number of docs.
  std::uint32_t write(const std::string& path, std::vector<std::int64_t>& docs, unsigned threads);

 private:
  struct Slot {
    GrepFile file;
    std::string keys;  // gap varints
    std::uint32_t key_count = 0;
    bool present = false;
  };
  std::vector<Slot> slots_;
};

}  // namespace vorpaline_core::grep
