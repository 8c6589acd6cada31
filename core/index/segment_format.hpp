// The layout of an index segment file: immutable once written, read through
// a memory map, every byte covered by one checksum.
//
//   header      SegmentHeader (96 bytes)
//   terms       term_count x TermEntry, sorted by term, no term twice
//   postings    per term, its df postings, doc ids ascending. Format 3: in
//               blocks of kBlockSize documents (block_codec.hpp), the last
//               one shorter; a term of more than one block starts with a
//               SkipEntry per block, which bounds the scores of the block's
//               documents so that a search may pass over it undecoded.
//               Format 2 (still read): LEB128 varints per posting, the doc
//               id gap (a term's first gap is its first doc id), then
//               tf_text << 2 | has_names | has_path << 1, then the names and
//               path frequencies that the flags say follow
//   documents   doc_count x DocumentRecord (fields.hpp): field lengths, roles;
//               format 3: then doc_count x u32, each document's stored-strings
//               check (stored_check below), so that what a search returns
//               is checked without reading the whole file
//   metadata    (doc_count + 1) x u64 offsets into the blob, then the blob:
//               what the caller stored with each document, opaque here
//   symbols     the same layout: each document's definitions and references
//               as JSON text, empty when its file had no parser
//   footer      SegmentFooter (16 bytes): XXH3-64 of all bytes before it
//
// All integers are little-endian; sections start 8-byte aligned. Terms are
// the core's token indices, so a segment scores exactly as the sparse
// vectors of the same texts would.
#pragma once

#include <cstdint>
#include <string_view>

#include "fields.hpp"

namespace vorpaline_core::index {

inline constexpr char kSegmentMagic[8] = {'V', 'R', 'P', 'S', 'E', 'G', '0', '1'};
inline constexpr char kFooterMagic[8] = {'V', 'R', 'P', 'S', 'E', 'N', 'D', '1'};
inline constexpr std::uint32_t kSegmentFormat = 3;
inline constexpr std::uint32_t kVarintSegmentFormat = 2;  // read, no longer written
inline constexpr std::uint32_t kBlockSize = 128;

struct SegmentHeader {
  char magic[8];
  std::uint32_t format;
  std::uint32_t doc_count;
  std::uint32_t term_count;
  std::uint32_t reserved;
  std::uint64_t total_lengths[kFieldCount];  // per field, the sum of the documents' lengths
  std::uint64_t terms_offset;
  std::uint64_t postings_offset;
  std::uint64_t documents_offset;
  std::uint64_t metadata_offset;
  std::uint64_t symbols_offset;
  std::uint64_t postings_size;  // format 3: the postings' bytes, their padding aside
};
static_assert(sizeof(SegmentHeader) == 96);

struct TermEntry {
  std::uint32_t term;
  std::uint32_t df;               // documents holding the term
  std::uint64_t postings_offset;  // from the start of the postings section
};
static_assert(sizeof(TermEntry) == 16);

// What every document of a block stays within, whatever the query's
// parameters: scores rise with a field's tf and fall with its length.
struct SkipEntry {
  std::uint32_t last_doc;
  std::uint32_t end;                  // where the block's bytes end, from the end of the skip entries
  std::uint8_t max_tf[kFieldCount];   // 255: 255 or more
  std::uint8_t min_length[kFieldCount];  // length codes (block_codec.hpp), among the documents with tf in the field
  std::uint8_t roles;                 // the OR of the documents' Role flags
  std::uint8_t reserved;
};
static_assert(sizeof(SkipEntry) == 16);

// The low 32 bits of XXH3-64 of the symbols seeded with XXH3-64 of the metadata.
std::uint32_t stored_check(std::string_view metadata, std::string_view symbols);

struct SegmentFooter {
  std::uint64_t checksum;
  char magic[8];
};
static_assert(sizeof(SegmentFooter) == 16);

}  // namespace vorpaline_core::index
