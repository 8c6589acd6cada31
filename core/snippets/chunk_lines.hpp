// A chunk's lines as the search shows them: bytes decoded as UTF-8 with each
// maximal ill-formed part replaced by one U+FFFD (as Python's
// errors="replace" does), cut at every "\n" (so "a\n" is "a" and ""), one
// "\r" at a line's end dropped. Decoding first and cutting after gives the
// same lines: no "\n" byte is ever part of a UTF-8 sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorpaline_core::snippets {

class ChunkLines {
 public:
  // Lines `skip` (0-based) to `skip + count` of `bytes`, fewer where the text ends.
  static ChunkLines of_bytes(std::string_view bytes, std::size_t skip, std::size_t count);
  // Lines as the caller gives them (valid UTF-8), kept as they are.
  static ChunkLines of_given(const std::vector<std::string_view>& lines);

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t line) const {
    const std::size_t begin = line == 0 ? 0 : ends_[line - 1];
    return std::string_view(text_).substr(begin, ends_[line] - begin);
  }

 private:
  void add(std::string_view line);

  std::string text_;  // the lines one after another
  std::vector<std::size_t> ends_;  // each line's end in text_
};

// Appends `bytes` to `out` with each maximal ill-formed UTF-8 part replaced by U+FFFD.
void append_repaired_utf8(std::string_view bytes, std::string& out);

// Whether a line is all white space as Python's str.strip() sees it (or empty).
bool is_blank(std::string_view line);

}  // namespace vorpaline_core::snippets
