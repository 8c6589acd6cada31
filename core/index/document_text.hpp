// What a document is tokenised from.
//
// A document given as a text alone has one field, its text followed by its
// head line twice more: the first line that is not blank, a decorator or a
// comment (a definition's own line, say; a title), so that the words that
// name it weigh more than those that only occur in it.
//
// A chunk of a file has three fields (fields.hpp): its text; the names it
// defines, or its head line when the file has no parser; its file's path,
// which lets "parse url" find urllib/parse.py. FieldCounter tokenises them
// and adds the document to a segment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "embed/embedder.hpp"
#include "segment_writer.hpp"

namespace vorpaline_core::index {

inline constexpr int kHeadLineRepeats = 2;  // beyond its own place in the text

// The head line of `text`: its first line that is not blank, a decorator or
// a comment; else its first line that is not blank; else empty.
std::string_view head_line(std::string_view text);

// Writes into `out` the text to tokenise for a document of `text` (and of
// the file at `path`, empty for a document without one).
void document_terms_text(std::string_view text, std::string_view path, std::string& out);

struct FieldTexts {
  std::string_view text;
  std::string_view names;
  std::string_view path;
};

// Tokenises documents' fields, one thread's: the counts of each field are
// kept apart until the document is added.
class FieldCounter {
 public:
  explicit FieldCounter(Embedder& embedder) : embedder_(embedder) {}

  std::uint32_t add(SegmentWriter& writer, const FieldTexts& texts, std::string_view metadata,
                    std::string_view symbols, std::uint32_t roles);

 private:
  Embedder& embedder_;
  std::vector<TermCount> counts_[kFieldCount];
};

}  // namespace vorpaline_core::index
