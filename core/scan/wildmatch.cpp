#include "wildmatch.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorpaline_core::scan {

namespace {

// A failed match says how far the failure reaches: only this attempt, every
// attempt of the enclosing `*` (the text ran out), or every attempt up to the
// nearest `**` (a `*` reached a `/` it may not cross). git's matcher answers
// the same, and both matchers here keep them exactly: they decide whether an
// enclosing `*` tries further. `too_costly` is the backtracking giving up.
enum class Outcome : std::uint8_t { match, no_match, abort_all, abort_to_double_star, too_costly };

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

// A run of `*` and what follows it.
struct StarRun {
  std::size_t next;       // the pattern position after the run
  bool crosses_slashes;   // the run may take `/` too
  bool may_take_nothing;  // `**/` standing for no folder at all: the part after its `/` is tried first
};

// What the pattern and the text are, and how their bytes compare: shared by
// both matchers, so that they read a pattern the same way.
class GlobParts {
 public:
  GlobParts(std::string_view pattern, std::string_view text, GlobMode mode)
      : pattern_(pattern), text_(text), path_mode_(mode == GlobMode::path) {}

  // The byte at `i`, or 0 past the end (patterns and names hold no NUL).
  unsigned char pattern_at(std::size_t i) const {
    return i < pattern_.size() ? static_cast<unsigned char>(pattern_[i]) : 0;
  }
  unsigned char text_at(std::size_t i) const {
    return i < text_.size() ? static_cast<unsigned char>(text_[i]) : 0;
  }

  std::size_t class_end(std::size_t p, unsigned char c, bool* taken) const;
  Outcome match_piece(std::size_t p, unsigned char c, std::size_t* end) const;
  StarRun star_run(std::size_t p) const;

 protected:
  std::string_view pattern_;
  std::string_view text_;
  bool path_mode_;
};

// The closing `]` of the class at `p` (its `[`), and whether `c` is taken
// by it; npos when the class has no end or names no class of C's: such a
// pattern matches nothing. Where the class ends does not depend on `c`.
std::size_t GlobParts::class_end(std::size_t p, unsigned char c, bool* taken) const {
  std::size_t i = p + 1;
  unsigned char pc = pattern_at(i);
  const bool negated = pc == '!' || pc == '^';
  if (negated) pc = pattern_at(++i);
  unsigned char previous = 0;
  bool matched = false;
  // The first member may be `]`: the class ends at a later one.
  do {
    if (pc == 0) return std::string_view::npos;
    if (pc == '\\') {
      pc = pattern_at(++i);
      if (pc == 0) return std::string_view::npos;
      if (c == pc) matched = true;
    } else if (pc == '-' && previous != 0 && pattern_at(i + 1) != 0 && pattern_at(i + 1) != ']') {
      pc = pattern_at(++i);
      if (pc == '\\') {
        pc = pattern_at(++i);
        if (pc == 0) return std::string_view::npos;
      }
      if (c <= pc && c >= previous) matched = true;
      pc = 0;  // a range's end starts no range of its own
    } else if (pc == '[' && pattern_at(i + 1) == ':') {
      const std::size_t name_start = i + 2;
      std::size_t end = name_start;
      while (pattern_at(end) != 0 && pattern_at(end) != ']') ++end;
      if (pattern_at(end) == 0) return std::string_view::npos;
      if (end == name_start || pattern_[end - 1] != ':') {
        // No `:]`: the `[` is a member like any other.
        if (c == '[') matched = true;
        continue;
      }
      bool known = false;
      if (in_named_class(pattern_.substr(name_start, end - 1 - name_start), c, &known)) {
        matched = true;
      }
      if (!known) return std::string_view::npos;
      i = end;
      pc = 0;
    } else if (c == pc) {
      matched = true;
    }
  } while (previous = pc, (pc = pattern_at(++i)) != ']');
  *taken = matched != negated && !(path_mode_ && c == '/');
  return i;
}

// The piece at `p` that is not a star (a byte, an escaped byte, `?` or a
// class) against the text byte `c`; `*end` is left at the piece's last byte
// unless the class cannot be read.
inline Outcome GlobParts::match_piece(std::size_t p, unsigned char c, std::size_t* end) const {
  unsigned char pc = pattern_at(p);
  *end = p;
  switch (pc) {
    case '\\':
      pc = pattern_at(++*end);  // a trailing `\` compares 0 with a real byte: no match
      [[fallthrough]];
    default:
      return c == pc ? Outcome::match : Outcome::no_match;
    case '?':
      return path_mode_ && c == '/' ? Outcome::no_match : Outcome::match;
    case '[': {
      bool taken = false;
      const std::size_t close = class_end(p, c, &taken);
      if (close == std::string_view::npos) return Outcome::abort_all;
      *end = close;
      return taken ? Outcome::match : Outcome::no_match;
    }
  }
}

// `p` is at a `*`. Two or more stars at the start of a segment and at the end
// of one (a `/`, an escaped `/` or the pattern's end) cross folders; elsewhere
// they are one `*`, which crosses them only outside path mode.
StarRun GlobParts::star_run(std::size_t p) const {
  const std::size_t first_star = p;
  if (pattern_at(++p) != '*') return {p, !path_mode_, false};
  while (pattern_at(++p) == '*') {
  }
  const bool at_segment_start = first_star == 0 || pattern_[first_star - 1] == '/';
  const unsigned char next = pattern_at(p);
  const bool at_segment_end = p >= pattern_.size() || next == '/' || (next == '\\' && pattern_at(p + 1) == '/');
  if (!at_segment_start || !at_segment_end) return {p, false, false};
  return {p, true, next == '/'};
}

// git's own search: each `*` tries the text it may take, shortest first,
// pruned by the outcomes above. Nearly always quick; a pattern that makes it
// try too much (`**/` or `*a` many times over) ends it with `too_costly`.
class BacktrackingGlob : public GlobParts {
 public:
  BacktrackingGlob(std::string_view pattern, std::string_view text, GlobMode mode, std::size_t budget)
      : GlobParts(pattern, text, mode), budget_(budget) {}

  Outcome match(std::size_t p, std::size_t t);

 private:
  bool spend(std::size_t steps) {
    if (steps > budget_) return false;
    budget_ -= steps;
    return true;
  }
  // The first `/` from t on, or npos; the bytes looked at are spent too.
  std::size_t find_slash(std::size_t t) {
    const std::size_t slash = text_.find('/', t);
    budget_ -= std::min(budget_, (slash == std::string_view::npos ? text_.size() : slash) - t);
    return slash;
  }
  Outcome match_star(std::size_t p, std::size_t t);

  std::size_t budget_;  // steps left before giving up
};

Outcome BacktrackingGlob::match(std::size_t p, std::size_t t) {
  for (; p < pattern_.size(); ++p, ++t) {
    if (!spend(1)) return Outcome::too_costly;
    if (pattern_at(p) == '*') return match_star(p, t);
    if (t >= text_.size()) return Outcome::abort_all;
    std::size_t end = p;
    const Outcome outcome = match_piece(p, text_at(t), &end);
    if (!spend(end - p)) return Outcome::too_costly;
    if (outcome != Outcome::match) return outcome;
    p = end;
  }
  return t < text_.size() ? Outcome::no_match : Outcome::match;
}

// `p` is at a `*` and `t` may be at the end of the text.
Outcome BacktrackingGlob::match_star(std::size_t p, std::size_t t) {
  const StarRun run = star_run(p);
  p = run.next;
  const bool crosses_slashes = run.crosses_slashes;
  if (run.may_take_nothing) {
    const Outcome outcome = match(p + 1, t);
    if (outcome == Outcome::match || outcome == Outcome::too_costly) return outcome;
  }
  if (p >= pattern_.size()) {
    // A trailing `**` takes everything; a trailing `*` the rest of one name.
    return !crosses_slashes && find_slash(t) != std::string_view::npos ? Outcome::no_match : Outcome::match;
  }
  if (!crosses_slashes && pattern_[p] == '/') {
    // `*/` takes the rest of this name; the slash is matched next.
    const std::size_t slash = find_slash(t);
    if (slash == std::string_view::npos) return Outcome::no_match;
    return match(p, slash);
  }
  for (; t < text_.size(); ++t) {
    const unsigned char next = pattern_at(p);
    if (!is_glob_special(static_cast<char>(next))) {
      // A literal must follow: skip to its next occurrence.
      const std::size_t from = t;
      while (t < text_.size() && (crosses_slashes || text_[t] != '/') &&
             static_cast<unsigned char>(text_[t]) != next) {
        ++t;
      }
      if (!spend(t - from)) return Outcome::too_costly;
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

// The same answers in O(pattern × text) time and space: every outcome of the
// search above, of "the pattern from here against the text from there", is
// worked out once, from the text's end backwards. The search asks for the
// same pairs again and again; here each is a table look-up.
class TabulatedGlob : public GlobParts {
 public:
  TabulatedGlob(std::string_view pattern, std::string_view text, GlobMode mode);

  bool matches() const { return !match_.empty() && at(match_, 0, 0) == Outcome::match; }

 private:
  // A pattern position inside a piece. A piece is a byte, an escaped byte, `?`, a class or a run of stars.
  static constexpr std::uint32_t kNoPiece = UINT32_MAX;

  Outcome at(const std::vector<Outcome>& table, std::size_t piece, std::size_t t) const {
    return table[piece * (text_.size() + 1) + t];
  }
  void set(std::vector<Outcome>& table, std::size_t piece, std::size_t t, Outcome outcome) {
    table[piece * (text_.size() + 1) + t] = outcome;
  }
  std::size_t piece_at(std::size_t p) const { return p >= pattern_.size() ? pieces_.size() - 1 : piece_of_[p]; }

  // Whether the piece is a run of stars that tries the text position by position.
  bool loops(std::size_t piece) const {
    if (piece + 1 >= pieces_.size() || pattern_at(pieces_[piece]) != '*') return false;
    const StarRun& run = runs_[piece];
    return run.next < pattern_.size() && (run.crosses_slashes || pattern_[run.next] != '/');
  }
  void list_pieces();
  std::size_t bytes_needed() const;
  Outcome piece_outcome(std::size_t piece, std::size_t t) const;
  Outcome star_outcome(std::size_t piece, std::size_t t) const;
  Outcome star_loop(std::size_t piece, std::size_t t) const;
  Outcome star_attempt(std::size_t piece, std::size_t t) const;

  std::vector<std::size_t> pieces_;      // their pattern positions; the last is the pattern's end
  std::vector<std::uint32_t> piece_of_;  // the piece starting at each pattern position
  std::vector<StarRun> runs_;            // for each piece that is a run of stars
  std::vector<std::size_t> next_slash_;  // for each text position, the first `/` from it on
  std::vector<Outcome> match_;           // the search's outcome from (piece, text position)
  std::vector<Outcome> loop_;            // a run of stars' attempts from (piece, text position) on
};

TabulatedGlob::TabulatedGlob(std::string_view pattern, std::string_view text, GlobMode mode)
    : GlobParts(pattern, text, mode) {
  list_pieces();
  // A pattern that needs more bytes than the text has cannot match: no table is made, so the
  // table's size is bounded by the text's length squared, not by a pattern line's length.
  if (bytes_needed() > text.size()) return;
  next_slash_.resize(text.size() + 1, text.size());
  for (std::size_t t = text.size(); t-- > 0;) next_slash_[t] = text[t] == '/' ? t : next_slash_[t + 1];
  const std::size_t cells = pieces_.size() * (text.size() + 1);
  match_.resize(cells, Outcome::no_match);
  loop_.resize(cells, Outcome::no_match);
  // An outcome depends on later text positions, or on later pieces at the same position.
  for (std::size_t t = text.size() + 1; t-- > 0;) {
    for (std::size_t piece = pieces_.size(); piece-- > 0;) {
      if (t < text.size() && loops(piece)) set(loop_, piece, t, star_loop(piece, t));
      set(match_, piece, t, piece_outcome(piece, t));
    }
  }
}

void TabulatedGlob::list_pieces() {
  piece_of_.assign(pattern_.size(), kNoPiece);
  runs_.resize(pattern_.size() + 1);
  for (std::size_t p = 0; p < pattern_.size();) {
    piece_of_[p] = static_cast<std::uint32_t>(pieces_.size());
    pieces_.push_back(p);
    switch (pattern_at(p)) {
      case '*':
        runs_[pieces_.size() - 1] = star_run(p);
        p = runs_[pieces_.size() - 1].next;
        break;
      case '\\':
        p += 2;  // a trailing `\` ends the pattern with its piece
        break;
      case '[': {
        // A class that does not end answers abort_all for every byte: nothing after it is reached.
        bool taken = false;
        const std::size_t end = class_end(p, 0, &taken);
        p = end == std::string_view::npos ? pattern_.size() : end + 1;
        break;
      }
      default:
        ++p;
    }
  }
  pieces_.push_back(pattern_.size());
}

// Each piece but a run of stars, and a `/` right after one (`**/` may match no folder), takes one byte.
std::size_t TabulatedGlob::bytes_needed() const {
  std::size_t needed = 0;
  for (std::size_t piece = 0; piece + 1 < pieces_.size(); ++piece) {
    const unsigned char c = pattern_at(pieces_[piece]);
    const bool after_stars = piece > 0 && pattern_at(pieces_[piece - 1]) == '*';
    if (c != '*' && !(c == '/' && after_stars)) ++needed;
  }
  return needed;
}

// The search's `match(p, t)` for the piece at p: a byte, `?` or class, then the rest.
Outcome TabulatedGlob::piece_outcome(std::size_t piece, std::size_t t) const {
  const std::size_t p = pieces_[piece];
  if (p >= pattern_.size()) return t < text_.size() ? Outcome::no_match : Outcome::match;
  if (pattern_at(p) == '*') return star_outcome(piece, t);
  if (t >= text_.size()) return Outcome::abort_all;
  std::size_t end = p;
  const Outcome outcome = match_piece(p, text_at(t), &end);
  if (outcome != Outcome::match) return outcome;
  return at(match_, piece_at(end + 1), t + 1);
}

Outcome TabulatedGlob::star_outcome(std::size_t piece, std::size_t t) const {
  const StarRun& run = runs_[piece];
  if (run.may_take_nothing && at(match_, piece_at(run.next + 1), t) == Outcome::match) return Outcome::match;
  if (run.next >= pattern_.size()) {
    return !run.crosses_slashes && next_slash_[t] < text_.size() ? Outcome::no_match : Outcome::match;
  }
  if (!run.crosses_slashes && pattern_[run.next] == '/') {
    const std::size_t slash = next_slash_[t];
    return slash < text_.size() ? at(match_, piece_at(run.next), slash) : Outcome::no_match;
  }
  return t < text_.size() ? at(loop_, piece, t) : Outcome::abort_all;
}

// The search's loop over the text a run of stars takes, from t on (t inside
// the text): a literal after the run is skipped to first, as the search does.
Outcome TabulatedGlob::star_loop(std::size_t piece, std::size_t t) const {
  const StarRun& run = runs_[piece];
  const unsigned char next = pattern_at(run.next);
  if (is_glob_special(static_cast<char>(next)) || text_at(t) == next) return star_attempt(piece, t);
  if (!run.crosses_slashes && text_[t] == '/') return Outcome::no_match;
  return t + 1 < text_.size() ? at(loop_, piece, t + 1) : Outcome::no_match;
}

// One attempt of the loop, the stars having taken the text up to t.
Outcome TabulatedGlob::star_attempt(std::size_t piece, std::size_t t) const {
  const StarRun& run = runs_[piece];
  const Outcome outcome = at(match_, piece_at(run.next), t);
  if (outcome != Outcome::no_match) {
    if (!run.crosses_slashes || outcome != Outcome::abort_to_double_star) return outcome;
  } else if (!run.crosses_slashes && text_[t] == '/') {
    return Outcome::abort_to_double_star;
  }
  return t + 1 < text_.size() ? at(loop_, piece, t + 1) : Outcome::abort_all;
}

// Steps of backtracking allowed before the table takes over: far more than
// any ordinary pattern needs, and little next to what the table costs.
std::size_t search_budget(std::string_view pattern, std::string_view text) {
  return 16 * (pattern.size() + text.size()) + 256;
}

}  // namespace

bool wildmatch(std::string_view pattern, std::string_view text, GlobMode mode) {
  const Outcome outcome = BacktrackingGlob(pattern, text, mode, search_budget(pattern, text)).match(0, 0);
  if (outcome != Outcome::too_costly) return outcome == Outcome::match;
  return TabulatedGlob(pattern, text, mode).matches();
}

}  // namespace vorpaline_core::scan
