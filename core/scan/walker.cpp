#include "walker.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include <algorithm>
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

// The names of the files and folders found, packed into large blocks: a
// string object per file would cost more than its name.
class NameArena {
 public:
  const char* store(std::string_view text) {
    if (text.empty()) return "";
    char* stored = reserve(text.size());
    std::memcpy(stored, text.data(), text.size());
    commit(text.size());
    return stored;
  }

  // Room for `size` bytes in one piece; commit() says how many were used.
  char* reserve(std::size_t size) {
    if (size > left_) {
      const std::size_t block = std::max(kArenaBlock, size);
      blocks_.push_back(std::make_unique<char[]>(block));
      cursor_ = blocks_.back().get();
      left_ = block;
    }
    return cursor_;
  }
  void commit(std::size_t used) {
    cursor_ += used;
    left_ -= used;
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

// Most names are ASCII, and short: a loop beats the call into the validator.
bool is_ascii(std::string_view name) {
  unsigned char seen = 0;
  for (const char byte : name) seen |= static_cast<unsigned char>(byte);
  return seen < 0x80;
}

// An open folder, closed when the last of its subfolders has been opened
// from it. The walk takes pending folders last in, first out, so the open
// ones are about as many as the tree is deep.
struct OpenFolder {
  explicit OpenFolder(int descriptor) : fd(descriptor) {}
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  ~OpenFolder() { ::close(fd); }
  const int fd;
};

// Each folder is opened by its name from its parent's descriptor, never
// following a symbolic link, so that a folder swapped for a link mid-walk
// cannot lead outside the tree, and the kernel never walks a long path again.
int open_folder(int parent_fd, const char* name) {
  return ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// A folder's entries, read with getdents64 straight into a buffer kept per
// thread (readdir would add two system calls per folder).
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

  void clear() {
    names.clear();
    entries.clear();
    has_gitignore = has_vorpalineignore = false;
  }
  std::string_view name(const Entry& entry) const {
    return std::string_view(names).substr(entry.name_offset, entry.name_length);
  }
  const char* c_name(const Entry& entry) const { return names.c_str() + entry.name_offset; }
};

constexpr std::size_t kListingBuffer = 32 * 1024;

// One thread's findings, and the buffers it reuses from folder to folder.
struct Harvest {
  std::uint16_t run_index = 0;
  NameArena arena;
  FileRun run;
  std::vector<SkippedPath> skipped;
  std::vector<FolderStamp> folder_stamps;
  std::vector<SourceStamp> source_stamps;
  Listing listing;
  std::unique_ptr<std::uint64_t[]> entries_buffer = std::make_unique<std::uint64_t[]>(kListingBuffer / 8);
};

struct Folder {
  std::string path;  // as patterns see it: the root's prefix, then "" or "a/b/"
  SharedFolderRules rules;
  std::shared_ptr<const OpenFolder> parent;  // none for the root
  std::uint16_t parent_run = 0;               // where the parent's record is
  std::uint32_t parent_record = kNoFolder;
};

class Walk {
 public:
  explicit Walk(const ScanPlan& plan) : plan_(plan) {}

  WalkResult run(unsigned threads);

 private:
  void work(Harvest& harvest);
  bool next(Folder* folder);
  void finish(std::vector<Folder>& found);
  void visit(Folder& folder, Harvest& harvest, std::vector<Folder>& found);
  static bool list(int fd, Harvest& harvest);
  static void stamp_folder(int fd, std::string path, Harvest& harvest);
  // `path` as patterns see it; the root itself (the prefix without its '/') is ".".
  void skip(Harvest& harvest, std::string_view path, std::string reason) const {
    const std::string_view shown = path.size() > plan_.prefix.size() ? path.substr(plan_.prefix.size()) : ".";
    // Being let in changes no folder's time: what could not be read keeps the stamps from ever holding.
    if (plan_.stamps && reason.find("permission denied") != std::string::npos) {
      harvest.folder_stamps.push_back({std::string(shown), kNeverHolds});
    }
    harvest.skipped.push_back({std::string(shown), std::move(reason)});
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
    // The reply is written while these are kept: no room to spare in them.
    harvest.run.files.shrink_to_fit();
    harvest.run.folders.shrink_to_fit();
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    stopped_ = true;
    wake_.notify_all();
  }
}

bool Walk::list(int fd, Harvest& harvest) {
  Listing& listing = harvest.listing;
  listing.clear();
  char* const buffer = reinterpret_cast<char*>(harvest.entries_buffer.get());
  for (;;) {
    const ssize_t filled = ::getdents64(fd, buffer, kListingBuffer);
    if (filled <= 0) return filled == 0;
    for (ssize_t at = 0; at < filled;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      const bool may_be_file = entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN;
      if (name == kGitignoreName && may_be_file) listing.has_gitignore = true;
      if (name == kVorpalineignoreName && may_be_file) listing.has_vorpalineignore = true;
      listing.entries.push_back({static_cast<std::uint32_t>(listing.names.size()),
                                 static_cast<std::uint32_t>(name.size()), entry->d_type});
      listing.names += name;
      listing.names += '\0';  // each name stays a C string for the *at calls
    }
  }
}

// Taken after the listing: an entry added meanwhile gives the folder a time
// within the racy window, which proves nothing.
void Walk::stamp_folder(int fd, std::string path, Harvest& harvest) {
  if (!path.empty()) path.pop_back();  // "a/b/" is shown as "a/b"
  struct stat status {};
  const std::int64_t mtime_ns = ::fstat(fd, &status) == 0 ? mtime_ns_of(status) : kNeverHolds;
  harvest.folder_stamps.push_back({std::move(path), mtime_ns});
}

void Walk::visit(Folder& folder, Harvest& harvest, std::vector<Folder>& found) {
  const std::string_view shown_folder = std::string_view(folder.path).substr(0, folder.path.size() - 1);
  int fd;
  if (folder.parent == nullptr) {
    fd = open_folder(plan_.root_fd, ".");
  } else {
    const std::size_t name_start = shown_folder.rfind('/') + 1;  // 0 when there is no '/'
    fd = open_folder(folder.parent->fd, std::string(shown_folder.substr(name_start)).c_str());
    folder.parent.reset();  // the parent may close once its subfolders are open
  }
  if (fd < 0) {
    skip(harvest, shown_folder, reason_for(errno));
    return;
  }
  const auto open = std::make_shared<const OpenFolder>(fd);
  if (!list(fd, harvest)) skip(harvest, shown_folder, "listing failed: " + reason_for(errno));
  if (plan_.stamps) stamp_folder(fd, folder.path.substr(plan_.prefix.size()), harvest);
  const Listing& listing = harvest.listing;

  FileRun& run = harvest.run;
  const std::string_view own_name =
      folder.parent_record == kNoFolder ? std::string_view() : shown_folder.substr(shown_folder.rfind('/') + 1);
  const auto record = static_cast<std::uint32_t>(run.folders.size());
  const auto first_file = static_cast<std::uint32_t>(run.files.size());
  run.folders.push_back({nullptr, harvest.arena.store(own_name), first_file, 0, folder.parent_record,
                         folder.parent_run, static_cast<std::uint8_t>(own_name.size())});

  const char* relative = folder.path.c_str() + plan_.prefix.size();
  const SharedFolderRules rules =
      folder_rules(fd, folder.path, std::string(relative), folder.rules, plan_,
                   listing.has_gitignore, listing.has_vorpalineignore, &harvest.skipped,
                   plan_.stamps ? &harvest.source_stamps : nullptr);
  std::string path = folder.path;
  const std::size_t name_start = path.size();
  // The names of this folder's listed files, in one piece of the arena.
  unsigned char* names = nullptr;
  std::size_t names_used = 0;
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
    if (!is_ascii(name) && !simdjson::validate_utf8(name.data(), name.size())) {
      skip(harvest, path, "name is not valid UTF-8");
      continue;
    }
    if (decide(rules.get(), plan_.root_rules, path, name_start, is_directory).ignored()) continue;
    if (is_directory) {
      found.push_back({path + '/', rules, open, harvest.run_index, record});
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
    if (name.size() > UINT8_MAX) {  // more than any Linux file system allows
      skip(harvest, path, "name is too long");
      continue;
    }
    if (names == nullptr) {
      // A length byte and the name per file: never more than the listing's names with their NULs.
      names = reinterpret_cast<unsigned char*>(harvest.arena.reserve(listing.names.size()));
      run.folders[record].names = names;
    }
    names[names_used] = static_cast<unsigned char>(name.size());
    std::memcpy(names + names_used + 1, name.data(), name.size());
    run.files.push_back({static_cast<std::int64_t>(status.st_size),
                         static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
                         static_cast<std::uint32_t>(names_used)});
    names_used += 1 + name.size();
  }
  if (names != nullptr) harvest.arena.commit(names_used);
  ListedFolder& listed = run.folders[record];
  listed.file_count = static_cast<std::uint32_t>(run.files.size()) - first_file;
  std::sort(run.files.begin() + first_file, run.files.end(),
            [&listed](const FoundFile& a, const FoundFile& b) { return listed.file_name(a) < listed.file_name(b); });
}

// Compares a1 + a2 with b1 + b2 bytewise without joining them.
int compare_joined(std::string_view a1, std::string_view a2, std::string_view b1, std::string_view b2) {
  for (;;) {
    if (a1.empty()) std::swap(a1, a2);
    if (b1.empty()) std::swap(b1, b2);
    if (a1.empty() || b1.empty()) return b1.empty() ? !a1.empty() : -1;
    const std::size_t common = std::min(a1.size(), b1.size());
    if (const int order = std::memcmp(a1.data(), b1.data(), common); order != 0) return order;
    a1.remove_prefix(common);
    b1.remove_prefix(common);
  }
}

// Numbers the folders of all runs and gives each its subfolders in path order.
void link_folders(WalkResult* result) {
  std::vector<std::uint32_t> run_start;
  std::size_t count = 0;
  for (const FileRun& run : result->runs) {
    run_start.push_back(static_cast<std::uint32_t>(count));
    count += run.folders.size();
  }
  result->nodes.reserve(count);
  std::vector<std::uint32_t> parent_of;
  parent_of.reserve(count);
  for (const FileRun& run : result->runs) {
    for (const ListedFolder& folder : run.folders) {
      const std::uint32_t id = static_cast<std::uint32_t>(result->nodes.size());
      result->nodes.push_back({&folder, run.files.data() + folder.first_file});
      parent_of.push_back(folder.parent == kNoFolder ? kNoFolder : run_start[folder.parent_run] + folder.parent);
      if (folder.parent == kNoFolder) result->root = id;
    }
  }
  // Children grouped by parent: counts, then offsets, then the children.
  std::vector<std::uint32_t>& first = result->first_child;
  first.assign(count + 1, 0);
  for (const std::uint32_t parent : parent_of) {
    if (parent != kNoFolder) ++first[parent + 1];
  }
  for (std::size_t i = 0; i < count; ++i) first[i + 1] += first[i];
  result->children.resize(first[count]);
  std::vector<std::uint32_t> filled(first.begin(), first.end() - 1);
  for (std::uint32_t id = 0; id < count; ++id) {
    if (parent_of[id] != kNoFolder) result->children[filled[parent_of[id]]++] = id;
  }
  const auto& nodes = result->nodes;
  for (std::size_t parent = 0; parent < count; ++parent) {
    std::sort(result->children.begin() + first[parent], result->children.begin() + first[parent + 1],
              [&nodes](std::uint32_t a, std::uint32_t b) {
                return compare_joined(nodes[a].folder->own_name(), "/", nodes[b].folder->own_name(), "/") < 0;
              });
  }
}

WalkResult Walk::run(unsigned threads) {
  pending_.push_back({plan_.prefix, plan_.above_root, nullptr});
  std::vector<Harvest> harvests(threads);
  for (unsigned i = 0; i < threads; ++i) harvests[i].run_index = static_cast<std::uint16_t>(i);
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
  std::size_t skipped = plan_.problems.size();
  for (const Harvest& harvest : harvests) skipped += harvest.skipped.size();
  result.skipped.reserve(skipped);
  result.skipped.insert(result.skipped.end(), plan_.problems.begin(), plan_.problems.end());
  result.runs.reserve(harvests.size());
  for (Harvest& harvest : harvests) {
    result.runs.push_back(std::move(harvest.run));
    std::move(harvest.skipped.begin(), harvest.skipped.end(), std::back_inserter(result.skipped));
    harvest.arena.move_blocks_to(&result.arenas);
    std::move(harvest.folder_stamps.begin(), harvest.folder_stamps.end(),
              std::back_inserter(result.stamps.folders));
    std::move(harvest.source_stamps.begin(), harvest.source_stamps.end(),
              std::back_inserter(result.stamps.sources));
  }
  result.stamps.sources.insert(result.stamps.sources.end(), plan_.sources.begin(), plan_.sources.end());
  if (plan_.stamps) settle(&result.stamps);
  link_folders(&result);
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

bool file_before_folder(std::string_view file_name, std::string_view folder_name) {
  return compare_joined(file_name, {}, folder_name, "/") < 0;
}

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
