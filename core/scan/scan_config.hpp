// The scan configuration, read from the JSON text of the dict that
// vorpaline.skiprules.build_scan_config makes.
//
// Seven members are required: "repo_root" (string), "builtin_patterns" and
// "extra_patterns" (arrays of strings), "ignore_mode" (string; the two flags
// below already say what it means), "use_gitignore", "use_vorpalineignore" and
// "replace_builtin_patterns" (booleans). "stamps" (boolean, false when
// absent) asks for the listing's stamps (stamps.hpp). "known_files" (string)
// names an index's file table to reply against (known_files.hpp), and
// "known_need_grep" (boolean) counts its files without a recorded trigram
// document as changed. Other members are ignored. Anything
// else throws InputError naming the member.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::scan {

struct ScanConfig {
  std::string repo_root;
  std::vector<std::string> builtin_patterns;
  std::vector<std::string> extra_patterns;
  std::string ignore_mode;
  bool use_gitignore = true;
  bool use_vorpalineignore = true;
  bool replace_builtin_patterns = false;
  bool stamps = false;
  std::string known_files;  // empty: every file listed is in the reply
  bool known_need_grep = false;
};

ScanConfig parse_scan_config(std::string_view config_json);

}  // namespace vorpaline_core::scan
