// What a document is tokenised from: its text, then its head line twice more
// and, for a file's chunk, the file's path once. The head line is the first
// line that is not blank, a decorator or a comment (a definition's own line,
// say; a title): counted three times, the words that name a chunk weigh
// more than those that only occur in it, as a name field would. The path
// lets "parse url" find urllib/parse.py. Both measured on the retrieval
// benchmark (docs/benchmarks.md).
#pragma once

#include <string>
#include <string_view>

namespace vorpaline_core::index {

inline constexpr int kHeadLineRepeats = 2;  // beyond its own place in the text

// The head line of `text`: its first line that is not blank, a decorator or
// a comment; else its first line that is not blank; else empty.
std::string_view head_line(std::string_view text);

// Writes into `out` the text to tokenise for a document of `text` (and of
// the file at `path`, empty for a document without one).
void document_terms_text(std::string_view text, std::string_view path, std::string& out);

}  // namespace vorpaline_core::index
