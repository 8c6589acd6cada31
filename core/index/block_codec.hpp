// The bytes of one block of a term's postings in a format-3 segment, up to
// kBlockSize documents ascending:
//   u8 gap_bits, u8 value_bits,
//   the first doc id less the block's base (the previous block's last doc
//   id + 1, or 0) as a LEB128 varint,
//   the other count - 1 doc id gaps less one, packed gap_bits each,
//   count values tf_text << 2 | has_names | has_path << 1, value_bits each,
//   then in posting order the names and path frequencies the flags say
//   follow, as varints.
// Packing is little-endian, least significant bit first, each array padded
// to a byte. Decoding checks every bound and refuses anything out of order.
// Document lengths in skip entries are stored as a byte code that never
// decodes to more than the length, so that a bound made from it holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "fields.hpp"
#include "segment_format.hpp"

namespace vorpaline_core::index {

struct DecodedBlock {
  std::uint32_t count = 0;
  std::uint32_t docs[kBlockSize];
  FieldFrequencies frequencies[kBlockSize];
};

void encode_block(std::string& out, std::uint32_t base, std::span<const std::uint32_t> docs,
                  std::span<const FieldFrequencies> frequencies);

// False when the bytes are not a block of `count` documents from `base`, each below `doc_count`.
bool decode_block(std::span<const unsigned char> bytes, std::uint32_t base, std::uint32_t count,
                  std::uint32_t doc_count, DecodedBlock& out);

// The largest code whose length is at most `length`, and a code's length.
std::uint8_t length_code(std::uint32_t length);
std::uint32_t code_length(std::uint8_t code);

}  // namespace vorpaline_core::index
