#include "defined_names.hpp"

namespace vorpaline_core::index {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` holds `["` name `"` at `at`; with `fold`, ASCII case ignored
// (`name` then lower-case).
bool entry_at(std::string_view text, std::size_t at, std::string_view name, bool fold) {
  if (at + name.size() + 3 > text.size() || text[at + name.size() + 2] != '"') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = text[at + 2 + i];
    if ((fold ? lower(c) : c) != name[i]) return false;
  }
  return true;
}

// {"d":[["name","kind",...],...],"r":[["name","kind",line],...]}: the
// definitions' part or the references'.
std::string_view part_of(std::string_view symbols_json, bool references) {
  const std::size_t split = symbols_json.find("],\"r\":[");
  if (split == std::string_view::npos) return references ? std::string_view() : symbols_json;
  return references ? symbols_json.substr(split + 1) : symbols_json.substr(0, split);
}

// Calls found(at) for each entry of `part`, at its `["`, until found is true.
template <class Found>
bool any_entry(std::string_view part, Found&& found) {
  for (std::size_t at = part.find("[\""); at != std::string_view::npos; at = part.find("[\"", at + 1)) {
    if (at > 0 && (part[at - 1] == '[' || part[at - 1] == ',') && found(at)) return true;
  }
  return false;
}

}  // namespace

std::string name_words(std::string_view name) {
  const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto lower_case = [](char c) { return c >= 'a' && c <= 'z'; };
  std::string words;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool starts_word = i > 0 && upper(c) &&
                             (lower_case(name[i - 1]) || (upper(name[i - 1]) && i + 1 < name.size() && lower_case(name[i + 1])));
    if (starts_word) words += ' ';
    words += c == '_' ? ' ' : c;
  }
  return words;
}

std::string definitions_only(std::string_view symbols_json) {
  const std::size_t split = symbols_json.find("],\"r\":[");
  if (split == std::string_view::npos) return std::string(symbols_json);
  std::string trimmed(symbols_json.substr(0, split));
  trimmed += "]}";
  return trimmed;
}

bool names_symbol(std::string_view symbols_json, std::string_view lowered_name, bool references) {
  const std::string_view part = part_of(symbols_json, references);
  return any_entry(part, [&](std::size_t at) { return entry_at(part, at, lowered_name, true); });
}

NameMatch defines_any(std::string_view symbols_json, const std::vector<std::string>& names,
                      const std::vector<std::string>& lowered) {
  const std::string_view definitions = part_of(symbols_json, false);
  NameMatch best = NameMatch::kNone;
  any_entry(definitions, [&](std::size_t at) {
    for (const std::string& name : names) {
      if (entry_at(definitions, at, name, false)) {
        best = NameMatch::kExact;
        return true;
      }
    }
    for (const std::string& name : lowered) {
      if (entry_at(definitions, at, name, true)) best = NameMatch::kOtherCase;
    }
    return false;
  });
  return best;
}

}  // namespace vorpaline_core::index
