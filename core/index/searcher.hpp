// What the core's index functions do: write a segment from texts, and search
// a set of open segments.
//
// build_segment tokenises each text under the profile (as an embedding would)
// and writes one segment with the text's metadata string beside each
// document. A Searcher opens segments once (cheaply: segment_reader.hpp)
// with the documents deleted from each, and answers BM25 queries (bm25.hpp)
// from any number of threads at once. A merge checks each input whole.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bm25.hpp"
#include "embed/profile.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::index {

struct SegmentStats {
  std::uint32_t documents;
  std::uint32_t terms;
};

// `texts_json` and `metadata_json` are JSON arrays of strings of one length.
// Throws InputError for bad input, std::system_error when writing fails.
SegmentStats build_segment(const std::string& path, const Profile& profile, std::string_view texts_json,
                           std::string_view metadata_json);

// Writes the documents of `segments_json` ([{"path", "deleted"}...]) that are
// not deleted into one new segment at `path`, in order: segment by segment,
// each document's place among the live ones kept.
SegmentStats merge_segments(const std::string& path, std::string_view segments_json);

struct Hit {
  std::uint32_t segment;
  std::uint32_t doc;
  double score;
  std::string_view metadata;
  std::string_view symbols;  // the JSON text of its definitions and references; empty without a parser
  std::uint32_t roles;
};

// Segments opened with the documents deleted from each.
class OpenSegments {
 public:
  // `segments_json`: [{"path": str, "deleted": [doc ids]}...]. Throws
  // InputError for bad input, DamagedIndex or std::system_error for a file.
  explicit OpenSegments(std::string_view segments_json);

  std::span<const LiveSegment> live() const { return live_; }

 private:
  std::vector<std::unique_ptr<SegmentReader>> readers_;
  std::vector<std::vector<std::uint64_t>> deleted_;
  std::vector<LiveSegment> live_;
};

class Searcher {
 public:
  explicit Searcher(std::string_view segments_json) : segments_(segments_json) {}

  std::uint64_t documents() const;
  std::vector<Hit> search(std::string_view query, const Profile& profile, std::size_t k,
                          const Bm25Parameters& parameters) const;
  // The documents with symbols whose `field` holds every term of `name`:
  // the candidates among which its definitions (names field) or its
  // references (text field) are, unscored, in index order.
  std::vector<Hit> with_symbols(std::string_view name, const Profile& profile, Field field) const;

 private:
  OpenSegments segments_;
};

}  // namespace vorpaline_core::index
