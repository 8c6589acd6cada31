// Opening a file the scan listed, by its path relative to the repository's
// root, so that what is read is always that file of that tree.
//
// Contract:
// - The root is opened as given, links followed: it is the user's own choice,
//   as it is for the scan.
// - Below it the '/'-separated path is walked one component at a time, each
//   opened from its parent's descriptor without following a symbolic link:
//   a folder swapped for a link after the scan cannot lead outside the root.
// - The last component is opened without blocking and without taking a
//   terminal, then accepted only if fstat says it is a regular file: a FIFO,
//   socket, device or folder is refused, and nothing ever waits on one.
// - A path that is empty, absolute, or has an empty, "." or ".." component
//   (or a NUL byte) is refused before anything is opened.
// - A refusal carries the errno and a short lower-case reason, the kind the
//   scan gives for a skipped path ("a folder on its path became a symbolic
//   link", "not a regular file").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unique_fd.hpp"

namespace vorpaline_core::scan {

// An open regular file and what fstat said of it.
struct GuardedFile {
  UniqueFd fd;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // st_mtim in nanoseconds, as the scan reports it
};

// A file, or why it was refused.
struct GuardedOpen {
  GuardedFile file;
  int error = 0;       // errno of the refusal; 0 when `file` is open
  std::string reason;  // empty when `file` is open

  bool opened() const { return error == 0; }
};

// Null when `path` is a well-formed path below a root; otherwise what is wrong with it.
const char* malformed_path_reason(std::string_view path);

// A repository's root, opened once for the files read below it.
class RepositoryRoot {
 public:
  // Opened following links; a root that cannot be opened refuses every path.
  explicit RepositoryRoot(std::string_view root);

  // The file at `path` below the root; safe to call from several threads at once.
  GuardedOpen open(std::string_view path) const;

 private:
  UniqueFd fd_;
  int error_ = 0;  // why the root could not be opened
};

}  // namespace vorpaline_core::scan
