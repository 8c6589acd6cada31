// What a scan needs before it walks: the root opened, the rules for the
// whole tree, and those of the folders above the root inside its worktree
// (scanning a subfolder of a repository honours the repository's ignore files
// above it, as git does).
#pragma once

#include <string>
#include <vector>

#include "git_setup.hpp"
#include "rule_stack.hpp"
#include "scan_config.hpp"
#include "stamps.hpp"

namespace vorpaline_core::scan {

inline constexpr char kGitignoreName[] = ".gitignore";
inline constexpr char kVorpalineignoreName[] = ".vorpalineignore";

struct SkippedPath {
  std::string path;  // bytes as the file system has them
  std::string reason;
};

struct ScanPlan {
  ScanPlan() = default;
  ScanPlan(const ScanPlan&) = delete;
  ScanPlan& operator=(const ScanPlan&) = delete;
  ~ScanPlan();

  int root_fd = -1;
  std::string prefix;  // the root relative to the worktree's top: "" or "a/b/"
  bool use_gitignore = true;
  bool use_vorpalineignore = true;
  RootRules root_rules;
  SharedFolderRules above_root;           // may be null
  std::vector<SkippedPath> problems;      // ignore files that exist but cannot be read
  bool stamps = false;                    // whether the walk stamps what it reads
  std::vector<SourceStamp> sources;       // git's files and the ignore files above the root
};

// Throws InputError when the root is missing or not a folder.
void make_scan_plan(const ScanConfig& config, const GitEnvironment& environment, ScanPlan* plan);

// The rules of one folder: its parent's, plus its own ignore files, read from
// `folder_fd` when the listing showed them. `folder` is its path as patterns
// see ("" or ending in '/'); `shown` its path in problem reports, relative
// to the root. The files looked for are stamped into `sources` when given.
SharedFolderRules folder_rules(int folder_fd, const std::string& folder, const std::string& shown,
                               SharedFolderRules parent, const ScanPlan& plan, bool has_gitignore,
                               bool has_vorpalineignore, std::vector<SkippedPath>* problems,
                               std::vector<SourceStamp>* sources = nullptr);

}  // namespace vorpaline_core::scan
