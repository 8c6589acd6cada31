// The grep segment file: which files a build read and, for every trigram key
// (trigrams.hpp), the files holding it.
//
// Layout, little-endian, every section 8-byte aligned:
//   GrepHeader                        64 bytes
//   file table   doc_count x GrepFileEntry (size and mtime_ns from fstat of
//                the descriptor the file was read through, its path's place)
//   paths        the repository-relative paths, back to back, then zero
//                padding to 8 bytes
//   postings     each key's doc ids, either as varints of the gaps (the first
//                id as it is) or as a bitmap of doc_count bits, whichever is
//                smaller; the dictionary entry says which
//   dictionary   key_count x GrepKeyEntry sorted by key
// The header carries an XXH3-64 of itself (that field zeroed), of the file
// table, paths and dictionary together, and of the postings. A reader checks
// the first two at open and every posting list's bounds as it decodes it.
#pragma once

#include <cstdint>

namespace vorpaline_core::grep {

constexpr char kGrepMagic[8] = {'V', 'R', 'P', 'G', 'R', 'E', 'P', '\0'};
constexpr std::uint32_t kGrepFormat = 1;

struct GrepHeader {
  char magic[8];
  std::uint32_t format;
  std::uint32_t doc_count;
  std::uint32_t key_count;
  std::uint32_t reserved;
  std::uint64_t paths_size;      // padded to 8
  std::uint64_t postings_size;   // padded to 8
  std::uint64_t tables_checksum;  // file table, paths, dictionary
  std::uint64_t postings_checksum;
  std::uint64_t header_checksum;  // of this header with this field zero
};
static_assert(sizeof(GrepHeader) == 64);

struct GrepFileEntry {
  std::uint64_t size;
  std::int64_t mtime_ns;
  std::uint64_t path_offset;  // in the paths section
  std::uint32_t path_size;
  std::uint32_t reserved;
};
static_assert(sizeof(GrepFileEntry) == 32);

constexpr std::uint32_t kBitmapList = 1u << 31;  // in GrepKeyEntry::key

struct GrepKeyEntry {
  std::uint32_t key;   // the trigram key, kBitmapList set when the list is a bitmap
  std::uint32_t docs;  // how many docs hold it
  std::uint64_t offset;  // of its list in the postings section; it ends where the next begins
};
static_assert(sizeof(GrepKeyEntry) == 16);

}  // namespace vorpaline_core::grep
