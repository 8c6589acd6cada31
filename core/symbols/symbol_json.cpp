#include "symbols/symbol_json.hpp"

namespace vorpaline_core::symbols {

namespace {

template <class Row, class PutRow>
void put_rows(scan::StringSink& sink, std::span<const Row> rows, PutRow put_row) {
  sink.put('[');
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) sink.put(',');
    put_row(sink, rows[i]);
  }
  sink.put(']');
}

}  // namespace

void put_definition(scan::StringSink& sink, const Definition& definition) {
  sink.put('[');
  scan::put_string(sink, definition.name);
  sink.put(',');
  scan::put_string(sink, definition.kind);
  for (const std::uint32_t line : {definition.line, definition.first_line, definition.last_line}) {
    sink.put(',');
    scan::put_number(sink, line);
  }
  sink.put(',');
  scan::put_string(sink, definition.scope);
  sink.put(']');
}

void put_reference(scan::StringSink& sink, const Reference& reference) {
  sink.put('[');
  scan::put_string(sink, reference.name);
  sink.put(',');
  scan::put_string(sink, reference.kind);
  sink.put(',');
  scan::put_number(sink, reference.line);
  sink.put(']');
}

void put_definitions(scan::StringSink& sink, std::span<const Definition> definitions) {
  put_rows(sink, definitions, put_definition);
}

void put_references(scan::StringSink& sink, std::span<const Reference> references) {
  put_rows(sink, references, put_reference);
}

}  // namespace vorpaline_core::symbols
