#include "query_tree.hpp"

#include <algorithm>

#include "input_error.hpp"
#include "trigrams.hpp"

namespace vorpaline_core::grep {

namespace {

constexpr int kMaxDepth = 200;

using Bits = std::vector<std::uint64_t>;

QueryNode parse_node(simdjson::dom::element element, int depth) {
  if (depth > kMaxDepth) throw InputError("grep_search: the query is nested too deep");
  QueryNode node;
  bool flag = false;
  std::int64_t key = 0;
  simdjson::dom::object object;
  if (element.get_bool().get(flag) == simdjson::SUCCESS) {
    node.kind = flag ? QueryNode::Kind::kAll : QueryNode::Kind::kNone;
  } else if (element.get_int64().get(key) == simdjson::SUCCESS) {
    if (key < 0 || key >= kKeySpace) throw InputError("grep_search: a query key is not a trigram");
    node.kind = QueryNode::Kind::kKey;
    node.key = static_cast<std::uint32_t>(key);
  } else if (element.get_object().get(object) == simdjson::SUCCESS && object.size() == 1) {
    const auto [name, value] = *object.begin();
    simdjson::dom::array items;
    if ((name != "and" && name != "or") || value.get_array().get(items) != simdjson::SUCCESS) {
      throw InputError("grep_search: a query object must be {\"and\": [...]} or {\"or\": [...]}");
    }
    node.kind = name == "and" ? QueryNode::Kind::kAnd : QueryNode::Kind::kOr;
    for (simdjson::dom::element item : items) node.children.push_back(parse_node(item, depth + 1));
  } else {
    throw InputError("grep_search: a query is true, false, a key, {\"and\": [...]} or {\"or\": [...]}");
  }
  return node;
}

Bits filled(const GrepSegmentReader& segment, bool on) {
  const std::uint32_t count = segment.doc_count();
  Bits bits((count + 63) / 64, on ? ~std::uint64_t{0} : 0);
  if (on && count % 64 != 0) bits.back() = (std::uint64_t{1} << (count % 64)) - 1;
  return bits;
}

bool none(const Bits& bits) {
  return std::all_of(bits.begin(), bits.end(), [](std::uint64_t word) { return word == 0; });
}

std::uint64_t rarity(const QueryNode& node, const GrepSegmentReader& segment) {
  if (node.kind != QueryNode::Kind::kKey) return UINT64_MAX;
  const GrepKeyEntry* entry = segment.find(node.key);
  return entry == nullptr ? 0 : entry->docs;
}

Bits evaluate_and(const QueryNode& tree, const GrepSegmentReader& segment) {
  std::vector<const QueryNode*> order;
  for (const QueryNode& child : tree.children) order.push_back(&child);
  std::stable_sort(order.begin(), order.end(), [&segment](const QueryNode* a, const QueryNode* b) {
    return rarity(*a, segment) < rarity(*b, segment);
  });
  Bits result = filled(segment, true);
  for (const QueryNode* child : order) {
    const Bits bits = evaluate(*child, segment);
    for (std::size_t i = 0; i < result.size(); ++i) result[i] &= bits[i];
    if (none(result)) break;
  }
  return result;
}

}  // namespace

QueryNode parse_query(simdjson::dom::element element) { return parse_node(element, 0); }

Bits evaluate(const QueryNode& tree, const GrepSegmentReader& segment) {
  switch (tree.kind) {
    case QueryNode::Kind::kAll:
      return filled(segment, true);
    case QueryNode::Kind::kNone:
      return filled(segment, false);
    case QueryNode::Kind::kKey: {
      Bits bits = filled(segment, false);
      if (const GrepKeyEntry* entry = segment.find(tree.key)) segment.mark_docs(*entry, bits);
      return bits;
    }
    case QueryNode::Kind::kAnd:
      return evaluate_and(tree, segment);
    case QueryNode::Kind::kOr: {
      Bits result = filled(segment, false);
      for (const QueryNode& child : tree.children) {
        const Bits bits = evaluate(child, segment);
        for (std::size_t i = 0; i < result.size(); ++i) result[i] |= bits[i];
      }
      return result;
    }
  }
  return filled(segment, false);
}

}  // namespace vorpaline_core::grep
