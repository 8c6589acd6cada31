#include "symbols/symbol_order.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace vorpaline_core::symbols {

namespace {

constexpr std::array<std::string_view, 7> kClassLike = {"class", "interface", "struct", "union",
                                                        "trait", "impl",      "object"};
constexpr std::string_view kMethod = "method";

bool same_range(const Span& a, const Span& b) { return a.begin == b.begin && a.end == b.end; }

bool is_class_like(std::string_view kind) {
  return std::find(kClassLike.begin(), kClassLike.end(), kind) != kClassLike.end();
}

// Several patterns may tag one name (Rust's methods are functions too): the earliest pattern's tag stands.
void keep_first_pattern_per_name(std::vector<RawDefinition>& definitions) {
  std::stable_sort(definitions.begin(), definitions.end(), [](const RawDefinition& a, const RawDefinition& b) {
    return std::tie(a.name_span.begin, a.name_span.end, a.pattern) <
           std::tie(b.name_span.begin, b.name_span.end, b.pattern);
  });
  const auto end = std::unique(definitions.begin(), definitions.end(), [](const auto& a, const auto& b) {
    return same_range(a.name_span, b.name_span);
  });
  definitions.erase(end, definitions.end());
}

// An enclosing definition sorts before the ones inside it.
void sort_outer_first(std::vector<RawDefinition>& definitions) {
  std::stable_sort(definitions.begin(), definitions.end(), [](const RawDefinition& a, const RawDefinition& b) {
    if (a.node_span.begin != b.node_span.begin) return a.node_span.begin < b.node_span.begin;
    return a.node_span.end > b.node_span.end;
  });
}

struct Placed {
  const RawDefinition* raw;
  std::string_view kind;
  std::string scope;
};

Placed place(const RawDefinition& definition, const std::vector<const RawDefinition*>& enclosing) {
  Placed placed{&definition, definition.kind, {}};
  const RawDefinition* nearest = nullptr;
  for (const RawDefinition* outer : enclosing) {
    if (same_range(outer->node_span, definition.node_span)) continue;  // the same node, not an enclosing one
    if (!placed.scope.empty()) placed.scope += '.';
    placed.scope += outer->name;
    nearest = outer;
  }
  if (placed.kind == "function" && nearest != nullptr && is_class_like(nearest->kind)) placed.kind = kMethod;
  return placed;
}

std::vector<Placed> nest(const std::vector<RawDefinition>& definitions) {
  std::vector<Placed> placed;
  std::vector<const RawDefinition*> open;  // the definitions whose range holds the current one's
  for (const RawDefinition& definition : definitions) {
    while (!open.empty() && (open.back()->node_span.end <= definition.node_span.begin ||
                             open.back()->node_span.end < definition.node_span.end)) {
      open.pop_back();
    }
    placed.push_back(place(definition, open));
    open.push_back(&definition);
  }
  return placed;
}

void write_definitions(std::vector<Placed> placed, std::vector<Definition>& out) {
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
    return std::pair(a.raw->node_span.first_row, a.raw->name_span.first_row) <
           std::pair(b.raw->node_span.first_row, b.raw->name_span.first_row);
  });
  std::set<std::tuple<std::string_view, std::uint32_t, std::string_view>> seen;
  for (Placed& definition : placed) {
    const RawDefinition& raw = *definition.raw;
    if (!seen.emplace(raw.name, raw.name_span.first_row, definition.kind).second) continue;
    out.push_back({std::string(raw.name), std::string(definition.kind), raw.name_span.first_row + 1,
                   raw.node_span.first_row + 1, raw.node_span.last_row + 1, std::move(definition.scope)});
  }
}

void write_references(std::vector<RawReference> references, const std::vector<RawDefinition>& definitions,
                      std::vector<Reference>& out) {
  std::set<std::pair<std::uint32_t, std::uint32_t>> defined;
  for (const RawDefinition& definition : definitions) {
    defined.emplace(definition.name_span.begin, definition.name_span.end);
  }
  std::stable_sort(references.begin(), references.end(), [](const RawReference& a, const RawReference& b) {
    return a.name_span.begin < b.name_span.begin;
  });
  std::set<std::pair<std::string_view, std::uint32_t>> seen;
  for (const RawReference& reference : references) {
    if (defined.contains({reference.name_span.begin, reference.name_span.end})) continue;
    if (!seen.emplace(reference.name, reference.name_span.first_row).second) continue;
    out.push_back({std::string(reference.name), std::string(reference.kind), reference.name_span.first_row + 1});
  }
}

}  // namespace

void order_symbols(std::vector<RawDefinition> definitions, std::vector<RawReference> references, FileSymbols& out) {
  keep_first_pattern_per_name(definitions);
  sort_outer_first(definitions);
  write_definitions(nest(definitions), out.definitions);
  write_references(std::move(references), definitions, out.references);
}

}  // namespace vorpaline_core::symbols
