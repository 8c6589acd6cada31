// A chunk's lines read from its file as the file is now, opened as the
// indexer's guarded open does (scan/guarded_open.hpp; in one system call
// where the kernel can, beneath_open.hpp).
//
// Contract:
// - A file that cannot be opened as a regular file below the root, or read,
//   is gone; so is every file of a malformed path.
// - A file whose size and mtime are the indexed ones (or that has none to
//   compare with) is read only in the chunk's bytes [begin, end), when given:
//   its lines up to the chunk's count.
// - Otherwise, or without a byte range, the file's first kWholeFileLimit
//   bytes are its text, lines first to last of it (1-based); the file is then
//   stale when its size or mtime differ from the indexed ones. Each path is
//   read whole at most once per reader.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "scan/guarded_open.hpp"
#include "scan/unique_fd.hpp"
#include "snippets/chunk_lines.hpp"

namespace vorpaline_core::snippets {

constexpr std::uint64_t kWholeFileLimit = std::uint64_t{64} << 20;

struct FileChunk {
  std::string_view path;
  std::int64_t first = 1;
  std::int64_t last = 1;
  std::optional<std::int64_t> begin, end;  // both or neither; a negative or reversed range is gone
  // As the index saw the file; none for a file it has no record of.
  std::optional<std::uint64_t> size;
  std::optional<std::int64_t> mtime_ns;
};

struct ReadChunk {
  bool gone = false;
  bool stale = false;
  ChunkLines lines;
};

class ChunkReader {
 public:
  explicit ChunkReader(std::string_view root);  // a root with a NUL byte holds no file
  ReadChunk read(const FileChunk& chunk);

 private:
  struct WholeFile {
    std::string text;
    bool stale = false;
  };
  // Null when the file is gone.
  const WholeFile* whole(const FileChunk& chunk);
  // The file, if it is a regular file below the root.
  std::optional<scan::GuardedFile> open(std::string_view path);

  std::string root_;
  scan::UniqueFd root_fd_;  // for openat2's walk
  std::optional<scan::RepositoryRoot> walked_root_;  // for the walk a component at a time, made when needed
  std::map<std::string, std::unique_ptr<WholeFile>, std::less<>> whole_;
};

}  // namespace vorpaline_core::snippets
