// Merging grep segments: one segment holding the live docs of the first
// input in their order, then those of the second, and so on, each key's
// list remapped to the new doc ids. The inputs' postings are checked against
// their checksums as they are read whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorpaline_core::grep {

struct MergeInput {
  std::string path;
  std::vector<std::uint32_t> deleted;  // doc ids, any order; ids past the end are ignored
};

// Returns the number of docs written. Throws std::system_error for an input
// that cannot be read or is damaged, or an output that cannot be written.
std::uint32_t merge_segments(const std::string& out_path, const std::vector<MergeInput>& inputs);

}  // namespace vorpaline_core::grep
