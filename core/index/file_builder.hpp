// Segments built from a repository's files, with several threads and without
// the interpreter lock.
//
// Each file is opened below the root without following a link or blocking
// (scan/guarded_open.hpp: anything but a regular file inside the root is
// skipped with the reason), then read whole (a file over the size limit, or
// with a NUL byte in its first 8 KiB, is skipped and said so), bytes that
// are not UTF-8 become U+FFFD, the text is cut into chunks (chunk/chunker.hpp)
// and each chunk is tokenised under the profile as one document, whose metadata is the JSON
// text ["path", first_line, last_line, null, begin, end] (the chunk's byte
// range in the file, left out when bytes were replaced). The files are taken in batches
// of consecutive files, about `segment_bytes` each, and every batch becomes
// one segment named `prefix-NNNN` in `folder`: the segments, their documents
// and their order do not depend on the number of threads.
//
// With `grep` on, the same read of each file also feeds the trigram index
// (grep/collector.hpp): every file read whole, up to `grep_max_file_bytes`
// (so also those too large for the segments) and with no NUL byte anywhere,
// becomes a doc of one grep segment `prefix.grep`, in the order of `files`.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "embed/profile.hpp"

namespace vorpaline_core::index {

struct FileToIndex {
  std::string path;     // relative to the root, '/'-separated
  std::uint64_t size;   // as the scan saw it: where the batches are cut
  // The hash the index holds for the file, when its time changed: bytes that
  // still hash to it are only hashed ("unchanged"), never chunked or tokenised.
  std::string known_hash;
};

struct BuildLimits {
  std::uint64_t max_file_bytes = 1 << 20;
  std::uint64_t segment_bytes = 16 << 20;
  bool grep = false;
  std::uint64_t grep_max_file_bytes = std::uint64_t{256} << 20;
};

struct FileOutcome {
  std::string status;  // "indexed", "unchanged", "binary", "too large", or why it could not be read
  std::uint64_t bytes = 0;
  std::string hash;    // of the bytes read (XXH3-128, hex), when indexed or unchanged
  std::int64_t segment = -1;  // in BuildResult::segments, when it has chunks
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  std::int64_t grep = -1;  // its doc in the grep segment, when it has one
};

struct BuiltSegment {
  std::string name;
  std::uint32_t documents;
};

struct BuildResult {
  std::vector<BuiltSegment> segments;
  std::vector<FileOutcome> files;  // one per file, in order
  std::vector<BuiltSegment> grep_segments;  // none, or the one grep segment
};

// Told now and then, from any of the threads, how many files and how many of
// their (listed) bytes are done; returns false to stop the build.
using BuildProgress = std::function<bool(std::uint64_t files, std::uint64_t bytes)>;

// What stops a build whose progress said so.
class BuildStopped : public std::runtime_error {
 public:
  BuildStopped() : std::runtime_error("the build was stopped") {}
};

// Throws std::system_error when a segment cannot be written, BuildStopped when
// `progress` stops it; segments written before that stay in `folder`, named
// by no manifest.
BuildResult build_from_files(const std::string& root, const std::vector<FileToIndex>& files,
                             const std::string& folder, const std::string& prefix, const Profile& profile,
                             const BuildLimits& limits, unsigned threads, const BuildProgress& progress = {});

}  // namespace vorpaline_core::index
