// Which docs of a grep segment may match: a tree of trigram keys.
//
// In JSON: true (every doc), false (none), an int key (the docs holding it),
// {"and": [tree, ...]} or {"or": [tree, ...]} (an empty "and" is true, an
// empty "or" false). Evaluated into a bitmap of the segment's docs; an "and"
// takes its keys rarest first and stops once nothing is left.
#pragma once

#include <cstdint>
#include <vector>

#include <simdjson.h>

#include "segment_reader.hpp"

namespace vorpaline_core::grep {

struct QueryNode {
  enum class Kind { kAll, kNone, kKey, kAnd, kOr };
  Kind kind = Kind::kAll;
  std::uint32_t key = 0;
  std::vector<QueryNode> children;
};

// Throws InputError for anything else, a key outside 0..2^24-1, or a tree nested too deep.
QueryNode parse_query(simdjson::dom::element element);

// One bit per doc of `segment`, set for the docs the tree lets through.
std::vector<std::uint64_t> evaluate(const QueryNode& tree, const GrepSegmentReader& segment);

}  // namespace vorpaline_core::grep
