// The parallel walk of a scan: folders are listed by several threads at
// once, each carrying its folder's rule stack down to the folders it finds.
//
// Regular files that no rule ignores are listed with their size and
// modification time; excluded folders are not entered, so their ignore files
// are never read. Symbolic links are neither followed nor listed, special
// files are left out, and nothing named `.git` is listed or entered. A folder
// or file that cannot be read, or whose name is not UTF-8, is reported as
// skipped and the walk goes on. The result is sorted and does not depend on
// the number of threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "scan_plan.hpp"

namespace vorpaline_core::scan {

struct FoundFile {
  const char* path;  // relative to the root, in the result's arenas
  std::uint32_t length;
  std::int64_t size;
  std::int64_t mtime_ns;

  std::string_view view() const { return {path, length}; }
};

struct WalkResult {
  std::vector<FoundFile> files;       // sorted bytewise by path
  std::vector<SkippedPath> skipped;   // sorted bytewise by path
  std::vector<std::unique_ptr<char[]>> arenas;
};

// The threads a walk uses when the caller names none: one per core it may run on.
unsigned default_walk_threads();

WalkResult walk(const ScanPlan& plan, unsigned threads);

}  // namespace vorpaline_core::scan
