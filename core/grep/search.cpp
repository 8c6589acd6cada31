#include "search.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "input_error.hpp"
#include "parallel.hpp"
#include "scan/guarded_open.hpp"
#include "scan/path_rules.hpp"
#include "scan/unique_fd.hpp"
#include "segment_reader.hpp"

namespace vorpaline_core::grep {

namespace {

// One file to look at: a doc of a segment, or an extra file.
struct Item {
  std::string_view path;
  const GrepFileEntry* recorded = nullptr;  // a doc's record
  const ExtraFile* extra = nullptr;
  bool selected = false;  // the query lets the doc through
};

struct Outcome {
  bool read = false;
  bool stale = false;
  bool matched = false;
  std::uint64_t bytes = 0;
  FileMatches matches;
};

class PathFilter {
 public:
  explicit PathFilter(const GrepRequest& request) : rules_(request.globs, request.type_globs) {
    if (request.listing) {
      listing_.emplace();
      for (const std::string& path : *request.listing) listing_->insert(path);
    }
    if (request.prefixes) {
      prefixes_.emplace();
      for (std::string prefix : *request.prefixes) {
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        prefixes_->push_back(std::move(prefix));
      }
    }
  }

  bool keeps(std::string_view path) const {
    if (listing_ && listing_->count(path) == 0) return false;
    if (prefixes_ && std::none_of(prefixes_->begin(), prefixes_->end(),
                                  [path](const std::string& prefix) { return under(path, prefix); })) {
      return false;
    }
    return rules_.keeps(path);
  }

 private:
  static bool under(std::string_view path, std::string_view prefix) {
    if (prefix.empty() || prefix == ".") return true;
    return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
  }

  scan::PathRules rules_;
  std::optional<std::unordered_set<std::string_view>> listing_;
  std::optional<std::vector<std::string>> prefixes_;
};

std::unique_ptr<RE2> compile(const std::string& pattern) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_longest_match(false);
  options.set_log_errors(false);
  options.set_max_mem(std::int64_t{256} << 20);
  auto compiled = std::make_unique<RE2>(pattern, options);
  if (!compiled->ok()) throw InputError("grep_search: bad pattern: " + compiled->error());
  return compiled;
}

// The whole file, or false when it cannot be read.
bool read_whole(int fd, std::string& data) {
  data.clear();
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    data.append(buffer, static_cast<std::size_t>(got));
  }
}

std::vector<Item> items_of(const GrepRequest& request, const std::vector<std::unique_ptr<GrepSegmentReader>>& segments,
                           const PathFilter& filter) {
  // The live docs, the last segment's when a path is in several.
  std::vector<std::vector<bool>> live(segments.size());
  std::unordered_map<std::string_view, std::size_t> last;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const GrepSegmentReader& segment = *segments[s];
    live[s].assign(segment.doc_count(), true);
    for (const std::uint32_t doc : request.segments[s].deleted) {
      if (doc < segment.doc_count()) live[s][doc] = false;
    }
    if (segments.size() < 2) continue;
    for (std::uint32_t doc = 0; doc < segment.doc_count(); ++doc) {
      if (live[s][doc]) last[segment.doc_path(doc)] = s;
    }
  }
  std::vector<Item> items;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const GrepSegmentReader& segment = *segments[s];
    const std::vector<std::uint64_t> selected = evaluate(request.query, segment);
    for (std::uint32_t doc = 0; doc < segment.doc_count(); ++doc) {
      const std::string_view path = segment.doc_path(doc);
      if (!live[s][doc] || (segments.size() > 1 && last[path] != s) || !filter.keeps(path)) continue;
      items.push_back({path, &segment.doc_file(doc), nullptr, ((selected[doc >> 6] >> (doc & 63)) & 1) != 0});
    }
  }
  for (const ExtraFile& extra : request.extra) {
    if (filter.keeps(extra.path)) items.push_back({extra.path, nullptr, &extra, false});
  }
  return items;
}

class Searcher {
 public:
  Searcher(const GrepRequest& request, const RE2& pattern)
      : request_(request), pattern_(pattern), root_(request.root),
        root_fd_(::open(request.root.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY)) {}

  void look_at(const Item& item, Outcome& outcome) const {
    struct stat status {};
    const bool present = scan::malformed_path_reason(item.path) == nullptr && root_fd_.valid() &&
                         ::fstatat(root_fd_.get(), std::string(item.path).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    const bool regular = present && S_ISREG(status.st_mode);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::int64_t mtime = std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    if (item.recorded != nullptr) {
      outcome.stale = !regular || size != item.recorded->size || mtime != item.recorded->mtime_ns;
      if (!regular || !(item.selected || outcome.stale)) return;
    } else {
      if (!regular) return;
      const ExtraFile& extra = *item.extra;
      if (extra.size && extra.mtime_ns && *extra.size == size && *extra.mtime_ns == mtime) return;
    }
    std::string data;  // per file: no thread keeps the largest file's buffer
    const scan::GuardedOpen opened = root_.open(item.path);
    if (!opened.opened()) return;
    data.reserve(opened.file.size + 1);
    if (!read_whole(opened.file.fd.get(), data)) return;
    outcome.read = true;
    if (std::memchr(data.data(), '\0', data.size()) != nullptr) return;  // binary, as ripgrep skips it
    outcome.bytes = data.size();
    // ripgrep drops a UTF-8 byte order mark: lines and offsets count from the text after it.
    const std::string_view text = std::string_view(data).starts_with("\xEF\xBB\xBF")
                                      ? std::string_view(data).substr(3) : std::string_view(data);
    match_text(pattern_, text, request_.options, outcome.matches);
    outcome.matched = outcome.matches.matched_lines > 0;
  }

 private:
  const GrepRequest& request_;
  const RE2& pattern_;
  const scan::RepositoryRoot root_;
  const scan::UniqueFd root_fd_;
};

}  // namespace

bool path_order(std::string_view a, std::string_view b) {
  const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&rank](char x, char y) { return rank(x) < rank(y); });
}

SearchResult search(const GrepRequest& request, unsigned threads) {
  const std::unique_ptr<RE2> pattern = compile(request.pattern);
  if (static_cast<int>(request.options.match_group) > pattern->NumberOfCapturingGroups()) {
    throw InputError("grep_search: match_group names a group the pattern does not have");
  }
  const PathFilter filter(request);
  std::vector<std::unique_ptr<GrepSegmentReader>> segments;
  for (const SegmentToSearch& segment : request.segments) {
    segments.push_back(std::make_unique<GrepSegmentReader>(segment.path));
  }
  const std::vector<Item> items = items_of(request, segments, filter);
  std::vector<Outcome> outcomes(items.size());
  const Searcher searcher(request, *pattern);
  for_each_index(items.size(), threads, [&](std::size_t i) { searcher.look_at(items[i], outcomes[i]); });

  SearchResult result;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    const bool doc = items[i].recorded != nullptr;
    result.stats.docs += doc;
    result.stats.candidates += doc && outcome.read;
    result.stats.stale += doc && outcome.stale;
    result.stats.extra_read += !doc && outcome.read;
    result.stats.bytes_searched += outcome.bytes;
    result.stats.matched_lines += outcome.matches.matched_lines;
    result.stats.matches += outcome.matches.matches;
    if (outcome.matched) result.files.push_back({std::string(items[i].path), std::move(outcomes[i].matches)});
  }
  std::sort(result.files.begin(), result.files.end(),
            [](const FileResult& a, const FileResult& b) { return path_order(a.path, b.path); });
  return result;
}

}  // namespace vorpaline_core::grep
