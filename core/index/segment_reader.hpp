// A segment file opened for reading through a memory map. Opening checks
// the whole file: its size, its magic numbers, its checksum and that every
// section lies inside it, so that a damaged file is refused by name instead
// of being read; postings are decoded with bounds checks all the same.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "segment_format.hpp"

namespace vorpaline_core::index {

// A segment or other index file that is not what it should be.
class DamagedIndex : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SegmentReader {
 public:
  explicit SegmentReader(const std::string& path);  // throws DamagedIndex, std::system_error
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  const std::string& path() const { return path_; }
  std::uint32_t doc_count() const { return header().doc_count; }
  std::uint64_t total_length(std::size_t field) const { return header().total_lengths[field]; }
  const DocumentRecord& record(std::uint32_t doc) const { return records_[doc]; }
  std::string_view metadata(std::uint32_t doc) const { return metadata_.at(doc); }
  std::string_view symbols(std::uint32_t doc) const { return symbols_.at(doc); }

  // The term's entry, or none when no document holds it.
  const TermEntry* find(std::uint32_t term) const;
  std::span<const TermEntry> terms() const { return terms_; }

  // Calls visit(doc, const FieldFrequencies&) for each posting of `entry`, in doc order.
  template <class Visit>
  void for_each_posting(const TermEntry& entry, Visit&& visit) const;

 private:
  const SegmentHeader& header() const { return *reinterpret_cast<const SegmentHeader*>(bytes_.data()); }
  [[noreturn]] void damaged(const std::string& what) const;
  std::uint32_t read_varint(std::size_t* at, std::size_t end) const;

  std::string path_;
  std::span<const unsigned char> bytes_;
  std::span<const TermEntry> terms_;
  std::span<const unsigned char> postings_;
  // Strings stored per document: offsets into a blob.
  struct StoredStrings {
    std::span<const std::uint64_t> offsets;
    std::string_view blob;
    std::string_view at(std::uint32_t doc) const { return blob.substr(offsets[doc], offsets[doc + 1] - offsets[doc]); }
  };
  StoredStrings stored_strings(std::uint64_t begin, std::uint64_t end, const char* what) const;

  std::span<const DocumentRecord> records_;
  StoredStrings metadata_;
  StoredStrings symbols_;
};

inline std::uint32_t SegmentReader::read_varint(std::size_t* at, std::size_t end) const {
  std::uint32_t value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*at >= end) damaged("a posting list runs past its end");
    const unsigned char byte = postings_[(*at)++];
    value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
  damaged("a posting holds an overlong number");
}

template <class Visit>
void SegmentReader::for_each_posting(const TermEntry& entry, Visit&& visit) const {
  const std::size_t end = (&entry + 1 == terms_.data() + terms_.size()) ? postings_.size()
                                                                         : (&entry + 1)->postings_offset;
  std::size_t at = entry.postings_offset;
  std::uint64_t doc = 0;
  FieldFrequencies frequencies;
  for (std::uint32_t i = 0; i < entry.df; ++i) {
    const std::uint32_t gap = read_varint(&at, end);
    const std::uint32_t text = read_varint(&at, end);
    frequencies.tf[kTextField] = text >> 2;
    frequencies.tf[kNamesField] = (text & 1) != 0 ? read_varint(&at, end) : 0;
    frequencies.tf[kPathField] = (text & 2) != 0 ? read_varint(&at, end) : 0;
    doc += gap;
    if (doc >= doc_count() || (i > 0 && gap == 0) || ((text & 1) != 0 && frequencies.tf[kNamesField] == 0) ||
        ((text & 2) != 0 && frequencies.tf[kPathField] == 0) || frequencies.total() == 0) {
      damaged("a posting names a document out of order or range");
    }
    visit(static_cast<std::uint32_t>(doc), frequencies);
  }
}

}  // namespace vorpaline_core::index
