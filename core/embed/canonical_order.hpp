// Canonical ordering of decomposed code points, and where a word may be cut
// without changing how it composes.
#pragma once

#include <span>

#include <utf8proc.h>

namespace vorpaline_core {

// Sorts each run of combining marks by combining class, keeping the order of
// marks of one class: what utf8proc_decompose does, in n log n rather than
// the quadratic time its exchange sort takes on a long run of marks.
void put_in_canonical_order(std::span<utf8proc_int32_t> code_points);

// True for a decomposed code point that nothing before it can combine with
// or move past: ASCII, or a letter of combining class 0 that is not a Hangul
// jamo (a vowel or final jamo composes with the syllable before it).
bool starts_afresh(utf8proc_int32_t code_point);

}  // namespace vorpaline_core
