// The languages whose files have their symbols found: each a tree-sitter
// grammar with its tags query, compiled once when it is registered, and the
// file names it claims. Registration comes from Python before any build;
// lookups come from the build threads. A Language handed out stays valid and
// unchanged for the life of the process, even when its name is registered
// again (the newer registration then answers later lookups).
#pragma once

#include <tree_sitter/api.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "symbols/query_predicates.hpp"
#include "symbols/ts_handles.hpp"

namespace vorpaline_core::symbols {

// What a capture of the tags query stands for: @name, @definition.KIND,
// @reference.KIND, or anything else (@doc, @local.scope...), which is ignored.
struct CaptureRole {
  enum class Role { other, name, definition, reference };
  Role role = Role::other;
  std::string kind;  // after the dot of a definition or reference
};

struct Language {
  std::string name;
  const TSLanguage* grammar = nullptr;  // owned by the grammar's module, loaded for the process's life
  QueryHandle query;
  std::vector<CaptureRole> captures;  // by capture id
  QueryPredicates predicates;
  // ".py"-style suffixes, lower-case, and exact file names such as "Rakefile".
  std::vector<std::string> extensions;
};

// Compiles the tags query against the grammar and registers the language
// under `name`. Throws InputError when the grammar's ABI is not one this
// runtime reads, or the query does not compile (with the byte offset of the
// fault), or one of its text predicates is malformed.
void register_language(const std::string& name, const TSLanguage* grammar, std::string_view tags_query,
                       const std::vector<std::string>& extensions);

// The language of a path by its file name: an exact name first, then the
// suffix from its last dot, compared lower-cased. Null when none claims it.
const Language* language_for_path(std::string_view path);

// The language registered under a name, or null.
const Language* language_named(std::string_view name);

}  // namespace vorpaline_core::symbols
