#include "wildmatch.hpp"

#include <cstddef>

namespace vorpaline_core::scan {

namespace {

// A failed match says how far the failure reaches: only this attempt, every
// attempt of the enclosing `*` (the text ran out), or every attempt up to the
// nearest `**` (a `*` reached a `/` it may not cross). The last two prune
// backtracking that could not succeed, which keeps matching linear in
// practice.
enum class Outcome { match, no_match, abort_all, abort_to_double_star };

constexpr bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(unsigned char c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(unsigned char c) { return is_upper(c) || is_lower(c); }
constexpr bool is_print(unsigned char c) { return c >= 0x20 && c <= 0x7e; }
constexpr bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One of the named classes `[:name:]`; false in `known` for a name there is no class of.
bool in_named_class(std::string_view name, unsigned char c, bool* known) {
  *known = true;
  if (name == "alnum") return is_alpha(c) || is_digit(c);
  if (name == "alpha") return is_alpha(c);
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return c < 0x20 || c == 0x7f;
  if (name == "digit") return is_digit(c);
  if (name == "graph") return is_print(c) && c != ' ';
  if (name == "lower") return is_lower(c);
  if (name == "print") return is_print(c);
  if (name == "punct") return is_print(c) && c != ' ' && !is_alpha(c) && !is_digit(c);
  if (name == "space") return is_space(c);
  if (name == "upper") return is_upper(c);
  if (name == "xdigit") return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  *known = false;
  return false;
}

class Glob {
 public:
  Glob(std::string_view pattern, std::string_view text, GlobMode mode)
      : pattern_(pattern), text_(text), path_mode_(mode == GlobMode::path) {}

  Outcome match(std::size_t p, std::size_t t) const;

 private:
  // The byte at `i`, or 0 past the end (patterns and names hold no NUL).
  unsigned char pattern_at(std::size_t i) const {
    return i < pattern_.size() ? static_cast<unsigned char>(pattern_[i]) : 0;
  }
  unsigned char text_at(std::size_t i) const {
    return i < text_.size() ? static_cast<unsigned char>(text_[i]) : 0;
  }
  bool slash_from(std::size_t t) const { return text_.find('/', t) != std::string_view::npos; }

  Outcome match_class(std::size_t* p, unsigned char c) const;
  Outcome match_star(std::size_t p, std::size_t t) const;

  std::string_view pattern_;
  std::string_view text_;
  bool path_mode_;
};

Outcome Glob::match(std::size_t p, std::size_t t) const {
  for (; p < pattern_.size(); ++p, ++t) {
    unsigned char pc = pattern_at(p);
    const unsigned char tc = text_at(t);
    if (t >= text_.size() && pc != '*') return Outcome::abort_all;
    switch (pc) {
      case '\\':
        pc = pattern_at(++p);  // a trailing `\` compares 0 with a real byte: no match
        [[fallthrough]];
      default:
        if (tc != pc) return Outcome::no_match;
        continue;
      case '?':
        if (path_mode_ && tc == '/') return Outcome::no_match;
        continue;
      case '[': {
        const Outcome outcome = match_class(&p, tc);
        if (outcome != Outcome::match) return outcome;
        continue;
      }
      case '*':
        return match_star(p, t);
    }
  }
  return t < text_.size() ? Outcome::no_match : Outcome::match;
}

// `*p` is at the `[`; on a match it is left at the closing `]`.
Outcome Glob::match_class(std::size_t* p, unsigned char c) const {
  std::size_t i = *p + 1;
  unsigned char pc = pattern_at(i);
  const bool negated = pc == '!' || pc == '^';
  if (negated) pc = pattern_at(++i);
  unsigned char previous = 0;
  bool matched = false;
  // The first member may be `]`: the class ends at a later one.
  do {
    if (pc == 0) return Outcome::abort_all;
    if (pc == '\\') {
      pc = pattern_at(++i);
      if (pc == 0) return Outcome::abort_all;
      if (c == pc) matched = true;
    } else if (pc == '-' && previous != 0 && pattern_at(i + 1) != 0 && pattern_at(i + 1) != ']') {
      pc = pattern_at(++i);
      if (pc == '\\') {
        pc = pattern_at(++i);
        if (pc == 0) return Outcome::abort_all;
      }
      if (c <= pc && c >= previous) matched = true;
      pc = 0;  // a range's end starts no range of its own
    } else if (pc == '[' && pattern_at(i + 1) == ':') {
      const std::size_t name_start = i + 2;
      std::size_t end = name_start;
      while (pattern_at(end) != 0 && pattern_at(end) != ']') ++end;
      if (pattern_at(end) == 0) return Outcome::abort_all;
      if (end == name_start || pattern_[end - 1] != ':') {
        // No `:]`: the `[` is a member like any other.
        if (c == '[') matched = true;
        continue;
      }
      bool known = false;
      if (in_named_class(pattern_.substr(name_start, end - 1 - name_start), c, &known)) {
        matched = true;
      }
      if (!known) return Outcome::abort_all;
      i = end;
      pc = 0;
    } else if (c == pc) {
      matched = true;
    }
  } while (previous = pc, (pc = pattern_at(++i)) != ']');
  if (matched == negated || (path_mode_ && c == '/')) return Outcome::no_match;
  *p = i;
  return Outcome::match;
}

// `p` is at a `*` and `t` may be at the end of the text.
Outcome Glob::match_star(std::size_t p, std::size_t t) const {
  const std::size_t first_star = p;
  bool crosses_slashes = !path_mode_;
  if (pattern_at(++p) == '*') {
    while (pattern_at(++p) == '*') {
    }
    const bool at_segment_start = first_star == 0 || pattern_[first_star - 1] == '/';
    const unsigned char next = pattern_at(p);
    const bool at_segment_end =
        p >= pattern_.size() || next == '/' || (next == '\\' && pattern_at(p + 1) == '/');
    if (at_segment_start && at_segment_end) {
      // `**/` may also stand for no directory at all.
      if (next == '/' && match(p + 1, t) == Outcome::match) return Outcome::match;
      crosses_slashes = true;
    } else {
      crosses_slashes = false;
    }
  }
  if (p >= pattern_.size()) {
    // A trailing `**` takes everything; a trailing `*` the rest of one name.
    return !crosses_slashes && slash_from(t) ? Outcome::no_match : Outcome::match;
  }
  if (!crosses_slashes && pattern_[p] == '/') {
    // `*/` takes the rest of this name; the slash is matched next.
    const std::size_t slash = text_.find('/', t);
    if (slash == std::string_view::npos) return Outcome::no_match;
    return match(p, slash);
  }
  for (; t < text_.size(); ++t) {
    const unsigned char next = pattern_at(p);
    if (!is_glob_special(static_cast<char>(next))) {
      // A literal must follow: skip to its next occurrence.
      while (t < text_.size() && (crosses_slashes || text_[t] != '/') &&
             static_cast<unsigned char>(text_[t]) != next) {
        ++t;
      }
      if (text_at(t) != next || t >= text_.size()) return Outcome::no_match;
    }
    const Outcome outcome = match(p, t);
    if (outcome != Outcome::no_match) {
      if (!crosses_slashes || outcome != Outcome::abort_to_double_star) return outcome;
    } else if (!crosses_slashes && text_[t] == '/') {
      return Outcome::abort_to_double_star;
    }
  }
  return Outcome::abort_all;
}

}  // namespace

bool wildmatch(std::string_view pattern, std::string_view text, GlobMode mode) {
  return Glob(pattern, text, mode).match(0, 0) == Outcome::match;
}

}  // namespace vorpaline_core::scan
