// A segment file opened for reading through a memory map. Opening is cheap:
// it checks the file's size, its magic numbers, its header and that every
// section lies inside it, nothing that grows with the segment. What is read
// later is checked as it is read (posting lists, stored strings' offsets),
// so that a damaged file raises DamagedIndex naming it, never reads out of
// bounds, and what a search returns of a document is checked against the
// document's own checksum. verify() checks every byte: the checksum and the
// whole structure. Format-2 segments, which have no checks per document,
// are verified whole at open as they always were.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "block_codec.hpp"
#include "segment_format.hpp"

namespace vorpaline_core::index {

// A segment or other index file that is not what it should be.
class DamagedIndex : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A term's postings in a format-3 segment: its skip entries (none when it
// has one block) and its blocks' bytes.
struct TermBlocks {
  std::span<const unsigned char> skips;
  std::span<const unsigned char> data;
  std::uint32_t df = 0;
  std::uint32_t blocks = 0;

  SkipEntry skip(std::uint32_t block) const {
    SkipEntry entry;
    std::memcpy(&entry, skips.data() + std::size_t{block} * sizeof entry, sizeof entry);
    return entry;
  }
  std::uint32_t count(std::uint32_t block) const { return block + 1 < blocks ? kBlockSize : df - kBlockSize * block; }
};

class SegmentReader {
 public:
  explicit SegmentReader(const std::string& path);  // throws DamagedIndex, std::system_error
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  const std::string& path() const { return path_; }
  std::uint32_t format() const { return header().format; }
  std::uint32_t doc_count() const { return header().doc_count; }
  std::uint64_t total_length(std::size_t field) const { return header().total_lengths[field]; }
  const DocumentRecord& record(std::uint32_t doc) const { return records_[doc]; }
  std::string_view metadata(std::uint32_t doc) const { return stored(metadata_, doc, "metadata"); }
  std::string_view symbols(std::uint32_t doc) const { return stored(symbols_, doc, "symbols"); }

  // Throws DamagedIndex unless the document's metadata and symbols are as
  // written (format 3; format 2 segments were checked whole at open).
  void check_stored(std::uint32_t doc) const;

  // The term's entry, or none when no document holds it.
  const TermEntry* find(std::uint32_t term) const;
  std::span<const TermEntry> terms() const { return terms_; }

  // Calls visit(doc, const FieldFrequencies&) for each posting of `entry`, in doc order.
  template <class Visit>
  void for_each_posting(const TermEntry& entry, Visit&& visit) const;

  // Format 3: a term's blocks, and one of them decoded (checked against its skip entry).
  TermBlocks term_blocks(const TermEntry& entry) const;
  void decode_block(const TermBlocks& term, std::uint32_t block, DecodedBlock& out) const;

  // Throws DamagedIndex unless every byte is as written: the checksum, then
  // every offset, posting and skip entry.
  void verify() const;

 private:
  // Strings stored per document: offsets into a blob.
  struct StoredStrings {
    std::span<const std::uint64_t> offsets;
    std::string_view blob;
  };

  const SegmentHeader& header() const { return *reinterpret_cast<const SegmentHeader*>(bytes_.data()); }
  [[noreturn]] void damaged(const std::string& what) const;
  std::uint32_t read_varint(std::size_t* at, std::size_t end) const;
  std::span<const unsigned char> postings_of(const TermEntry& entry) const;
  StoredStrings stored_strings(std::uint64_t begin, std::uint64_t end, const char* what) const;
  std::string_view stored(const StoredStrings& strings, std::uint32_t doc, const char* what) const {
    const std::uint64_t begin = strings.offsets[doc];
    const std::uint64_t end = strings.offsets[doc + 1];
    if (begin > end || end > strings.blob.size()) damaged(std::string("its document ") + what + " are out of order");
    return strings.blob.substr(begin, end - begin);
  }
  void verify_whole_file() const;
  void verify_structure() const;
  void verify_blocks(const TermEntry& entry) const;

  std::string path_;
  std::span<const unsigned char> bytes_;
  std::span<const TermEntry> terms_;
  std::span<const unsigned char> postings_;
  std::span<const DocumentRecord> records_;
  std::span<const std::uint32_t> stored_checks_;  // format 3
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
  if (format() != kVarintSegmentFormat) {
    const TermBlocks term = term_blocks(entry);
    DecodedBlock block;
    for (std::uint32_t b = 0; b < term.blocks; ++b) {
      decode_block(term, b, block);
      for (std::uint32_t i = 0; i < block.count; ++i) visit(block.docs[i], block.frequencies[i]);
    }
    return;
  }
  const std::span<const unsigned char> list = postings_of(entry);
  std::size_t at = static_cast<std::size_t>(list.data() - postings_.data());
  const std::size_t end = at + list.size();
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
