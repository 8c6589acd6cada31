// The ignore rules in force in one folder of the walk, and the decision they
// make for a path.
//
// Each folder that has ignore files of its own gets a node that points at its
// parent's; folders without share their parent's node, so the walk carries
// the stack down the tree without copying it. A path is decided by the first
// layer that has a matching pattern:
//   1. the .vorpalineignore files, deepest folder first;
//   2. the .gitignore files, deepest folder first;
//   3. the files for the whole tree, in `RootRules::files` order
//      (.git/info/exclude, core.excludesFile, extra patterns, built-in patterns).
// Within one file the last matching pattern decides.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "ignore_rules.hpp"

namespace vorpaline_core::scan {

struct FolderRules {
  std::shared_ptr<const FolderRules> parent;
  SharedRules vorpalineignore;  // may be null
  SharedRules gitignore;        // may be null
};

using SharedFolderRules = std::shared_ptr<const FolderRules>;

struct RootRules {
  std::vector<SharedRules> files;  // highest precedence first
};

struct Decision {
  const IgnorePattern* pattern = nullptr;  // null: no pattern matches
  const IgnoreRules* rules = nullptr;      // where `pattern` comes from

  bool ignored() const { return pattern != nullptr && !pattern->negated; }
};

Decision decide(const FolderRules* folder, const RootRules& root, std::string_view path,
                std::size_t name_start, bool is_directory);

}  // namespace vorpaline_core::scan
