#include "git_setup.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "file_reading.hpp"
#include "wildmatch.hpp"

namespace vorpaline_core::scan {

namespace {

constexpr int kIncludeDepthLimit = 10;  // git's own limit on nested includes

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joined(const std::string& directory, const std::string& path) {
  if (path.starts_with('/')) return path;
  return directory.ends_with('/') ? directory + path : directory + "/" + path;
}

bool is_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// `~/` and a lone `~` stand for the home folder; other paths are relative to `base`.
std::string expanded_path(const std::string& value, const std::string& base,
                          const GitEnvironment& environment) {
  if ((value == "~" || value.starts_with("~/")) && environment.home) {
    return *environment.home + value.substr(1);
  }
  return joined(base, value);
}

std::string real_path(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

// What conditional includes are decided on: the repository's git directory
// and the branch checked out, when there is a repository.
struct Repository {
  std::optional<std::string> git_dir;  // with symbolic links resolved
  std::optional<std::string> branch;   // "main" for refs/heads/main; none when HEAD is detached
};

// Reads git config files for the settings the scan needs: the last
// core.excludesFile, and includes followed where they stand, conditional ones
// ("gitdir:", "gitdir/i:", "onbranch:") when their condition holds.
class ConfigReader {
 public:
  ConfigReader(const GitEnvironment& environment, const Repository& repository,
               std::vector<std::string>* consulted)
      : environment_(environment), repository_(repository), consulted_(consulted) {}

  void read_file(const std::string& path, const std::string& relative_base, int depth = 0);
  const std::optional<std::string>& excludes_file() const { return excludes_file_; }

 private:
  void read_text(std::string_view text, const std::string& path, const std::string& relative_base,
                 int depth);
  bool condition_holds(std::string_view condition, const std::string& config_path) const;
  bool git_dir_matches(std::string_view pattern_text, bool fold_case, const std::string& config_path) const;

  const GitEnvironment& environment_;
  const Repository& repository_;
  std::vector<std::string>* consulted_;
  std::optional<std::string> excludes_file_;
};

bool ConfigReader::condition_holds(std::string_view condition, const std::string& config_path) const {
  if (condition.starts_with("gitdir:")) return git_dir_matches(condition.substr(7), false, config_path);
  if (condition.starts_with("gitdir/i:")) return git_dir_matches(condition.substr(9), true, config_path);
  if (condition.starts_with("onbranch:")) {
    if (!repository_.branch) return false;
    std::string pattern(condition.substr(9));
    if (pattern.ends_with('/')) pattern += "**";
    return wildmatch(pattern, *repository_.branch, GlobMode::path);
  }
  return false;  // "hasconfig:" and conditions of later gits hold for none
}

// As git-config(1) puts it: `~/` is the home folder, `./` the folder of the
// config file, a relative pattern may start at any depth, and a trailing `/`
// takes in everything below.
bool ConfigReader::git_dir_matches(std::string_view pattern_text, bool fold_case,
                                   const std::string& config_path) const {
  if (!repository_.git_dir) return false;
  std::string pattern(pattern_text);
  if (pattern.starts_with("~/") && environment_.home) {
    pattern = *environment_.home + pattern.substr(1);
  } else if (pattern.starts_with("./")) {
    pattern = parent_of(real_path(config_path)) + pattern.substr(1);
  }
  if (!pattern.starts_with('/')) pattern.insert(0, "**/");
  if (pattern.ends_with('/')) pattern += "**";
  std::string text = *repository_.git_dir;
  if (fold_case) {  // git folds ASCII letters only
    pattern = lowercase(pattern);
    text = lowercase(text);
  }
  return wildmatch(pattern, text, GlobMode::path);
}

void ConfigReader::read_file(const std::string& path, const std::string& relative_base, int depth) {
  if (depth > kIncludeDepthLimit) return;
  consulted_->push_back(path);
  std::string text;
  if (read_file_at(AT_FDCWD, path.c_str(), true, &text) != 0) return;  // absent files are normal
  read_text(text, path, relative_base, depth);
}

// The value after `=`: quotes group, `\` escapes (and joins lines), `#` or `;`
// outside quotes starts a comment, and unquoted blanks at either end go.
std::string read_value(std::string_view text, std::size_t* at) {
  std::string value;
  std::size_t kept = 0;  // length without trailing unquoted blanks
  bool quoted = false;
  std::size_t i = *at;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' && !quoted) break;
    if (c == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      if (next == '\n') continue;
      value += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'b' ? '\b' : next;
      kept = value.size();
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (c == '#' || c == ';')) {
      while (i < text.size() && text[i] != '\n') ++i;
      break;
    }
    value += c;
    if (quoted || (c != ' ' && c != '\t' && c != '\r')) kept = value.size();
  }
  *at = i;
  value.resize(kept);
  return value;
}

void ConfigReader::read_text(std::string_view text, const std::string& path,
                             const std::string& relative_base, int depth) {
  std::string section;                   // lower case
  std::string subsection;                 // as written, from `[section "subsection"]`
  bool has_subsection = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#' || c == ';') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '[') {
      const std::size_t end = text.find(']', i);
      if (end == std::string_view::npos) return;  // git gives up on a broken file too
      std::string_view header = text.substr(i + 1, end - i - 1);
      const std::size_t quote = header.find('"');
      section = lowercase(header.substr(0, quote));
      while (!section.empty() && section.back() == ' ') section.pop_back();
      subsection.clear();
      has_subsection = quote != std::string_view::npos;
      if (has_subsection) {
        // `\` escapes the next character; the subsection ends at the closing quote
        for (std::size_t at = quote + 1; at < header.size() && header[at] != '"'; ++at) {
          if (header[at] == '\\' && at + 1 < header.size()) ++at;
          subsection += header[at];
        }
      }
      i = end + 1;
    } else {
      std::size_t end = i;
      while (end < text.size() &&
             (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
        ++end;
      }
      if (end == i) return;  // not a config file git would accept
      const std::string key = lowercase(text.substr(i, end - i));
      i = end;
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      std::optional<std::string> value;
      if (i < text.size() && text[i] == '=') {
        ++i;
        value = read_value(text, &i);
      }
      if (!value) continue;  // a bare key is a boolean: no path
      if (section == "core" && !has_subsection && key == "excludesfile") {
        excludes_file_ = expanded_path(*value, relative_base, environment_);
      } else if (key == "path" && ((section == "include" && !has_subsection) ||
                                   (section == "includeif" && has_subsection && condition_holds(subsection, path)))) {
        read_file(expanded_path(*value, parent_of(path), environment_), relative_base, depth + 1);
      }
    }
  }
}

std::optional<std::string> config_home(const GitEnvironment& environment) {
  if (environment.xdg_config_home && !environment.xdg_config_home->empty()) {
    return *environment.xdg_config_home;
  }
  if (environment.home) return *environment.home + "/.config";
  return std::nullopt;
}

// The git directory of a worktree top: `.git` itself, or where a `.git` file
// ("gitdir: PATH") points.
std::optional<std::string> git_directory(const std::string& top, std::vector<std::string>* consulted) {
  const std::string dot_git = joined(top, ".git");
  struct stat status {};
  if (::lstat(dot_git.c_str(), &status) != 0) return std::nullopt;
  if (S_ISDIR(status.st_mode)) return dot_git;
  if (!S_ISREG(status.st_mode)) return std::nullopt;
  consulted->push_back(dot_git);
  std::string text;
  if (read_file_at(AT_FDCWD, dot_git.c_str(), false, &text) != 0) return std::nullopt;
  constexpr std::string_view kPrefix = "gitdir: ";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  text.erase(0, kPrefix.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return joined(top, text);
}

// A linked worktree keeps info/ and config in the repository's common directory.
std::string common_directory(const std::string& git_dir, std::vector<std::string>* consulted) {
  consulted->push_back(joined(git_dir, "commondir"));
  std::string text;
  if (read_file_at(AT_FDCWD, joined(git_dir, "commondir").c_str(), true, &text) != 0) return git_dir;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? git_dir : joined(git_dir, text);
}

// The branch HEAD names ("ref: refs/heads/NAME"); none when it is detached.
std::optional<std::string> checked_out_branch(const std::string& git_dir, std::vector<std::string>* consulted) {
  consulted->push_back(joined(git_dir, "HEAD"));
  std::string text;
  if (read_file_at(AT_FDCWD, joined(git_dir, "HEAD").c_str(), true, &text) != 0) return std::nullopt;
  constexpr std::string_view kPrefix = "ref: refs/heads/";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  text.erase(0, kPrefix.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

GitEnvironment GitEnvironment::from_process() {
  GitEnvironment environment;
  environment.home = variable("HOME");
  environment.xdg_config_home = variable("XDG_CONFIG_HOME");
  environment.config_global = variable("GIT_CONFIG_GLOBAL");
  environment.config_system = variable("GIT_CONFIG_SYSTEM");
  const std::optional<std::string> no_system = variable("GIT_CONFIG_NOSYSTEM");
  if (no_system) {
    const std::string word = lowercase(*no_system);
    environment.no_system = !(word.empty() || word == "0" || word == "false" || word == "no" || word == "off");
  }
  return environment;
}

GitSetup find_git_setup(const std::string& root, const GitEnvironment& environment) {
  GitSetup setup;
  std::optional<std::string> git_dir;
  for (std::string directory = root;; directory = parent_of(directory)) {
    git_dir = git_directory(directory, &setup.consulted);
    if (git_dir) {
      setup.top = directory;
      break;
    }
    // A `.git` made here later would move the worktree's top.
    setup.consulted.push_back(joined(directory, ".git"));
    if (directory == "/") break;
  }
  if (git_dir) {
    const std::string& top = setup.top;
    if (root.size() > top.size()) setup.root_prefix = root.substr(top == "/" ? 1 : top.size() + 1) + "/";
  }

  // Relative paths in the config are taken from the worktree's top, where git runs.
  const std::string relative_base = setup.top.empty() ? root : setup.top;
  Repository repository;
  if (git_dir && is_directory(*git_dir)) {
    repository.git_dir = real_path(*git_dir);
    repository.branch = checked_out_branch(*git_dir, &setup.consulted);
  }
  ConfigReader reader(environment, repository, &setup.consulted);
  if (!environment.no_system) {
    reader.read_file(environment.config_system.value_or("/etc/gitconfig"), relative_base);
  }
  if (environment.config_global) {
    reader.read_file(*environment.config_global, relative_base);
  } else {
    if (const auto home = config_home(environment)) reader.read_file(*home + "/git/config", relative_base);
    if (environment.home) reader.read_file(*environment.home + "/.gitconfig", relative_base);
  }
  std::string common;
  if (git_dir && is_directory(*git_dir)) {
    common = common_directory(*git_dir, &setup.consulted);
    setup.consulted.push_back(joined(*git_dir, "index"));
    reader.read_file(joined(common, "config"), relative_base);
    setup.info_exclude = joined(common, "info/exclude");
  }
  if (reader.excludes_file()) {
    setup.excludes_file = *reader.excludes_file();
  } else if (const auto home = config_home(environment)) {
    setup.excludes_file = *home + "/git/ignore";
  }
  return setup;
}

}  // namespace vorpaline_core::scan
