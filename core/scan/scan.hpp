// The repository scan: what the core's scan_repository and scan_explain do.
//
// scan_repository walks the configured root (scan_config.hpp) under its
// ignore rules (rule_stack.hpp, git_setup.hpp) with `threads` threads
// (walker.hpp) and replies with the JSON text
//   {"root": ..., "files": [{"path": ..., "size": ..., "mtime_ns": ...}, ...],
//    "skipped": [{"path": ..., "reason": ...}, ...]}
// and, when the configuration asks for them, "stamps": {...} (stamps.hpp),
// in pure ASCII, paths relative to the root and sorted bytewise. Given an
// index's file table ("known_files"), "files" holds only the files that
// differ from it or that it lacks, and the reply adds
//   "removed": [path, ...], "unchanged": n, "unchanged_skipped": n
// (known_files.hpp).
//
// scan_explain says what decides one path, as `git check-ignore -v` does:
//   {"path": ..., "ignored": bool, "source": ..., "line": ..., "pattern": ...,
//    "matched": ..., "note": ...}
// "source", "line" and "pattern" name the deciding pattern (null when none
// matches), "matched" is the path it matched (the path itself or the
// excluded folder above it), and "note" tells a rule of the walk that is no
// pattern (a `.git` folder, a symbolic link, a special file).
// Both throw InputError for a bad configuration and std::bad_alloc when
// memory runs out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "git_setup.hpp"
#include "known_files.hpp"
#include "walker.hpp"

namespace vorpaline_core::scan {

class RepositoryScan {
 public:
  RepositoryScan(std::string_view config_json, const GitEnvironment& environment, unsigned threads);

  std::size_t reply_size() const;
  // Writes exactly reply_size() bytes.
  void write_reply(char* out) const;

 private:
  template <class Sink>
  void put_reply(Sink& sink) const;
  ListingChanges compare_listing(const KnownFiles& known, bool need_grep) const;

  std::string root_;
  bool stamps_ = false;
  WalkResult result_;
  std::optional<KnownFiles> known_;
  ListingChanges changes_;
};

std::string explain_path(std::string_view config_json, const GitEnvironment& environment,
                         std::string_view path);

}  // namespace vorpaline_core::scan
