#include "symbols/symbol_extractor.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "symbols/symbol_order.hpp"

namespace vorpaline_core::symbols {

namespace {

using Clock = std::chrono::steady_clock;

// The payload of the runtime's progress callbacks: returning true cancels.
struct Deadline {
  Clock::time_point at;
  bool passed = false;
};

// TSParseState or TSQueryCursorState.
template <class ProgressState>
bool past_deadline(ProgressState* state) {
  auto* deadline = static_cast<Deadline*>(state->payload);
  deadline->passed = deadline->passed || Clock::now() >= deadline->at;
  return deadline->passed;
}

const char* read_text(void* payload, std::uint32_t byte_index, TSPoint, std::uint32_t* bytes_read) {
  const auto* text = static_cast<const std::string_view*>(payload);
  if (byte_index >= text->size()) {
    *bytes_read = 0;
    return "";
  }
  *bytes_read = static_cast<std::uint32_t>(text->size() - byte_index);
  return text->data() + byte_index;
}

Span span_of(TSNode node) {
  const TSPoint start = ts_node_start_point(node);
  const TSPoint end = ts_node_end_point(node);
  // A node that ends at the start of a line (after its newline) ends on the line before.
  const std::uint32_t last_row = end.column == 0 && end.row > start.row ? end.row - 1 : end.row;
  return {ts_node_start_byte(node), ts_node_end_byte(node), start.row, last_row};
}

std::string_view text_of(const Span& span, std::string_view text) {
  if (span.begin >= text.size() || span.end <= span.begin) return {};
  return text.substr(span.begin, std::min<std::size_t>(span.end, text.size()) - span.begin);
}

// The match's @name node and its definition or reference capture, when it has both.
void collect(const Language& language, const TSQueryMatch& match, std::string_view text,
             std::vector<RawDefinition>& definitions, std::vector<RawReference>& references) {
  const TSNode* name = nullptr;
  const TSNode* tagged = nullptr;
  const CaptureRole* role = nullptr;
  for (std::uint16_t i = 0; i < match.capture_count; ++i) {
    const TSQueryCapture& capture = match.captures[i];
    const CaptureRole& candidate = language.captures[capture.index];
    if (candidate.role == CaptureRole::Role::name && name == nullptr) {
      name = &capture.node;
    } else if (candidate.role != CaptureRole::Role::other && candidate.role != CaptureRole::Role::name &&
               tagged == nullptr) {
      tagged = &capture.node;
      role = &candidate;
    }
  }
  if (name == nullptr || tagged == nullptr) return;
  const Span name_span = span_of(*name);
  const std::string_view name_text = text_of(name_span, text);
  if (name_text.empty()) return;
  if (role->role == CaptureRole::Role::definition) {
    definitions.push_back({name_text, role->kind, name_span, span_of(*tagged), match.pattern_index});
  } else {
    references.push_back({name_text, role->kind, name_span});
  }
}

}  // namespace

SymbolExtractor::SymbolExtractor(ExtractLimits limits)
    : limits_(limits), parser_(ts_parser_new()), cursor_(ts_query_cursor_new()) {
  if (parser_ == nullptr || cursor_ == nullptr) throw std::bad_alloc();
}

bool SymbolExtractor::extract(const Language& language, std::string_view utf8_text, FileSymbols& out) {
  out.definitions.clear();
  out.references.clear();
  if (utf8_text.size() > limits_.max_bytes || utf8_text.size() >= UINT32_MAX) return false;
  if (parser_grammar_ != language.grammar) {
    if (!ts_parser_set_language(parser_.get(), language.grammar)) return false;
    parser_grammar_ = language.grammar;
  }
  Deadline deadline{Clock::now() + limits_.budget};
  const TSInput input{const_cast<std::string_view*>(&utf8_text), read_text, TSInputEncodingUTF8, nullptr};
  const TreeHandle tree(
      ts_parser_parse_with_options(parser_.get(), nullptr, input, TSParseOptions{&deadline, past_deadline<TSParseState>}));
  if (tree == nullptr) {
    ts_parser_reset(parser_.get());  // a cancelled parse would otherwise resume with the next text
    return false;
  }
  const TSQueryCursorOptions options{&deadline, past_deadline<TSQueryCursorState>};
  ts_query_cursor_exec_with_options(cursor_.get(), language.query.get(), ts_tree_root_node(tree.get()), &options);
  std::vector<RawDefinition> definitions;
  std::vector<RawReference> references;
  TSQueryMatch match;
  while (ts_query_cursor_next_match(cursor_.get(), &match)) {
    if (language.predicates.accepts(match, utf8_text)) collect(language, match, utf8_text, definitions, references);
  }
  if (deadline.passed) return false;
  order_symbols(std::move(definitions), std::move(references), out);
  return true;
}

}  // namespace vorpaline_core::symbols
