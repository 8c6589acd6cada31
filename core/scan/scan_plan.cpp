#include "scan_plan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "file_reading.hpp"
#include "input_error.hpp"

namespace vorpaline_core::scan {

namespace {

bool is_absent(int error) { return error == ENOENT || error == ENOTDIR; }

// Rules from a file of the whole tree; null when the file is absent or empty.
// Stamped into `sources`, when given, before it is read.
SharedRules tree_file_rules(const std::string& path, const std::string& source, const std::string& base,
                            std::vector<SkippedPath>* problems, std::vector<SourceStamp>* sources) {
  if (path.empty()) return nullptr;
  if (sources != nullptr) sources->push_back(stat_source(AT_FDCWD, path));
  std::string contents;
  const int error = read_file_at(AT_FDCWD, path.c_str(), true, &contents);
  if (error != 0) {
    if (!is_absent(error)) {
      problems->push_back({path, "cannot read ignore file: " + reason_for(error)});
      if (sources != nullptr) sources->back().mtime_ns = kNeverHolds;
    }
    return nullptr;
  }
  auto rules = std::make_shared<IgnoreRules>(source, base);
  rules->add_lines(contents);
  return rules->empty() ? nullptr : rules;
}

SharedRules listed_rules(const std::vector<std::string>& patterns, const char* source,
                         const std::string& base) {
  auto rules = std::make_shared<IgnoreRules>(source, base);
  std::uint32_t number = 0;
  for (const std::string& pattern : patterns) rules->add_line(pattern, ++number);
  return rules->empty() ? nullptr : rules;
}

// The file's rules, or null when it is absent, unreadable (reported) or empty.
SharedRules folder_file_rules(int folder_fd, const char* name, const std::string& folder,
                              const std::string& shown, std::vector<SkippedPath>* problems,
                              std::vector<SourceStamp>* sources) {
  std::string contents;
  struct stat status {};
  const int error = read_file_at(folder_fd, name, false, &contents, &status);
  if (sources != nullptr) {
    // What was read, as it was opened; or what stands there instead of an ignore file.
    sources->push_back(error == 0 ? source_stamp(shown + name, status) : stat_source(folder_fd, name));
    sources->back().path = shown + name;
  }
  if (error != 0) {
    // A symbolic link or a folder of that name is no ignore file, as for git.
    if (!is_absent(error) && error != ELOOP && error != EISDIR && error != EINVAL) {
      problems->push_back({shown + name, "cannot read ignore file: " + reason_for(error)});
      if (sources != nullptr) sources->back().mtime_ns = kNeverHolds;
    }
    return nullptr;
  }
  auto rules = std::make_shared<IgnoreRules>(shown + name, folder);
  rules->add_lines(contents);
  return rules->empty() ? nullptr : rules;
}

}  // namespace

ScanPlan::~ScanPlan() {
  if (root_fd >= 0) ::close(root_fd);
}

SharedFolderRules folder_rules(int folder_fd, const std::string& folder, const std::string& shown,
                               SharedFolderRules parent, const ScanPlan& plan, bool has_gitignore,
                               bool has_vorpalineignore, std::vector<SkippedPath>* problems,
                               std::vector<SourceStamp>* sources) {
  SharedRules gitignore;
  SharedRules vorpalineignore;
  if (plan.use_gitignore && has_gitignore) {
    gitignore = folder_file_rules(folder_fd, kGitignoreName, folder, shown, problems, sources);
  }
  if (plan.use_vorpalineignore && has_vorpalineignore) {
    vorpalineignore = folder_file_rules(folder_fd, kVorpalineignoreName, folder, shown, problems, sources);
  }
  if (!gitignore && !vorpalineignore) return parent;
  return std::make_shared<const FolderRules>(
      FolderRules{std::move(parent), std::move(vorpalineignore), std::move(gitignore)});
}

void make_scan_plan(const ScanConfig& config, const GitEnvironment& environment, ScanPlan* plan) {
  plan->root_fd = ::open(config.repo_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (plan->root_fd < 0) {
    const int error = errno;
    throw InputError("scan configuration: \"repo_root\" is not a readable directory: '" +
                     config.repo_root + "': " + std::strerror(error));
  }
  plan->use_gitignore = config.use_gitignore;
  plan->use_vorpalineignore = config.use_vorpalineignore;
  plan->stamps = config.stamps;

  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(config.repo_root.c_str(), nullptr),
                                                       &std::free);
  GitSetup git;
  if (resolved != nullptr) git = find_git_setup(resolved.get(), environment);
  plan->prefix = git.root_prefix;
  if (plan->stamps) {
    for (std::string& path : git.consulted) plan->sources.push_back(stat_source(AT_FDCWD, std::move(path)));
  }

  auto& files = plan->root_rules.files;
  if (config.use_gitignore) {
    std::vector<SourceStamp>* sources = plan->stamps ? &plan->sources : nullptr;
    if (auto rules = tree_file_rules(git.info_exclude, ".git/info/exclude", "", &plan->problems, sources)) {
      files.push_back(std::move(rules));
    }
    if (auto rules = tree_file_rules(git.excludes_file, git.excludes_file, "", &plan->problems, sources)) {
      files.push_back(std::move(rules));
    }
  }
  // Built-in and extra patterns are one file at the root, the extra ones last.
  if (auto rules = listed_rules(config.extra_patterns, "<extra>", plan->prefix)) {
    files.push_back(std::move(rules));
  }
  if (!config.replace_builtin_patterns) {
    if (auto rules = listed_rules(config.builtin_patterns, "<builtin>", plan->prefix)) {
      files.push_back(std::move(rules));
    }
  }

  // The folders from the worktree's top down to the root's parent.
  if (git.top.empty() || plan->prefix.empty()) return;
  std::size_t levels_up = 0;
  for (const char c : plan->prefix) levels_up += c == '/';
  std::string folder;
  std::size_t start = 0;
  for (; start < plan->prefix.size(); --levels_up) {
    const int folder_fd = ::open((git.top + "/" + folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd < 0) break;
    std::string shown;
    for (std::size_t level = 0; level < levels_up; ++level) shown += "../";
    plan->above_root = folder_rules(folder_fd, folder, shown, plan->above_root, *plan, true, true,
                                    &plan->problems, plan->stamps ? &plan->sources : nullptr);
    ::close(folder_fd);
    const std::size_t slash = plan->prefix.find('/', start);
    folder = plan->prefix.substr(0, slash + 1);
    start = slash + 1;
  }
}

}  // namespace vorpaline_core::scan
