// What a document of the index is scored by: its fields and its file's roles.
//
// A chunk of a file has three fields: its text; the names it defines (from
// the file's parser, or its head line when the file has none); its file's
// path. Each is tokenised apart and scored with its own weight and length
// normalisation (bm25.hpp). Roles say what kind of file a chunk comes from
// (file_roles.hpp); a search may weigh each role down as a prior.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorpaline_core::index {

enum Field : std::size_t { kTextField = 0, kNamesField = 1, kPathField = 2 };
inline constexpr std::size_t kFieldCount = 3;

struct FieldFrequencies {
  std::uint32_t tf[kFieldCount] = {};
  std::uint64_t total() const { return std::uint64_t{tf[0]} + tf[1] + tf[2]; }
};

// Bit flags.
enum Role : std::uint32_t {
  kTestRole = 1u << 0,
  kDocumentationRole = 1u << 1,
  kChangelogRole = 1u << 2,
  kGeneratedRole = 1u << 3,
  kVendoredRole = 1u << 4,
  kMinifiedRole = 1u << 5,
};
inline constexpr std::size_t kRoleCount = 6;
inline constexpr const char* kRoleNames[kRoleCount] = {"test", "documentation", "changelog",
                                                      "generated", "vendored", "minified"};

// Stored per document, in order.
struct DocumentRecord {
  std::uint32_t lengths[kFieldCount];  // tokens in each field
  std::uint32_t roles;                 // Role flags of its file
};
static_assert(sizeof(DocumentRecord) == 16);

}  // namespace vorpaline_core::index
