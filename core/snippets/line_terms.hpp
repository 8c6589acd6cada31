// Which of a query's terms each line of a chunk holds: the line tokenised
// as sparse_embed tokenises a text under the profile (its character limit
// too), each token's index looked up among the query's, nothing counted.
#pragma once

#include <cstdint>
#include <vector>

#include "embed/profile.hpp"
#include "embed/tokenizer.hpp"
#include "snippets/best_line.hpp"
#include "snippets/chunk_lines.hpp"

namespace vorpaline_core::snippets {

class QueryTermFinder {
 public:
  // `terms` sorted and distinct.
  QueryTermFinder(const Profile& profile, const std::vector<std::uint32_t>& terms);
  LineTerms find(const ChunkLines& lines);

 private:
  Profile profile_;
  const std::vector<std::uint32_t>& terms_;
  Tokenizer tokenizer_;
};

}  // namespace vorpaline_core::snippets
