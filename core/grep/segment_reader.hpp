// A grep segment (segment_format.hpp) opened for reading through a memory map.
//
// Opening checks the size against the counts, the magic and format, and the
// checksums of the header and of the file table, paths and dictionary, then
// that every path and posting list lies inside its section and that the keys
// are in order: what is read afterwards is in bounds. Posting lists are
// decoded with bounds checks and checked to be increasing and below the
// doc count. Anything amiss throws std::system_error (EIO) naming the file,
// as does a file that cannot be opened (its own errno).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "segment_format.hpp"

namespace vorpaline_core::grep {

class GrepSegmentReader {
 public:
  explicit GrepSegmentReader(const std::string& path);
  ~GrepSegmentReader();
  GrepSegmentReader(const GrepSegmentReader&) = delete;
  GrepSegmentReader& operator=(const GrepSegmentReader&) = delete;

  const std::string& path() const { return path_; }
  std::uint32_t doc_count() const { return header().doc_count; }
  std::string_view doc_path(std::uint32_t doc) const;
  const GrepFileEntry& doc_file(std::uint32_t doc) const { return files_[doc]; }
  std::span<const GrepKeyEntry> dictionary() const { return dictionary_; }

  // The entry of `key`, or null when no doc holds it.
  const GrepKeyEntry* find(std::uint32_t key) const;
  // Sets the bit of every doc of the entry's list in `bits` (doc_count bits).
  void mark_docs(const GrepKeyEntry& entry, std::vector<std::uint64_t>& bits) const;
  // The entry's docs, in order.
  void docs_of(const GrepKeyEntry& entry, std::vector<std::uint32_t>& docs) const;
  // Throws unless the postings' checksum matches.
  void check_postings() const;

 private:
  const GrepHeader& header() const { return *reinterpret_cast<const GrepHeader*>(bytes_.data()); }
  std::span<const unsigned char> list_of(const GrepKeyEntry& entry) const;
  template <class Visit>
  void visit_docs(const GrepKeyEntry& entry, Visit&& visit) const;
  [[noreturn]] void damaged(const std::string& what) const;
  void check_layout();

  std::string path_;
  std::span<const unsigned char> bytes_;
  std::span<const GrepFileEntry> files_;
  std::span<const char> paths_;
  std::span<const unsigned char> postings_;
  std::span<const GrepKeyEntry> dictionary_;
};

}  // namespace vorpaline_core::grep
