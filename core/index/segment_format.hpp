// The layout of an index segment file: immutable once written, read through
// a memory map, every byte covered by one checksum.
//
//   header      SegmentHeader (64 bytes)
//   terms       term_count x TermEntry, sorted by term, no term twice
//   postings    per term, df pairs (doc id gap, tf) as LEB128 varints,
//               doc ids ascending; a term's first gap is its first doc id
//   lengths     doc_count x u32: each document's length in tokens
//   metadata    (doc_count + 1) x u64 offsets into the blob, then the blob:
//               what the caller stored with each document, opaque here
//   footer      SegmentFooter (16 bytes): XXH3-64 of all bytes before it
//
// All integers are little-endian; sections start 8-byte aligned. Terms are
// the core's token indices, so a segment scores exactly as the sparse
// vectors of the same texts would.
#pragma once

#include <cstdint>

namespace vorpaline_core::index {

inline constexpr char kSegmentMagic[8] = {'V', 'R', 'P', 'S', 'E', 'G', '0', '1'};
inline constexpr char kFooterMagic[8] = {'V', 'R', 'P', 'S', 'E', 'N', 'D', '1'};
inline constexpr std::uint32_t kSegmentFormat = 1;

struct SegmentHeader {
  char magic[8];
  std::uint32_t format;
  std::uint32_t doc_count;
  std::uint32_t term_count;
  std::uint32_t reserved;
  std::uint64_t total_length;  // the sum of the documents' lengths
  std::uint64_t terms_offset;
  std::uint64_t postings_offset;
  std::uint64_t lengths_offset;
  std::uint64_t metadata_offset;
};
static_assert(sizeof(SegmentHeader) == 64);

struct TermEntry {
  std::uint32_t term;
  std::uint32_t df;               // documents holding the term
  std::uint64_t postings_offset;  // from the start of the postings section
};
static_assert(sizeof(TermEntry) == 16);

struct SegmentFooter {
  std::uint64_t checksum;
  char magic[8];
};
static_assert(sizeof(SegmentFooter) == 16);

}  // namespace vorpaline_core::index
