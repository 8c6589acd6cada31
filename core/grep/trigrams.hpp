// The trigram keys of a file's bytes, as the grep index stores them.
//
// A key is three consecutive bytes after ASCII lower-casing (A-Z only; every
// other byte as it is), packed as (b0 << 16) | (b1 << 8) | b2. A file's keys
// are the distinct keys of all its byte triples, newlines included, sorted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::grep {

constexpr std::uint32_t kKeySpace = 1u << 24;

// The sorted distinct keys of `data`, into `keys`. Safe from several threads
// at once (each thread keeps its own 2 MiB scratch bitmap).
void trigram_keys(std::string_view data, std::vector<std::uint32_t>& keys);

// Appends `value` as a little-endian base-128 varint.
void put_varint(std::string& out, std::uint64_t value);

}  // namespace vorpaline_core::grep
