#include "walker.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "file_reading.hpp"

namespace vorpaline_core::scan {

namespace {

constexpr unsigned kMaxThreads = 64;
constexpr std::size_t kArenaBlock = 64 * 1024;

// Paths of the files found, packed into large blocks: a string object per
// file would cost more than the path itself.
class PathArena {
 public:
  const char* store(std::string_view path) {
    if (path.size() > left_) {
      const std::size_t size = std::max(kArenaBlock, path.size());
      blocks_.push_back(std::make_unique<char[]>(size));
      cursor_ = blocks_.back().get();
      left_ = size;
    }
    char* stored = cursor_;
    std::memcpy(stored, path.data(), path.size());
    cursor_ += path.size();
    left_ -= path.size();
    return stored;
  }

  void move_blocks_to(std::vector<std::unique_ptr<char[]>>* blocks) {
    for (auto& block : blocks_) blocks->push_back(std::move(block));
    blocks_.clear();
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
};

// Whether this process may read a file, from its mode bits alone: asking the
// kernel would cost a system call per file.
class Reader {
 public:
  Reader() : uid_(::geteuid()), gid_(::getegid()) {
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
      groups_.resize(static_cast<std::size_t>(count));
      groups_.resize(static_cast<std::size_t>(std::max(0, ::getgroups(count, groups_.data()))));
    }
  }

  bool may_read(const struct stat& status) const {
    if (uid_ == 0) return true;
    if (status.st_uid == uid_) return status.st_mode & S_IRUSR;
    if (in_group(status.st_gid)) return status.st_mode & S_IRGRP;
    return status.st_mode & S_IROTH;
  }

 private:
  bool in_group(gid_t gid) const {
    return gid == gid_ || std::find(groups_.begin(), groups_.end(), gid) != groups_.end();
  }

  uid_t uid_;
  gid_t gid_;
  std::vector<gid_t> groups_;
};

std::atomic<bool> openat2_missing{false};

// Opens a folder below the root without following a symbolic link anywhere
// on the way, so that a folder swapped for a link mid-walk cannot lead
// outside the tree. Kernels before 5.6 lack openat2: there only the last
// component is guarded.
int open_folder(int root_fd, const char* relative) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
  if (!openat2_missing.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, root_fd, relative, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  return ::openat(root_fd, relative, flags);
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

struct Listing {
  struct Entry {
    std::uint32_t name_offset;
    std::uint32_t name_length;
    unsigned char type;
  };
  std::string names;
  std::vector<Entry> entries;
  bool has_gitignore = false;
  bool has_vorpalineignore = false;

  std::string_view name(const Entry& entry) const {
    return std::string_view(names).substr(entry.name_offset, entry.name_length);
  }
  const char* c_name(const Entry& entry) const { return names.c_str() + entry.name_offset; }
};

// One thread's findings.
struct Harvest {
  PathArena arena;
  std::vector<FoundFile> files;
  std::vector<SkippedPath> skipped;
};

struct Folder {
  std::string path;  // as patterns see it: the root's prefix, then "" or "a/b/"
  SharedFolderRules rules;
};

class Walk {
 public:
  explicit Walk(const ScanPlan& plan) : plan_(plan) {}

  WalkResult run(unsigned threads);

 private:
  void work(Harvest& harvest);
  bool next(Folder* folder);
  void finish(std::vector<Folder>& found);
  void visit(const Folder& folder, Harvest& harvest, std::vector<Folder>& found);
  bool list(DIR* directory, Listing* listing) const;
  void skip(Harvest& harvest, std::string_view path, std::string reason) const {
    harvest.skipped.push_back({std::string(path.substr(plan_.prefix.size())), std::move(reason)});
  }

  const ScanPlan& plan_;
  const Reader reader_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Folder> pending_;
  std::size_t busy_ = 0;
  bool stopped_ = false;
  std::exception_ptr failure_;
};

bool Walk::next(Folder* folder) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [&] { return stopped_ || !pending_.empty() || busy_ == 0; });
  if (stopped_ || pending_.empty()) return false;
  *folder = std::move(pending_.back());
  pending_.pop_back();
  ++busy_;
  return true;
}

void Walk::finish(std::vector<Folder>& found) {
  std::lock_guard lock(mutex_);
  for (Folder& folder : found) pending_.push_back(std::move(folder));
  --busy_;
  if (!found.empty() || busy_ == 0) wake_.notify_all();
}

void Walk::work(Harvest& harvest) {
  try {
    Folder folder;
    std::vector<Folder> found;
    while (next(&folder)) {
      found.clear();
      visit(folder, harvest, found);
      finish(found);
    }
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    stopped_ = true;
    wake_.notify_all();
  }
}

bool Walk::list(DIR* directory, Listing* listing) const {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) return errno == 0;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const bool may_be_file = entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN;
    if (name == kGitignoreName && may_be_file) listing->has_gitignore = true;
    if (name == kVorpalineignoreName && may_be_file) listing->has_vorpalineignore = true;
    listing->entries.push_back({static_cast<std::uint32_t>(listing->names.size()),
                                static_cast<std::uint32_t>(name.size()), entry->d_type});
    listing->names += name;
    listing->names += '\0';  // each name stays a C string for the *at calls
  }
}

void Walk::visit(const Folder& folder, Harvest& harvest, std::vector<Folder>& found) {
  const char* relative = folder.path.c_str() + plan_.prefix.size();
  const int fd = open_folder(plan_.root_fd, *relative == '\0' ? "." : relative);
  const std::string_view shown_folder = std::string_view(folder.path).substr(0, folder.path.size() - 1);
  if (fd < 0) {
    skip(harvest, shown_folder, reason_for(errno));
    return;
  }
  const std::unique_ptr<DIR, DirectoryCloser> directory(::fdopendir(fd));
  if (directory == nullptr) {
    const int error = errno;
    ::close(fd);
    skip(harvest, shown_folder, reason_for(error));
    return;
  }
  Listing listing;
  if (!list(directory.get(), &listing)) skip(harvest, shown_folder, "listing failed: " + reason_for(errno));

  const SharedFolderRules rules =
      folder_rules(fd, folder.path, std::string(relative), folder.rules, plan_,
                   listing.has_gitignore, listing.has_vorpalineignore, &harvest.skipped);
  std::string path = folder.path;
  const std::size_t name_start = path.size();
  for (const Listing::Entry& entry : listing.entries) {
    const std::string_view name = listing.name(entry);
    if (name == ".git") continue;  // a repository's own store is never part of its files
    struct stat status {};
    bool have_status = false;
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      if (::fstatat(fd, listing.c_name(entry), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        skip(harvest, folder.path + std::string(name), reason_for(errno));
        continue;
      }
      have_status = true;
      type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_LNK;
    }
    if (type != DT_DIR && type != DT_REG) continue;
    const bool is_directory = type == DT_DIR;
    path.resize(name_start);
    path += name;
    if (!simdjson::validate_utf8(name.data(), name.size())) {
      skip(harvest, path, "name is not valid UTF-8");
      continue;
    }
    if (decide(rules.get(), plan_.root_rules, path, name_start, is_directory).ignored()) continue;
    if (is_directory) {
      found.push_back({path + '/', rules});
      continue;
    }
    if (!have_status && ::fstatat(fd, listing.c_name(entry), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      skip(harvest, path, reason_for(errno));
      continue;
    }
    if (!S_ISREG(status.st_mode)) continue;  // replaced by something else mid-walk
    if (!reader_.may_read(status)) {
      skip(harvest, path, "permission denied");
      continue;
    }
    const std::string_view listed = std::string_view(path).substr(plan_.prefix.size());
    harvest.files.push_back({harvest.arena.store(listed), static_cast<std::uint32_t>(listed.size()),
                             static_cast<std::int64_t>(status.st_size),
                             static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                                 status.st_mtim.tv_nsec});
  }
}

WalkResult Walk::run(unsigned threads) {
  pending_.push_back({plan_.prefix, plan_.above_root});
  std::vector<Harvest> harvests(threads);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back([this, &harvests, i] { work(harvests[i]); });
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
  work(harvests[0]);
  for (std::thread& helper : helpers) helper.join();
  if (failure_) std::rethrow_exception(failure_);

  WalkResult result;
  std::size_t files = 0;
  std::size_t skipped = plan_.problems.size();
  for (const Harvest& harvest : harvests) {
    files += harvest.files.size();
    skipped += harvest.skipped.size();
  }
  result.files.reserve(files);
  result.skipped.reserve(skipped);
  result.skipped.insert(result.skipped.end(), plan_.problems.begin(), plan_.problems.end());
  for (Harvest& harvest : harvests) {
    result.files.insert(result.files.end(), harvest.files.begin(), harvest.files.end());
    std::vector<FoundFile>().swap(harvest.files);
    std::move(harvest.skipped.begin(), harvest.skipped.end(), std::back_inserter(result.skipped));
    harvest.arena.move_blocks_to(&result.arenas);
  }
  std::sort(result.files.begin(), result.files.end(),
            [](const FoundFile& a, const FoundFile& b) { return a.view() < b.view(); });
  // An unreadable ignore file is also an unreadable file: it is reported once,
  // with the reason that tells more.
  std::sort(result.skipped.begin(), result.skipped.end(), [](const SkippedPath& a, const SkippedPath& b) {
    return a.path != b.path ? a.path < b.path : a.reason < b.reason;
  });
  result.skipped.erase(std::unique(result.skipped.begin(), result.skipped.end(),
                                   [](const SkippedPath& a, const SkippedPath& b) { return a.path == b.path; }),
                       result.skipped.end());
  return result;
}

}  // namespace

unsigned default_walk_threads() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  const int count = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
  const unsigned cores = count > 0 ? static_cast<unsigned>(count) : std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, kMaxThreads);
}

WalkResult walk(const ScanPlan& plan, unsigned threads) {
  return Walk(plan).run(std::clamp(threads, 1u, kMaxThreads));
}

}  // namespace vorpaline_core::scan
