// Token boundaries of ASCII identifiers, for 64 bytes at once: bit i of each
// mask stands for byte i of a window of text.
//
// ASCII has no combining marks and no caseless letters, so "the character
// before" is simply the byte before, and the rules that split an identifier
// into parts become shifts and ands:
//  - between a digit and a non-digit ("utf8" -> "utf", "8");
//  - before a capital that follows a lower-case letter ("getUser");
//  - before the last capital of a run of capitals that a lower-case letter
//    follows ("HTTPServer" -> "HTTP", "Server").
// Joiners ('_', '-', '.') split too, and are never part of a part.
#pragma once

#include <bit>
#include <cstdint>

namespace vorpaline_core::ascii_parts {

// Bits above `bit` (none when bit is 63).
inline std::uint64_t above(unsigned bit) { return ~((std::uint64_t{2} << bit) - 1); }
// Bits up to and including `bit`.
inline std::uint64_t up_to(unsigned bit) { return (std::uint64_t{2} << bit) - 1; }
// Bits below `bit`, 0 <= bit <= 64.
inline std::uint64_t below(unsigned bit) {
  return bit == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bit) - 1;
}

// Parts do not overlap, so the n-th start and the n-th end belong together.
struct Parts {
  std::uint64_t starts;  // the first byte of every part
  std::uint64_t ends;  // the byte after every part
};

// Part boundaries among the letters and digits of a window. The byte before
// the window must not be a letter or digit of the same identifier, and a
// lower-case letter just past the window must not matter (the caller keeps
// only runs that end inside the window).
inline Parts split_parts(std::uint64_t upper, std::uint64_t lower, std::uint64_t digit) {
  const std::uint64_t words = upper | lower | digit;
  const std::uint64_t after_word = words << 1;
  const std::uint64_t digit_change = digit ^ (digit << 1);
  const std::uint64_t capital_after_lower = upper & (lower << 1);
  const std::uint64_t acronym_end = upper & (upper << 1) & (lower >> 1);  // P of "HTTPServer"
  const std::uint64_t splits =
      words & after_word & (digit_change | capital_after_lower | acronym_end);
  return {(words & ~after_word) | splits, (splits | ~words) & after_word};
}

// The parts of plain words: every maximal run of letters and digits.
inline Parts word_parts(std::uint64_t words) {
  const std::uint64_t after_word = words << 1;
  return {words & ~after_word, ~words & after_word};
}

// The lowest marker in each run of set bits of `runs`; markers is a subset of
// runs. Adding a run's start bit carries up through the run's unmarked bits
// and stops at its first marker, or past its end when it has none.
inline std::uint64_t first_marker_per_run(std::uint64_t runs, std::uint64_t markers) {
  const std::uint64_t run_starts = runs & ~(runs << 1);
  return ((runs & ~markers) + run_starts) & markers;
}

}  // namespace vorpaline_core::ascii_parts
