// Where git would look for the ignore rules of a tree: the worktree the tree
// lies in, that repository's info/exclude, and the core.excludesFile its
// config files name.
//
// The config files are read as git reads them, later ones winning: the system
// file (GIT_CONFIG_SYSTEM, else /etc/gitconfig; none with GIT_CONFIG_NOSYSTEM),
// the global ones (GIT_CONFIG_GLOBAL alone when set, else
// $XDG_CONFIG_HOME/git/config or ~/.config/git/config, then ~/.gitconfig),
// then the repository's own config; `[include] path = ...` is followed, and
// so is `[includeIf "COND"]` when its "gitdir:", "gitdir/i:" or "onbranch:"
// condition holds ("hasconfig:" never does here). GIT_CONFIG_COUNT is not
// read. Without a setting the file is $XDG_CONFIG_HOME/git/ignore, else
// ~/.config/git/ignore.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorpaline_core::scan {

// The environment variables git reads, taken while the interpreter lock is
// held: os.environ may change them from another thread.
struct GitEnvironment {
  std::optional<std::string> home;
  std::optional<std::string> xdg_config_home;
  std::optional<std::string> config_global;
  std::optional<std::string> config_system;
  bool no_system = false;

  static GitEnvironment from_process();
};

struct GitSetup {
  std::string top;           // absolute path of the worktree's top, "" outside one
  std::string root_prefix;   // the scanned root relative to `top`: "" or "a/b/"
  std::string info_exclude;  // "" when there is none
  std::string excludes_file; // "" when there is none
  // Every file whose contents (or absence) decided the above, and the index.
  std::vector<std::string> consulted;
};

// `root` is an absolute path with symbolic links resolved.
GitSetup find_git_setup(const std::string& root, const GitEnvironment& environment);

}  // namespace vorpaline_core::scan
