#include "scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "input_error.hpp"
#include "json_text.hpp"
#include "scan_config.hpp"

namespace vorpaline_core::scan {

RepositoryScan::RepositoryScan(std::string_view config_json, const GitEnvironment& environment,
                               unsigned threads) {
  const ScanConfig config = parse_scan_config(config_json);
  // Before anything is read: whatever changes after this is either seen or racy.
  const std::int64_t at_ns = realtime_now_ns();
  ScanPlan plan;
  make_scan_plan(config, environment, &plan);
  result_ = walk(plan, threads);
  result_.stamps.at_ns = at_ns;
  root_ = config.repo_root;
  stamps_ = config.stamps;
  if (!config.known_files.empty()) {
    known_.emplace(config.known_files);
    changes_ = compare_listing(*known_, config.known_need_grep);
  }
}

ListingChanges RepositoryScan::compare_listing(const KnownFiles& known, bool need_grep) const {
  // Both lists are sorted bytewise: one merge pass.
  ListingChanges changes;
  std::uint64_t next = 0;
  std::string path;
  result_.for_each_file([&](std::string_view folder, std::string_view name, const FoundFile& file) {
    path.assign(folder).append(name);
    while (next < known.count() && known.path(next) < path) changes.removed.push_back(next++);
    bool changed = true;
    if (next < known.count() && known.path(next) == path) {
      const std::uint8_t flags = known.flags(next);
      changed = known.size(next) != file.size || known.mtime_ns(next) != file.mtime_ns ||
                (need_grep && (flags & kKnownHasGrep) == 0);
      if (!changed) ++((flags & kKnownNotIndexed) != 0 ? changes.unchanged_skipped : changes.unchanged);
      ++next;
    }
    changes.changed.push_back(changed);
  });
  while (next < known.count()) changes.removed.push_back(next++);
  return changes;
}

template <class Sink>
void RepositoryScan::put_reply(Sink& sink) const {
  sink.put("{\"root\":");
  put_string(sink, root_);
  sink.put(",\"files\":[");
  bool first = true;
  std::size_t listed = 0;
  result_.for_each_file([&](std::string_view folder, std::string_view name, const FoundFile& file) {
    if (known_ && !changes_.changed[listed++]) return;
    sink.put(first ? "{\"path\":" : ",{\"path\":");
    first = false;
    put_string(sink, folder, name);
    sink.put(",\"size\":");
    put_number(sink, file.size);
    sink.put(",\"mtime_ns\":");
    put_number(sink, file.mtime_ns);
    sink.put('}');
  });
  sink.put("],\"skipped\":[");
  first = true;
  for (const SkippedPath& skipped : result_.skipped) {
    sink.put(first ? "{\"path\":" : ",{\"path\":");
    first = false;
    put_string(sink, skipped.path);
    sink.put(",\"reason\":");
    put_string(sink, skipped.reason);
    sink.put('}');
  }
  sink.put(']');
  if (known_) {
    sink.put(",\"removed\":[");
    for (std::size_t i = 0; i < changes_.removed.size(); ++i) {
      if (i > 0) sink.put(',');
      put_string(sink, known_->path(changes_.removed[i]));
    }
    sink.put("],\"unchanged\":");
    put_number(sink, static_cast<std::int64_t>(changes_.unchanged));
    sink.put(",\"unchanged_skipped\":");
    put_number(sink, static_cast<std::int64_t>(changes_.unchanged_skipped));
  }
  if (stamps_) {
    sink.put(",\"stamps\":");
    put_stamps(sink, result_.stamps);
  }
  sink.put('}');
}

std::size_t RepositoryScan::reply_size() const {
  CountingSink counter;
  put_reply(counter);
  return counter.size;
}

void RepositoryScan::write_reply(char* out) const {
  MemorySink sink{out};
  put_reply(sink);
}

namespace {

struct Explanation {
  std::string path;
  bool ignored = false;
  Decision decision;
  std::string matched;
  const char* note = nullptr;
  SharedFolderRules rules;  // keeps the deciding pattern alive
};

// The components of a path relative to the root; a trailing '/' asks for a folder.
std::vector<std::string_view> path_components(std::string_view path, bool* wants_folder) {
  if (path.starts_with('/')) throw InputError("scan_explain() path must be relative to the root: '" + std::string(path) + "'");
  *wants_folder = path.ends_with('/');
  std::vector<std::string_view> components;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") throw InputError("scan_explain() path must stay inside the root: '..' is not allowed");
    if (component.find('\0') != std::string_view::npos) throw InputError("scan_explain() path holds a NUL character");
    components.push_back(component);
  }
  return components;
}

Explanation explain(const ScanPlan& plan, std::string_view requested) {
  bool wants_folder = false;
  const std::vector<std::string_view> components = path_components(requested, &wants_folder);
  Explanation explanation;
  for (const std::string_view component : components) {
    if (!explanation.path.empty()) explanation.path += '/';
    explanation.path += component;
  }
  std::string folder = plan.prefix;
  SharedFolderRules& rules = explanation.rules;
  rules = plan.above_root;
  std::vector<SkippedPath> problems;  // an unreadable ignore file just adds no rules here
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::string relative = folder.substr(plan.prefix.size());
    const int fd = ::openat(plan.root_fd, relative.empty() ? "." : relative.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::optional<struct stat> status;
    const std::string name(components[i]);
    if (fd >= 0) {
      rules = folder_rules(fd, folder, relative, rules, plan, true, true, &problems);
      struct stat found {};
      if (::fstatat(fd, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0) status = found;
      ::close(fd);
    }
    const bool last = i + 1 == components.size();
    const std::string path = folder + name;
    const std::string shown = path.substr(plan.prefix.size());
    if (name == ".git") {
      explanation.ignored = true;
      explanation.note = "a .git folder is never listed or entered";
      return explanation;
    }
    const bool is_folder = status ? S_ISDIR(status->st_mode) : (!last || wants_folder);
    const Decision decision = decide(rules.get(), plan.root_rules, path, folder.size(), is_folder);
    if (decision.pattern != nullptr && (decision.ignored() || last)) {
      explanation.decision = decision;
      explanation.matched = shown;
    }
    if (decision.ignored()) {
      explanation.ignored = true;
      return explanation;
    }
    if (status && S_ISLNK(status->st_mode)) {
      explanation.ignored = true;
      explanation.note = "symbolic links are not followed or listed";
      return explanation;
    }
    if (status && !S_ISDIR(status->st_mode) && !S_ISREG(status->st_mode)) {
      explanation.ignored = true;
      explanation.note = "special files are not listed";
      return explanation;
    }
    folder = path + "/";
  }
  return explanation;
}

template <class Sink>
void put_nullable(Sink& sink, const std::string* text) {
  if (text == nullptr) {
    sink.put("null");
  } else {
    put_string(sink, *text);
  }
}

}  // namespace

std::string explain_path(std::string_view config_json, const GitEnvironment& environment,
                         std::string_view path) {
  const ScanConfig config = parse_scan_config(config_json);
  ScanPlan plan;
  make_scan_plan(config, environment, &plan);
  const Explanation explanation = explain(plan, path);
  const IgnorePattern* pattern = explanation.decision.pattern;

  StringSink sink;
  sink.put("{\"path\":");
  put_string(sink, explanation.path);
  sink.put(explanation.ignored ? ",\"ignored\":true" : ",\"ignored\":false");
  sink.put(",\"source\":");
  put_nullable(sink, pattern ? &explanation.decision.rules->source() : nullptr);
  sink.put(",\"line\":");
  if (pattern) {
    put_number(sink, pattern->line);
  } else {
    sink.put("null");
  }
  sink.put(",\"pattern\":");
  put_nullable(sink, pattern ? &pattern->text : nullptr);
  sink.put(",\"matched\":");
  put_nullable(sink, pattern ? &explanation.matched : nullptr);
  sink.put(",\"note\":");
  if (explanation.note) {
    put_string(sink, explanation.note);
  } else {
    sink.put("null");
  }
  sink.put('}');
  return std::move(sink.text);
}

}  // namespace vorpaline_core::scan
