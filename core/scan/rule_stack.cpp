#include "rule_stack.hpp"

namespace vorpaline_core::scan {

namespace {

Decision decide_in(const IgnoreRules* rules, std::string_view path, std::size_t name_start,
                   bool is_directory) {
  if (rules == nullptr) return {};
  return {rules->decide(path, name_start, is_directory), rules};
}

}  // namespace

Decision decide(const FolderRules* folder, const RootRules& root, std::string_view path,
                std::size_t name_start, bool is_directory) {
  for (const FolderRules* f = folder; f != nullptr; f = f->parent.get()) {
    const Decision decision = decide_in(f->vorpalineignore.get(), path, name_start, is_directory);
    if (decision.pattern != nullptr) return decision;
  }
  for (const FolderRules* f = folder; f != nullptr; f = f->parent.get()) {
    const Decision decision = decide_in(f->gitignore.get(), path, name_start, is_directory);
    if (decision.pattern != nullptr) return decision;
  }
  for (const SharedRules& rules : root.files) {
    const Decision decision = decide_in(rules.get(), path, name_start, is_directory);
    if (decision.pattern != nullptr) return decision;
  }
  return {};
}

}  // namespace vorpaline_core::scan
