// Glob matching with git's wildmatch rules, byte by byte and case-sensitive.
//
// `*` and `?` match any byte but `/` in path mode (any byte otherwise); `**`
// at the start of the pattern or after a `/`, and followed by a `/` or the
// end, matches across directories; `[...]` is a class with `!`/`^` negation,
// ranges, `\` escapes and the `[:name:]` classes of C's ctype (ASCII only);
// `\` makes the next byte literal. A pattern that cannot be read (an
// unterminated class, an unknown class name, a trailing `\`) matches nothing.
//
// The answers are git's, and so is the search that finds them; a pattern
// that would make that search backtrack for long (`**/` or `*a` repeated) is
// answered from a table instead, so that no pattern takes more than
// O(len(pattern) × len(text)) time: one line of an ignore file cannot stall a scan.
#pragma once

#include <string_view>

namespace vorpaline_core::scan {

enum class GlobMode { any_byte, path };

bool wildmatch(std::string_view pattern, std::string_view text, GlobMode mode);

// Bytes that make a pattern more than a literal.
constexpr bool is_glob_special(char byte) {
  return byte == '*' || byte == '?' || byte == '[' || byte == '\\';
}

}  // namespace vorpaline_core::scan
