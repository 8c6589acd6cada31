#include "tokenizer.hpp"

namespace vorpaline_core {

namespace {

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

bool is_ascii(const Run& run) { return !(run.kinds & kNonAsciiBit); }

}  // namespace

void Tokenizer::tokenize(std::string_view text, const Profile& profile, TokenSink& sink) {
  text_ = text;
  sink_ = &sink;
  min_token_len_ = profile.min_token_len;
  code_mode_ = profile.code_pretokenize;
  scan_runs(text, kWordBits | (code_mode_ ? kind_bit(CharKind::Joiner) : 0u), *this);
  sink_ = nullptr;
}

// A maximal run of word characters, and of joiners in code mode.
void Tokenizer::on_run(const Run& run) {
  if (code_mode_) {
    emit_identifier(text_, run);
  } else {
    emit(fold(text_.substr(run.start, run.end - run.start), run));
  }
}

// Lower-case ASCII needs no folding: the token is the text itself.
FoldedWord Tokenizer::fold(std::string_view word, const Run& run) {
  if (is_ascii(run) && !(run.kinds & kind_bit(CharKind::Upper))) return {word, word.size()};
  return folder_.fold(word, is_ascii(run));
}

void Tokenizer::emit(FoldedWord word) {
  if (word.code_points >= min_token_len_) sink_->add(word.text);
}

// Joiners at either end of a run do not belong to the identifier; inner ones
// split it into parts, and parts split further at case, script and digit
// boundaries. The whole identifier is a token of its own beside its parts when
// there is more than one part.
void Tokenizer::emit_identifier(std::string_view text, const Run& run) {
  std::size_t start = run.start;
  std::size_t end = run.end;
  if (run.kinds & kind_bit(CharKind::Joiner)) {
    while (start < end && is_joiner(text[start])) ++start;
    while (end > start && is_joiner(text[end - 1])) --end;
    if (start == end) return;
  }
  const std::string_view whole = text.substr(start, end - start);
  if (!splits_only_at_joiners(run.kinds)) {
    split_identifier(text, start, end);
  } else if (run.kinds & kind_bit(CharKind::Joiner)) {
    split_at_joiners(text, start, end);
  } else {
    emit(fold(whole, run));
    return;
  }
  if (parts_.size() == 1) {
    emit(fold(whole, run));
    return;
  }
  emit_parts(text, whole, start, run);
}

void Tokenizer::split_identifier(std::string_view text, std::size_t start, std::size_t end) {
  parts_.clear();
  const char* const base = text.data();
  bool in_part = false;
  std::size_t part_start = start;
  CharKind previous = CharKind::Separator;  // Separator: none yet in this part
  CharKind before_previous = CharKind::Separator;
  std::size_t previous_at = start;
  for (std::size_t at = start; at < end;) {
    const CharBits character = char_bits_at(base + at, base + end);
    const CharKind kind = kind_of(character);
    if (kind == CharKind::Joiner) {
      if (in_part) parts_.push_back({part_start, at});
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
          parts_.push_back({part_start, split});
          part_start = split;
        }
      }
      before_previous = previous;
      previous = kind;
      previous_at = at;
    }
    at += character.bytes;
  }
  if (in_part) parts_.push_back({part_start, end});
}

// Joiners are ASCII, so they can be found byte by byte even in UTF-8.
void Tokenizer::split_at_joiners(std::string_view text, std::size_t start, std::size_t end) {
  parts_.clear();
  std::size_t part_start = start;
  for (std::size_t at = start; at < end; ++at) {
    if (!is_joiner(text[at])) continue;
    if (part_start < at) parts_.push_back({part_start, at});
    part_start = at + 1;
  }
  parts_.push_back({part_start, end});  // the identifier ends with a non-joiner
}

void Tokenizer::emit_parts(std::string_view text, std::string_view whole, std::size_t start,
                           const Run& run) {
  if (is_ascii(run)) {
    // ASCII folding keeps every byte in place: parts are slices of the folded whole.
    const FoldedWord folded = fold(whole, run);
    for (const Part& part : parts_) {
      const std::size_t length = part.end - part.start;
      emit({folded.text.substr(part.start - start, length), length});
    }
    emit(folded);
    return;
  }
  for (const Part& part : parts_) {
    emit(folder_.fold(text.substr(part.start, part.end - part.start), false));
  }
  emit(folder_.fold(whole, false));
}

}  // namespace vorpaline_core
