#include "tokenizer.hpp"

#include <bit>

#include "ascii_parts.hpp"
#include "term_counts.hpp"
#include "text_scan.hpp"

namespace vorpaline_core {

namespace {

// Words of more bytes than this are counted by an index made while folding.
// Each of their characters folds to at least one, so they are long tokens.
constexpr std::size_t kHashedWhileFolding = 64 * 1024;
static_assert(kHashedWhileFolding / 4 > TermCounts::kShortToken);

bool is_joiner(char byte) { return byte == '_' || byte == '-' || byte == '.'; }

// True when only joiners can split the characters seen: one kind of word
// character, perhaps with marks.
bool splits_only_at_joiners(unsigned kinds) {
  const unsigned word_kinds = kinds & kWordBits & ~kind_bit(CharKind::Mark);
  return (word_kinds & (word_kinds - 1)) == 0;
}

// Where a part boundary falls in a joiner-free stretch, given the current
// character and the two non-mark characters before it: between a digit and a
// non-digit, between a cased and a caseless letter, before an upper-case letter
// that follows a lower-case one ("getUser"), and before the last capital of an
// acronym that a lower-case letter follows ("HTTPServer").
enum class Boundary { None, BeforeCurrent, BeforePrevious };

Boundary boundary_between(CharKind before_previous, CharKind previous, CharKind current) {
  if ((current == CharKind::Digit) != (previous == CharKind::Digit) ||
      (current == CharKind::Caseless) != (previous == CharKind::Caseless) ||
      (current == CharKind::Upper && previous == CharKind::Lower)) {
    return Boundary::BeforeCurrent;
  }
  if (current == CharKind::Lower && previous == CharKind::Upper &&
      before_previous == CharKind::Upper) {
    return Boundary::BeforePrevious;
  }
  return Boundary::None;
}

}  // namespace

std::size_t Tokenizer::tokenize(std::string_view text, const Profile& profile, TokenSink& sink) {
  sink_ = &sink;
  min_token_len_ = profile.min_token_len;
  code_mode_ = profile.code_pretokenize;
  classes_.classify(text);
  scan_windows();
  flush();
  sink_ = nullptr;
  return classes_.code_points();
}

// The bytes of a window that belong to runs: word characters of any script,
// and joiners too when they link words into identifiers.
std::uint64_t Tokenizer::run_bytes(const Window& window) const {
  const std::uint64_t words = window.upper | window.lower | window.digit | window.unicode_word;
  return code_mode_ ? words | window.joiner : words;
}

// Looks at the text 64 bytes at a time. Each window starts where no run is
// open, and handles the runs that end inside it; a run that goes on past the
// window starts the next one. Runs longer than a window go the general way.
void Tokenizer::scan_windows() {
  using ascii_parts::below;
  const std::size_t size = classes_.text().size();
  std::size_t at = 0;
  while (at < size) {
    const Window window = classes_.window(at);
    std::uint64_t runs = run_bytes(window);
    if (runs == ~std::uint64_t{0}) {
      const std::size_t end = run_end(at + ByteClasses::kBlock);
      on_run(at, end);
      at = end;
      continue;
    }
    std::size_t next = at + ByteClasses::kBlock;
    if (runs >> 63) {
      const unsigned last_run_start = 64 - static_cast<unsigned>(std::countl_zero(~runs));
      runs &= below(last_run_start);
      next = at + last_run_start;
    }
    if (window.non_ascii == 0) {
      emit_ascii_runs(at, window, runs);
    } else {
      emit_runs_one_by_one(at, window, runs);
    }
    at = next;
  }
}

// Where the run that is open at `from` ends.
std::size_t Tokenizer::run_end(std::size_t from) const {
  const std::size_t size = classes_.text().size();
  for (; from < size; from += ByteClasses::kBlock) {
    const std::uint64_t runs = run_bytes(classes_.window(from));
    if (runs != ~std::uint64_t{0}) return from + static_cast<unsigned>(std::countr_zero(~runs));
  }
  return size;
}

// The tokens of ASCII runs that lie inside a window, found by bit arithmetic:
// every part, and every identifier of more than one part as a whole, joiners
// included but not at its ends.
void Tokenizer::emit_ascii_runs(std::size_t at, const Window& window, std::uint64_t runs) {
  using namespace ascii_parts;
  const std::uint64_t words = (window.upper | window.lower | window.digit) & runs;
  if (!code_mode_) {
    emit_ascii_parts(at, word_parts(words));
    return;
  }
  const Parts parts = split_parts(window.upper & runs, window.lower & runs, window.digit & runs);
  emit_ascii_parts(at, parts);
  const std::uint64_t first_parts = first_marker_per_run(runs, parts.starts);
  std::uint64_t later_parts = parts.starts & ~first_parts;
  while (later_parts != 0) {
    const unsigned later = static_cast<unsigned>(std::countr_zero(later_parts));
    const unsigned start = 63 - static_cast<unsigned>(std::countl_zero(first_parts & up_to(later)));
    const unsigned run_end = static_cast<unsigned>(std::countr_zero(~runs & above(later)));
    const unsigned end = static_cast<unsigned>(std::bit_width(words & below(run_end)));
    emit_lowered(at + start, end - start);
    later_parts &= ~below(run_end);
  }
}

void Tokenizer::emit_ascii_parts(std::size_t at, ascii_parts::Parts parts) {
  for (; parts.starts != 0; parts.starts &= parts.starts - 1, parts.ends &= parts.ends - 1) {
    const unsigned start = static_cast<unsigned>(std::countr_zero(parts.starts));
    const unsigned end = static_cast<unsigned>(std::countr_zero(parts.ends));
    emit_lowered(at + start, end - start);
  }
}

// A window with non-ASCII bytes: its ASCII runs still take the fast way, one
// at a time.
void Tokenizer::emit_runs_one_by_one(std::size_t at, const Window& window, std::uint64_t runs) {
  using ascii_parts::below;
  std::uint64_t edges = runs ^ (runs << 1);  // starts and ends alternate
  while (edges != 0) {
    const unsigned start = static_cast<unsigned>(std::countr_zero(edges));
    edges &= edges - 1;
    const unsigned end = static_cast<unsigned>(std::countr_zero(edges));
    edges &= edges - 1;
    const std::uint64_t run = below(end) & ~below(start);
    if (window.non_ascii & run) {
      on_run(at + start, at + end);
    } else {
      emit_ascii_runs(at, window, run);
    }
  }
}

// One run, character by character: any script, any length.
void Tokenizer::on_run(std::size_t start, std::size_t end) {
  const std::string_view text = classes_.text();
  unsigned kinds = 0;
  for (std::size_t at = start; at < end;) {
    const CharBits character = char_bits_at(text.data() + at, text.data() + end);
    kinds |= character.bits;
    at += character.bytes;
  }
  if (code_mode_) {
    emit_identifier(start, end, kinds);
  } else {
    emit_word(start, end, !(kinds & kNonAsciiBit));
  }
}

// Joiners at either end of a run do not belong to the identifier; inner ones
// split it into parts, and parts split further at case, script and digit
// boundaries. The whole identifier is a token of its own beside its parts when
// there is more than one part. Parts go to the sink as they are found, so an
// identifier of millions of parts needs no memory for them.
void Tokenizer::emit_identifier(std::size_t start, std::size_t end, unsigned kinds) {
  const std::string_view text = classes_.text();
  if (kinds & kind_bit(CharKind::Joiner)) {
    while (start < end && is_joiner(text[start])) ++start;
    while (end > start && is_joiner(text[end - 1])) --end;
    if (start == end) return;
  }
  const bool ascii = !(kinds & kNonAsciiBit);
  std::size_t parts = 1;
  if (!splits_only_at_joiners(kinds)) {
    parts = emit_split_parts(start, end, ascii);
  } else if (kinds & kind_bit(CharKind::Joiner)) {
    parts = emit_joiner_parts(start, end, ascii);
  } else {
    emit_word(start, end, ascii);
  }
  // A lone part is the whole identifier, already emitted.
  if (parts > 1) emit_word(start, end, ascii);
}

std::size_t Tokenizer::emit_split_parts(std::size_t start, std::size_t end, bool ascii) {
  std::size_t parts = 0;
  const auto emit_part = [&](std::size_t part_start, std::size_t part_end) {
    emit_word(part_start, part_end, ascii);
    ++parts;
  };
  const char* const base = classes_.text().data();
  bool in_part = false;
  std::size_t part_start = start;
  CharKind previous = CharKind::Separator;  // Separator: none yet in this part
  CharKind before_previous = CharKind::Separator;
  std::size_t previous_at = start;
  for (std::size_t at = start; at < end;) {
    const CharBits character = char_bits_at(base + at, base + end);
    const CharKind kind = kind_of(character);
    if (kind == CharKind::Joiner) {
      if (in_part) emit_part(part_start, at);
      in_part = false;
      previous = before_previous = CharKind::Separator;
      at += character.bytes;
      continue;
    }
    if (!in_part) {
      in_part = true;
      part_start = at;
    }
    if (kind != CharKind::Mark) {  // marks stay with the character before them
      if (previous != CharKind::Separator) {
        const Boundary boundary = boundary_between(before_previous, previous, kind);
        const std::size_t split = boundary == Boundary::BeforeCurrent    ? at
                                  : boundary == Boundary::BeforePrevious ? previous_at
                                                                         : part_start;
        if (split > part_start) {
          emit_part(part_start, split);
          part_start = split;
        }
      }
      before_previous = previous;
      previous = kind;
      previous_at = at;
    }
    at += character.bytes;
  }
  if (in_part) emit_part(part_start, end);
  return parts;
}

// Joiners are ASCII, so they can be found byte by byte even in UTF-8.
std::size_t Tokenizer::emit_joiner_parts(std::size_t start, std::size_t end, bool ascii) {
  const std::string_view text = classes_.text();
  std::size_t parts = 0;
  std::size_t part_start = start;
  for (std::size_t at = start; at < end; ++at) {
    if (!is_joiner(text[at])) continue;
    if (part_start < at) {
      emit_word(part_start, at, ascii);
      ++parts;
    }
    part_start = at + 1;
  }
  emit_word(part_start, end, ascii);  // the identifier ends with a non-joiner
  return parts + 1;
}

// ASCII folds to its slice of the lowered text; anything else goes through
// Unicode folding, which may change its length.
void Tokenizer::emit_word(std::size_t start, std::size_t end, bool ascii) {
  if (ascii) {
    emit_lowered(start, end - start);
  } else if (end - start > kHashedWhileFolding && sink_->takes_long_indices()) {
    emit_folded_index(classes_.text().substr(start, end - start));
  } else {
    emit_folded(folder_.fold(classes_.text().substr(start, end - start)));
  }
}

// A long word is hashed as it is folded: one character can fold to eighteen,
// so its folded text could be many times the size of the text.
void Tokenizer::emit_folded_index(std::string_view word) {
  PieceWiseIndex index;
  const std::size_t code_points =
      folder_.fold_in_pieces(word, [&](std::string_view piece) { index.update(piece); });
  if (code_points >= min_token_len_) sink_->add_long_index(index.index());
}

// Tokens too short to keep are written and not counted: no branch to mispredict.
void Tokenizer::emit_lowered(std::size_t start, std::size_t length) {
  pending_[pending_count_] = std::string_view(classes_.lowered() + start, length);
  pending_count_ += length >= min_token_len_;
  if (pending_count_ == pending_.size()) flush();
}

// The folded word lives in the folder's buffer until the next fold, so it goes
// to the sink at once.
void Tokenizer::emit_folded(FoldedWord word) {
  if (word.code_points < min_token_len_) return;
  sink_->add_folded(word.text);
}

void Tokenizer::flush() {
  if (pending_count_ == 0) return;
  sink_->add_lowered({pending_.data(), pending_count_});
  pending_count_ = 0;
}

}  // namespace vorpaline_core
