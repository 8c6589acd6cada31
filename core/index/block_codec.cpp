#include "block_codec.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace vorpaline_core::index {

namespace {

// Exact below 32, then about 6% apart: a bound from a code loses little.
constexpr std::array<std::uint32_t, 256> kCodeLengths = [] {
  std::array<std::uint32_t, 256> lengths{};
  for (std::uint32_t code = 0; code < lengths.size(); ++code) {
    lengths[code] = code < 32 ? code : lengths[code - 1] + lengths[code - 1] / 16;
  }
  return lengths;
}();

void put_varint(std::string& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

std::uint32_t bits_for(std::uint32_t value) { return static_cast<std::uint32_t>(std::bit_width(value)); }

class BitWriter {
 public:
  BitWriter(std::string& out, std::uint32_t bits) : out_(out), bits_(bits) {}
  ~BitWriter() {
    if (filled_ > 0) out_.push_back(static_cast<char>(pending_));
  }
  void put(std::uint32_t value) {
    if (bits_ == 0) return;
    pending_ |= std::uint64_t{value} << filled_;
    filled_ += bits_;
    while (filled_ >= 8) {
      out_.push_back(static_cast<char>(pending_ & 0xFF));
      pending_ >>= 8;
      filled_ -= 8;
    }
  }

 private:
  std::string& out_;
  std::uint32_t bits_;
  std::uint64_t pending_ = 0;
  std::uint32_t filled_ = 0;
};

// Reads from bytes that were checked to hold every value asked for.
class BitReader {
 public:
  BitReader(const unsigned char* at, std::uint32_t bits) : at_(at), bits_(bits), mask_((std::uint64_t{1} << bits) - 1) {}
  std::uint32_t get() {
    while (held_ < bits_) {
      pending_ |= std::uint64_t{*at_++} << held_;
      held_ += 8;
    }
    const auto value = static_cast<std::uint32_t>(pending_ & mask_);
    pending_ >>= bits_;
    held_ -= bits_;
    return value;
  }

 private:
  const unsigned char* at_;
  std::uint32_t bits_;
  std::uint64_t mask_;
  std::uint64_t pending_ = 0;
  std::uint32_t held_ = 0;
};

std::size_t packed_bytes(std::uint32_t count, std::uint32_t bits) {
  return (std::size_t{count} * bits + 7) / 8;
}

std::uint32_t value_of(const FieldFrequencies& frequencies) {
  const std::uint32_t text = std::min<std::uint32_t>(frequencies.tf[kTextField], (1u << 30) - 1);
  return text << 2 | (frequencies.tf[kNamesField] != 0 ? 1u : 0u) | (frequencies.tf[kPathField] != 0 ? 2u : 0u);
}

// A varint at `*at` before `end`, or false.
bool get_varint(std::span<const unsigned char> bytes, std::size_t* at, std::uint32_t* value) {
  std::uint32_t result = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*at >= bytes.size()) return false;
    const unsigned char byte = bytes[(*at)++];
    result |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *value = result;
      return true;
    }
  }
  return false;
}

}  // namespace

void encode_block(std::string& out, std::uint32_t base, std::span<const std::uint32_t> docs,
                  std::span<const FieldFrequencies> frequencies) {
  std::uint32_t gap_bits = 0;
  std::uint32_t value_bits = 0;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    if (i > 0) gap_bits = std::max(gap_bits, bits_for(docs[i] - docs[i - 1] - 1));
    value_bits = std::max(value_bits, bits_for(value_of(frequencies[i])));
  }
  out.push_back(static_cast<char>(gap_bits));
  out.push_back(static_cast<char>(value_bits));
  put_varint(out, docs[0] - base);
  {
    BitWriter gaps(out, gap_bits);
    for (std::size_t i = 1; i < docs.size(); ++i) gaps.put(docs[i] - docs[i - 1] - 1);
  }
  {
    BitWriter values(out, value_bits);
    for (const FieldFrequencies& each : frequencies) values.put(value_of(each));
  }
  for (const FieldFrequencies& each : frequencies) {
    if (each.tf[kNamesField] != 0) put_varint(out, each.tf[kNamesField]);
    if (each.tf[kPathField] != 0) put_varint(out, each.tf[kPathField]);
  }
}

bool decode_block(std::span<const unsigned char> bytes, std::uint32_t base, std::uint32_t count,
                  std::uint32_t doc_count, DecodedBlock& out) {
  if (count == 0 || count > kBlockSize || bytes.size() < 2) return false;
  const std::uint32_t gap_bits = bytes[0];
  const std::uint32_t value_bits = bytes[1];
  std::size_t at = 2;
  std::uint32_t first = 0;
  if (gap_bits > 32 || value_bits > 32 || !get_varint(bytes, &at, &first)) return false;
  const std::size_t gap_bytes = packed_bytes(count - 1, gap_bits);
  const std::size_t value_bytes = packed_bytes(count, value_bits);
  if (bytes.size() - at < gap_bytes + value_bytes) return false;

  std::uint64_t doc = std::uint64_t{base} + first;
  BitReader gaps(bytes.data() + at, gap_bits);
  out.docs[0] = static_cast<std::uint32_t>(doc);
  for (std::uint32_t i = 1; i < count && doc < doc_count; ++i) {
    doc += std::uint64_t{gaps.get()} + 1;
    out.docs[i] = static_cast<std::uint32_t>(doc);
  }
  if (doc >= doc_count) return false;
  at += gap_bytes;

  BitReader values(bytes.data() + at, value_bits);
  at += value_bytes;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t value = values.get();
    FieldFrequencies& frequencies = out.frequencies[i];
    frequencies.tf[kTextField] = value >> 2;
    frequencies.tf[kNamesField] = 0;
    frequencies.tf[kPathField] = 0;
    if ((value & 1) != 0 && (!get_varint(bytes, &at, &frequencies.tf[kNamesField]) || frequencies.tf[kNamesField] == 0)) {
      return false;
    }
    if ((value & 2) != 0 && (!get_varint(bytes, &at, &frequencies.tf[kPathField]) || frequencies.tf[kPathField] == 0)) {
      return false;
    }
    if (value == 0) return false;
  }
  out.count = count;
  return at == bytes.size();
}

std::uint8_t length_code(std::uint32_t length) {
  const auto above = std::upper_bound(kCodeLengths.begin(), kCodeLengths.end(), length);
  return static_cast<std::uint8_t>(above - kCodeLengths.begin() - 1);
}

std::uint32_t code_length(std::uint8_t code) { return kCodeLengths[code]; }

}  // namespace vorpaline_core::index
