// What a scan's file list depends on, so that a later caller can tell
// without walking again that the list is still the same.
//
// A folder's mtime changes when an entry is added to it, removed from it or
// renamed in it; a file's size, mtime and inode change when it is rewritten
// or replaced. So the list stands while every folder the walk read keeps its
// mtime and every file that decides the rules (the ignore files read, and
// those looked for outside the walked folders but absent, and git's files:
// config files and their includes, `.git` pointers, HEAD, info/exclude,
// core.excludesFile, the index) keeps its size, mtime and inode, or stays
// absent. An ignore file looked for in a walked folder needs no stamp of its
// own when absent: creating it changes the folder's mtime.
//
// A time the file system gave less than two seconds before the walk started
// (or after) proves nothing: an entry added in the same clock tick would
// leave it as it was. Such stamps make listing_unchanged answer false.
//
// The JSON form, in a scan's reply:
//   "stamps": {"at_ns": N, "folders": [[path, mtime_ns], ...],
//              "sources": [[path, size, mtime_ns, inode], ...]}
// Folder paths are relative to the scanned root ("" is the root); a source
// path is absolute or relative to the root; an absent source has size -1,
// mtime_ns 0 and inode 0.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json_text.hpp"

namespace vorpaline_core::scan {

inline constexpr std::int64_t kRacyWindowNs = 2'000'000'000;
inline constexpr std::int64_t kAbsentSize = -1;
// The time of a stamp that must never hold (a folder or file that could not
// be read, whose becoming readable would change no time): it is always racy.
inline constexpr std::int64_t kNeverHolds = INT64_MAX;

struct FolderStamp {
  std::string path;
  std::int64_t mtime_ns;
};

struct SourceStamp {
  std::string path;
  std::int64_t size = kAbsentSize;
  std::int64_t mtime_ns = 0;
  std::uint64_t inode = 0;
};

struct ListingStamps {
  std::int64_t at_ns = 0;
  std::vector<FolderStamp> folders;
  std::vector<SourceStamp> sources;
};

std::int64_t mtime_ns_of(const struct stat& status);
std::int64_t realtime_now_ns();
SourceStamp source_stamp(std::string path, const struct stat& status);
// The stamp of `path` (relative to `directory_fd`), following links as the
// files of the whole tree are read; absent when there is no file there.
SourceStamp stat_source(int directory_fd, std::string path);

// Sorts both lists and drops repeated sources.
void settle(ListingStamps* stamps);

// True only when every stamp still holds and none is racy. `root` is the
// folder the stamps' relative paths start from. Throws InputError for JSON
// that is not the form above.
bool listing_unchanged(const std::string& root, std::string_view stamps_json, unsigned threads);

template <class Sink>
void put_stamps(Sink& sink, const ListingStamps& stamps) {
  sink.put("{\"at_ns\":");
  put_number(sink, stamps.at_ns);
  sink.put(",\"folders\":[");
  bool first = true;
  for (const FolderStamp& folder : stamps.folders) {
    sink.put(first ? "[" : ",[");
    first = false;
    put_string(sink, folder.path);
    sink.put(',');
    put_number(sink, folder.mtime_ns);
    sink.put(']');
  }
  sink.put("],\"sources\":[");
  first = true;
  for (const SourceStamp& source : stamps.sources) {
    sink.put(first ? "[" : ",[");
    first = false;
    put_string(sink, source.path);
    sink.put(',');
    put_number(sink, source.size);
    sink.put(',');
    put_number(sink, source.mtime_ns);
    sink.put(',');
    put_number(sink, static_cast<std::int64_t>(source.inode));
    sink.put(']');
  }
  sink.put("]}");
}

}  // namespace vorpaline_core::scan
