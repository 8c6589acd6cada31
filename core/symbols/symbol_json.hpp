// Definitions and references as JSON rows, the one layout every reply and
// stored chunk uses:
//   definition  [name, kind, line, first_line, last_line, scope]
//   reference   [name, kind, line]
#pragma once

#include <span>

#include "scan/json_text.hpp"
#include "symbols/file_symbols.hpp"

namespace vorpaline_core::symbols {

void put_definition(scan::StringSink& sink, const Definition& definition);
void put_reference(scan::StringSink& sink, const Reference& reference);

// [row, row, ...]
void put_definitions(scan::StringSink& sink, std::span<const Definition> definitions);
void put_references(scan::StringSink& sink, std::span<const Reference> references);

}  // namespace vorpaline_core::symbols
