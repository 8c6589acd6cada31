#include "symbols/language_registry.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "input_error.hpp"

namespace vorpaline_core::symbols {

namespace {

constexpr const char* kQueryErrors[] = {"no error", "syntax error", "unknown node type", "unknown field",
                                        "unknown capture", "impossible pattern", "language error"};

std::string lower_case(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lowered;
}

void check_abi(const std::string& name, const TSLanguage* grammar) {
  const std::uint32_t abi = ts_language_abi_version(grammar);
  if (abi < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION || abi > TREE_SITTER_LANGUAGE_VERSION) {
    throw InputError("the " + name + " grammar has ABI version " + std::to_string(abi) + "; this tree-sitter reads " +
                     std::to_string(TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION) + " to " +
                     std::to_string(TREE_SITTER_LANGUAGE_VERSION));
  }
}

QueryHandle compile_query(const std::string& name, const TSLanguage* grammar, std::string_view source) {
  std::uint32_t offset = 0;
  TSQueryError error = TSQueryErrorNone;
  QueryHandle query(
      ts_query_new(grammar, source.data(), static_cast<std::uint32_t>(source.size()), &offset, &error));
  if (query == nullptr) {
    const auto which = static_cast<std::size_t>(error);
    throw InputError("the " + name + " tags query does not compile: " +
                     (which < std::size(kQueryErrors) ? kQueryErrors[which] : "error") + " at byte " +
                     std::to_string(offset));
  }
  return query;
}

CaptureRole capture_role(std::string_view capture) {
  if (capture == "name") return {CaptureRole::Role::name, ""};
  for (const auto& [prefix, role] : {std::pair{std::string_view("definition."), CaptureRole::Role::definition},
                                     std::pair{std::string_view("reference."), CaptureRole::Role::reference}}) {
    if (capture.starts_with(prefix) && capture.size() > prefix.size()) {
      return {role, std::string(capture.substr(prefix.size()))};
    }
  }
  return {};
}

std::vector<CaptureRole> capture_roles(const TSQuery* query) {
  std::vector<CaptureRole> roles;
  for (std::uint32_t id = 0; id < ts_query_capture_count(query); ++id) {
    std::uint32_t length = 0;
    const char* capture = ts_query_capture_name_for_id(query, id, &length);
    roles.push_back(capture_role(std::string_view(capture, length)));
  }
  return roles;
}

std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class Registry {
 public:
  void add(std::unique_ptr<const Language> language) {
    const std::unique_lock lock(mutex_);
    const Language* entry = language.get();
    if (const auto old = by_name_.find(entry->name); old != by_name_.end()) forget_names_of(old->second);
    by_name_[entry->name] = entry;
    for (const std::string& extension : entry->extensions) by_file_name_[extension] = entry;
    all_.push_back(std::move(language));  // kept: earlier lookups may still hold it
  }

  const Language* for_path(std::string_view path) const {
    const std::string_view name = file_name(path);
    const std::shared_lock lock(mutex_);
    // A name that starts with a dot is never an exact name: those keys are suffixes.
    if (!name.starts_with('.')) {
      if (const auto exact = by_file_name_.find(std::string(name)); exact != by_file_name_.end()) return exact->second;
    }
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return nullptr;
    const auto suffix = by_file_name_.find(lower_case(name.substr(dot)));
    return suffix == by_file_name_.end() ? nullptr : suffix->second;
  }

  const Language* named(std::string_view name) const {
    const std::shared_lock lock(mutex_);
    const auto found = by_name_.find(std::string(name));
    return found == by_name_.end() ? nullptr : found->second;
  }

 private:
  void forget_names_of(const Language* language) {
    std::erase_if(by_file_name_, [&](const auto& entry) { return entry.second == language; });
  }

  mutable std::shared_mutex mutex_;
  std::vector<std::unique_ptr<const Language>> all_;
  std::unordered_map<std::string, const Language*> by_name_;
  // Suffixes (".py", lower-cased) and exact file names share one table: a suffix starts with a dot.
  std::unordered_map<std::string, const Language*> by_file_name_;
};

Registry& registry() {
  static Registry languages;
  return languages;
}

std::vector<std::string> file_name_keys(const std::vector<std::string>& extensions) {
  std::vector<std::string> keys;
  for (const std::string& extension : extensions) {
    if (extension.empty() || extension == ".") throw InputError("a language's extension must not be empty");
    keys.push_back(extension[0] == '.' ? lower_case(extension) : extension);
  }
  return keys;
}

}  // namespace

void register_language(const std::string& name, const TSLanguage* grammar, std::string_view tags_query,
                       const std::vector<std::string>& extensions) {
  if (grammar == nullptr) throw InputError("the " + name + " grammar is null");
  check_abi(name, grammar);
  auto language = std::make_unique<Language>();
  language->name = name;
  language->grammar = grammar;
  language->query = compile_query(name, grammar, tags_query);
  language->captures = capture_roles(language->query.get());
  language->predicates = QueryPredicates(language->query.get());
  language->extensions = file_name_keys(extensions);
  registry().add(std::move(language));
}

const Language* language_for_path(std::string_view path) { return registry().for_path(path); }

const Language* language_named(std::string_view name) { return registry().named(name); }

}  // namespace vorpaline_core::symbols
