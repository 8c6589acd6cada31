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
#include <string>
#include <string_view>
#include <vector>

#include "scan_plan.hpp"

namespace vorpaline_core::scan {

// A listed file; its name is kept once, in its folder's names. Packed to
// 20 bytes: there is one per file listed.
#pragma pack(push, 4)
struct FoundFile {
  std::int64_t size;
  std::int64_t mtime_ns;
  std::uint32_t name_offset;  // in the folder's names: a length byte, then the name
};
#pragma pack(pop)
static_assert(sizeof(FoundFile) == 20);

inline constexpr std::uint32_t kNoFolder = UINT32_MAX;

// A folder the walk listed. Its files are contiguous in its thread's run,
// sorted by name; its own name is the last component of its path.
struct ListedFolder {
  const unsigned char* names;  // the files' names
  const char* name;            // "" for the root
  std::uint32_t first_file;
  std::uint32_t file_count;
  std::uint32_t parent;        // the parent's index in parent_run's folders; kNoFolder for the root
  std::uint16_t parent_run;
  std::uint8_t name_length;

  std::string_view own_name() const { return {name, name_length}; }
  std::string_view file_name(const FoundFile& file) const {
    const unsigned char* stored = names + file.name_offset;
    return {reinterpret_cast<const char*>(stored + 1), stored[0]};
  }
};

// What one thread found.
struct FileRun {
  std::vector<ListedFolder> folders;
  std::vector<FoundFile> files;
};

// Whether file `file_name` sorts before everything in subfolder `folder_name`:
// the subfolder's paths all go on with '/'.
bool file_before_folder(std::string_view file_name, std::string_view folder_name);

struct WalkResult {
  std::vector<FileRun> runs;
  std::vector<SkippedPath> skipped;  // sorted bytewise by path
  std::vector<std::unique_ptr<char[]>> arenas;
  // With ScanPlan::stamps: every folder listed and every ignore file read, then the plan's sources.
  ListingStamps stamps;

  // The folder tree, every folder numbered across the runs: its record, its
  // files, and its subfolders children[first_child[n], first_child[n + 1])
  // in path order.
  struct Node {
    const ListedFolder* folder;
    const FoundFile* files;
  };
  std::vector<Node> nodes;
  std::vector<std::uint32_t> first_child;
  std::vector<std::uint32_t> children;
  std::uint32_t root = kNoFolder;

  // Calls visit(folder_path, name, file) for every file in path order, where
  // folder_path is "" or "a/b/": a walk of the tree, each folder's files and
  // subfolders taken in turn as their paths sort.
  template <class Visit>
  void for_each_file(Visit&& visit) const;
};

template <class Visit>
void WalkResult::for_each_file(Visit&& visit) const {
  if (root == kNoFolder) return;
  struct Frame {
    std::uint32_t node;
    std::uint32_t next_file;
    std::uint32_t next_child;
    std::size_t path_length;
  };
  std::string path;
  std::vector<Frame> stack{{root, 0, first_child[root], 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node& node = nodes[frame.node];
    const bool files_left = frame.next_file < node.folder->file_count;
    const bool folders_left = frame.next_child < first_child[frame.node + 1];
    if (!files_left && !folders_left) {
      stack.pop_back();
      if (!stack.empty()) path.resize(stack.back().path_length);
      continue;
    }
    const FoundFile* file = files_left ? &node.files[frame.next_file] : nullptr;
    const std::uint32_t child = folders_left ? children[frame.next_child] : kNoFolder;
    if (file != nullptr &&
        (child == kNoFolder ||
         file_before_folder(node.folder->file_name(*file), nodes[child].folder->own_name()))) {
      ++frame.next_file;
      visit(std::string_view(path), node.folder->file_name(*file), *file);
      continue;
    }
    ++frame.next_child;
    path += nodes[child].folder->own_name();
    path += '/';
    stack.push_back({child, 0, first_child[child], path.size()});
  }
}

// The threads a walk uses when the caller names none: one per core it may run on.
unsigned default_walk_threads();

WalkResult walk(const ScanPlan& plan, unsigned threads);

}  // namespace vorpaline_core::scan
