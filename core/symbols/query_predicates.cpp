#include "symbols/query_predicates.hpp"

#include <algorithm>
#include <optional>
#include <span>

#include "input_error.hpp"

namespace vorpaline_core::symbols {

namespace {

std::string_view string_value(const TSQuery* query, std::uint32_t id) {
  std::uint32_t length = 0;
  const char* value = ts_query_string_value_for_id(query, id, &length);
  return {value, length};
}

struct Operator {
  TextPredicate::Test test;
  bool negated;
  bool any;
};

std::optional<Operator> text_operator(std::string_view name) {
  using Test = TextPredicate::Test;
  if (name == "eq?") return Operator{Test::equal, false, false};
  if (name == "not-eq?") return Operator{Test::equal, true, false};
  if (name == "any-eq?") return Operator{Test::equal, false, true};
  if (name == "any-not-eq?") return Operator{Test::equal, true, true};
  if (name == "match?") return Operator{Test::match, false, false};
  if (name == "not-match?") return Operator{Test::match, true, false};
  if (name == "any-match?") return Operator{Test::match, false, true};
  if (name == "any-not-match?") return Operator{Test::match, true, true};
  if (name == "any-of?") return Operator{Test::one_of, false, false};
  if (name == "not-any-of?") return Operator{Test::one_of, true, false};
  return std::nullopt;
}

[[noreturn]] void malformed(std::uint32_t pattern, std::string_view name, std::string_view why) {
  throw InputError("tags query pattern " + std::to_string(pattern) + ": #" + std::string(name) + " " +
                   std::string(why));
}

std::regex compile_pattern(std::uint32_t pattern, std::string_view source) {
  try {
    return std::regex(source.begin(), source.end(), std::regex::ECMAScript | std::regex::optimize);
  } catch (const std::regex_error& error) {
    throw InputError("tags query pattern " + std::to_string(pattern) + ": #match? pattern \"" + std::string(source) +
                     "\" does not compile: " + error.what());
  }
}

// One predicate's steps, without the closing Done step; nullopt when it is not a text predicate.
std::optional<TextPredicate> read_predicate(const TSQuery* query, std::uint32_t pattern,
                                            std::span<const TSQueryPredicateStep> steps) {
  if (steps.empty() || steps[0].type != TSQueryPredicateStepTypeString) return std::nullopt;
  const std::string_view name = string_value(query, steps[0].value_id);
  const std::optional<Operator> op = text_operator(name);
  if (!op) return std::nullopt;
  const auto arguments = steps.subspan(1);
  if (arguments.size() < 2 || arguments[0].type != TSQueryPredicateStepTypeCapture) {
    malformed(pattern, name, "needs a capture and a value");
  }
  TextPredicate predicate;
  predicate.test = op->test;
  predicate.negated = op->negated;
  predicate.any = op->any;
  predicate.capture = arguments[0].value_id;
  if (op->test != TextPredicate::Test::one_of && arguments.size() != 2) malformed(pattern, name, "takes two arguments");
  if (op->test == TextPredicate::Test::equal && arguments[1].type == TSQueryPredicateStepTypeCapture) {
    predicate.against_capture = true;
    predicate.other_capture = arguments[1].value_id;
    return predicate;
  }
  for (const TSQueryPredicateStep& argument : arguments.subspan(1)) {
    if (argument.type != TSQueryPredicateStepTypeString) malformed(pattern, name, "takes strings after its capture");
    predicate.literals.emplace_back(string_value(query, argument.value_id));
  }
  if (op->test == TextPredicate::Test::match) predicate.pattern = compile_pattern(pattern, predicate.literals[0]);
  return predicate;
}

std::vector<TextPredicate> read_pattern(const TSQuery* query, std::uint32_t pattern) {
  std::uint32_t count = 0;
  const TSQueryPredicateStep* steps = ts_query_predicates_for_pattern(query, pattern, &count);
  std::vector<TextPredicate> predicates;
  std::uint32_t begin = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (steps[i].type != TSQueryPredicateStepTypeDone) continue;
    if (auto predicate = read_predicate(query, pattern, std::span(steps + begin, i - begin))) {
      predicates.push_back(std::move(*predicate));
    }
    begin = i + 1;
  }
  return predicates;
}

std::string_view node_text(TSNode node, std::string_view text) {
  const std::uint32_t begin = std::min<std::size_t>(ts_node_start_byte(node), text.size());
  const std::uint32_t end = std::min<std::size_t>(ts_node_end_byte(node), text.size());
  return text.substr(begin, end > begin ? end - begin : 0);
}

std::optional<std::string_view> first_capture_text(const TSQueryMatch& match, std::uint32_t capture,
                                                   std::string_view text) {
  for (std::uint16_t i = 0; i < match.capture_count; ++i) {
    if (match.captures[i].index == capture) return node_text(match.captures[i].node, text);
  }
  return std::nullopt;
}

bool passes(const TextPredicate& predicate, std::string_view value, const TSQueryMatch& match,
            std::string_view text) {
  bool result = false;
  switch (predicate.test) {
    case TextPredicate::Test::equal:
      if (predicate.against_capture) {
        const auto other = first_capture_text(match, predicate.other_capture, text);
        result = other && *other == value;
      } else {
        result = value == predicate.literals[0];
      }
      break;
    case TextPredicate::Test::match:
      result = std::regex_search(value.begin(), value.end(), predicate.pattern);
      break;
    case TextPredicate::Test::one_of:
      result = std::find(predicate.literals.begin(), predicate.literals.end(), value) != predicate.literals.end();
      break;
  }
  return result != predicate.negated;
}

bool holds(const TextPredicate& predicate, const TSQueryMatch& match, std::string_view text) {
  bool all = true;
  bool some = false;
  for (std::uint16_t i = 0; i < match.capture_count; ++i) {
    if (match.captures[i].index != predicate.capture) continue;
    const bool pass = passes(predicate, node_text(match.captures[i].node, text), match, text);
    all = all && pass;
    some = some || pass;
  }
  return predicate.any ? some : all;
}

}  // namespace

QueryPredicates::QueryPredicates(const TSQuery* query) {
  const std::uint32_t patterns = ts_query_pattern_count(query);
  by_pattern_.reserve(patterns);
  for (std::uint32_t pattern = 0; pattern < patterns; ++pattern) by_pattern_.push_back(read_pattern(query, pattern));
}

bool QueryPredicates::accepts(const TSQueryMatch& match, std::string_view text) const {
  if (match.pattern_index >= by_pattern_.size()) return true;
  return std::all_of(by_pattern_[match.pattern_index].begin(), by_pattern_[match.pattern_index].end(),
                     [&](const TextPredicate& predicate) { return holds(predicate, match, text); });
}

}  // namespace vorpaline_core::symbols
