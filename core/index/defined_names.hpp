// Whether a chunk defines one of the names a query may mean, from the
// chunk's stored symbols (chunk_fields.hpp): the definitions' names. A query
// "parse url" means parse_url or parseUrl; the definition boost goes to the
// chunk that defines such a name, not to one that merely defines a longer
// name holding the words (_parse_url_cache). A name written in the query's
// own case (Full) is a better match than one in another case (full).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::index {

enum class NameMatch { kNone, kOtherCase, kExact };

// The best match of a definition's name among `names`, as the query wrote
// them (`lowered`: the same, lower-cased).
NameMatch defines_any(std::string_view symbols_json, const std::vector<std::string>& names,
                      const std::vector<std::string>& lowered);

// The stored symbols with the references left out: {"d": [...]}, or "" for "".
std::string definitions_only(std::string_view symbols_json);

// A name's words apart ("get_user", "getUser", "HTTPAdapter": "get user",
// "get User", "HTTP Adapter"): what a chunk that uses the name holds in its
// text for certain, since a use inside a dotted chain (self.getUser()) is
// tokenised as the chain and its words, not as the name whole.
std::string name_words(std::string_view name);

// Whether the chunk defines (or, with `references`, uses) `lowered_name`,
// ASCII case ignored: where a look-up of the name finds it.
bool names_symbol(std::string_view symbols_json, std::string_view lowered_name, bool references);

}  // namespace vorpaline_core::index
