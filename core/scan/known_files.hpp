// The files an index last recorded, compared with a scan's listing.
//
// The index's file table (vorpaline/search/file_table.py) begins with each
// file's path, size, modification time and flags in binary, sorted bytewise
// by path. A scan given that table (scan_config.hpp's "known_files") replies
// with only the files whose size or time differ from it, or that it lacks,
// and names the recorded files the scan no longer lists: an update that
// finds nothing changed then reads none of the index's JSON. Opening checks
// that every section lies inside the file; the checksum that covers it is
// the update's to check, once it reads the rest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::scan {

inline constexpr std::uint8_t kKnownNotIndexed = 1;  // binary, too large or unreadable when last read
inline constexpr std::uint8_t kKnownHasGrep = 2;     // its trigram document is recorded
// 4: it has a trigram document (a grep reads this, not the scan)

class KnownFiles {
 public:
  // Throws InputError naming the file when it cannot be read or does not fit its layout.
  explicit KnownFiles(const std::string& path);

  std::uint64_t count() const { return count_; }
  std::string_view path(std::uint64_t n) const;
  std::int64_t size(std::uint64_t n) const;
  std::int64_t mtime_ns(std::uint64_t n) const;
  std::uint8_t flags(std::uint64_t n) const { return static_cast<std::uint8_t>(bytes_[flags_at_ + n]); }

 private:
  std::uint64_t read_u64(std::uint64_t at) const;

  std::string file_;
  std::string bytes_;  // the binary sections: a few bytes a file, read whole
  std::uint64_t count_ = 0;
  std::uint64_t flags_at_ = 0;
  std::uint64_t paths_at_ = 0;
  std::uint64_t paths_end_ = 0;
};

// How a listing differs from the recorded files.
struct ListingChanges {
  std::vector<bool> changed;             // per listed file, in path order: read it
  std::vector<std::uint64_t> removed;    // recorded files no longer listed, in path order
  std::uint64_t unchanged = 0;           // listed as recorded, indexed
  std::uint64_t unchanged_skipped = 0;   // listed as recorded, not indexed
};

}  // namespace vorpaline_core::scan
