#include "stamps.hpp"

#include <fcntl.h>
#include <time.h>

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "input_error.hpp"
#include "padded_json.hpp"
#include "unique_fd.hpp"

namespace vorpaline_core::scan {

std::int64_t mtime_ns_of(const struct stat& status) {
  return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
}

std::int64_t realtime_now_ns() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

SourceStamp source_stamp(std::string path, const struct stat& status) {
  return {std::move(path), static_cast<std::int64_t>(status.st_size), mtime_ns_of(status),
          static_cast<std::uint64_t>(status.st_ino)};
}

SourceStamp stat_source(int directory_fd, std::string path) {
  struct stat status {};
  if (::fstatat(directory_fd, path.c_str(), &status, 0) != 0) return {std::move(path)};
  return source_stamp(std::move(path), status);
}

void settle(ListingStamps* stamps) {
  std::sort(stamps->folders.begin(), stamps->folders.end(),
            [](const FolderStamp& a, const FolderStamp& b) { return a.path < b.path; });
  auto& sources = stamps->sources;
  std::stable_sort(sources.begin(), sources.end(),
                   [](const SourceStamp& a, const SourceStamp& b) { return a.path < b.path; });
  sources.erase(std::unique(sources.begin(), sources.end(),
                            [](const SourceStamp& a, const SourceStamp& b) { return a.path == b.path; }),
                sources.end());
}

namespace {

using simdjson::dom::element;

// A stamp to check, pointing into the parsed document.
struct Check {
  const char* path;  // NUL-terminated: simdjson's strings are
  std::int64_t size;  // kFolder for a folder
  std::int64_t mtime_ns;
  std::uint64_t inode;
};

constexpr std::int64_t kFolder = -2;
constexpr std::size_t kChecksPerThread = 1024;

[[noreturn]] void malformed(const char* what) {
  throw InputError(std::string("listing_unchanged() stamps_json: ") + what);
}

std::int64_t integer(element value, const char* what) {
  std::int64_t number = 0;
  if (value.get_int64().get(number) != simdjson::SUCCESS) malformed(what);
  return number;
}

// The fields of one [path, numbers...] item.
void read_item(element item, std::size_t numbers, const char* what, const char** path, std::int64_t* out) {
  simdjson::dom::array fields;
  if (item.get_array().get(fields) != simdjson::SUCCESS || fields.size() != numbers + 1) malformed(what);
  std::string_view text;
  if (fields.at(0).get_string().get(text) != simdjson::SUCCESS) malformed(what);
  if (text.find('\0') != std::string_view::npos) malformed("a path holds a NUL character");
  *path = text.data();
  for (std::size_t i = 0; i < numbers; ++i) out[i] = integer(fields.at(i + 1), what);
}

simdjson::dom::array array_member(simdjson::dom::object stamps, const char* key, const char* what) {
  simdjson::dom::array list;
  if (stamps[key].get_array().get(list) != simdjson::SUCCESS) malformed(what);
  return list;
}

// The checks, or false when some stamp is racy and nothing need be looked at.
bool read_checks(simdjson::dom::object stamps, std::vector<Check>* checks) {
  element at;
  if (stamps["at_ns"].get(at) != simdjson::SUCCESS) malformed("\"at_ns\" is missing");
  const std::int64_t at_ns = integer(at, "\"at_ns\" must be an integer");
  // Near the least time there is, every stamp is racy.
  const std::int64_t racy_from = at_ns < INT64_MIN + kRacyWindowNs ? INT64_MIN : at_ns - kRacyWindowNs;
  bool provable = true;
  for (const element item : array_member(stamps, "folders", "\"folders\" must be an array")) {
    Check check{nullptr, kFolder, 0, 0};
    read_item(item, 1, "a folder must be [path, mtime_ns]", &check.path, &check.mtime_ns);
    provable = provable && check.mtime_ns < racy_from;
    checks->push_back(check);
  }
  for (const element item : array_member(stamps, "sources", "\"sources\" must be an array")) {
    std::int64_t numbers[3];
    Check check{};
    read_item(item, 3, "a source must be [path, size, mtime_ns, inode]", &check.path, numbers);
    check = {check.path, numbers[0], numbers[1], static_cast<std::uint64_t>(numbers[2])};
    provable = provable && (check.size == kAbsentSize || check.mtime_ns < racy_from);
    checks->push_back(check);
  }
  return provable;
}

bool holds(int root_fd, const Check& check) {
  struct stat status {};
  if (check.size == kFolder) {
    const char* path = check.path[0] == '\0' ? "." : check.path;
    return ::fstatat(root_fd, path, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode) &&
           mtime_ns_of(status) == check.mtime_ns;
  }
  if (::fstatat(root_fd, check.path, &status, 0) != 0) return check.size == kAbsentSize;
  return check.size != kAbsentSize &&
         static_cast<std::int64_t>(status.st_size) == check.size && mtime_ns_of(status) == check.mtime_ns &&
         static_cast<std::uint64_t>(status.st_ino) == check.inode;
}

// Checks in slices taken by several threads; the first stamp that fails stops them all.
bool all_hold(int root_fd, const std::vector<Check>& checks, unsigned threads) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  const auto work = [&] {
    for (;;) {
      const std::size_t begin = next.fetch_add(kChecksPerThread);
      if (begin >= checks.size() || failed.load(std::memory_order_relaxed)) return;
      const std::size_t end = std::min(checks.size(), begin + kChecksPerThread);
      for (std::size_t i = begin; i < end; ++i) {
        if (!holds(root_fd, checks[i])) {
          failed = true;
          return;
        }
      }
    }
  };
  const std::size_t wanted = std::min<std::size_t>(threads, (checks.size() + kChecksPerThread - 1) / kChecksPerThread);
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < wanted; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads, same answer
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  return !failed;
}

}  // namespace

bool listing_unchanged(const std::string& root, std::string_view stamps_json, unsigned threads) {
  const PaddedCopy padded(stamps_json);
  simdjson::dom::parser parser;
  element document;
  const simdjson::error_code error = parser.parse(padded).get(document);
  throw_if_out_of_memory(error);
  if (error != simdjson::SUCCESS) malformed(simdjson::error_message(error));
  simdjson::dom::object stamps;
  if (document.get_object().get(stamps) != simdjson::SUCCESS) malformed("must be a JSON object");
  std::vector<Check> checks;
  if (!read_checks(stamps, &checks)) return false;
  const UniqueFd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root_fd.get() < 0) return false;  // the root is gone: nothing of the list stands
  return all_hold(root_fd.get(), checks, std::max(1u, threads));
}

}  // namespace vorpaline_core::scan
