#include "case_fold.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "canonical_order.hpp"

namespace vorpaline_core {

namespace {

// NFKC with case folding: "ﬁ", "Ｆｉ" and "FI" all become "fi".
constexpr auto kFoldOptions = static_cast<utf8proc_option_t>(
    UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD);

// Decomposed code points in one piece of a long word, before a cut is sought.
constexpr std::size_t kPieceCodePoints = 4096;
// Room for the decomposition of one character; more is asked for if needed.
constexpr std::size_t kCharacterRoom = 32;

void check(utf8proc_ssize_t result) {
  if (result == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
  if (result < 0) throw std::runtime_error(utf8proc_errmsg(result));
}

}  // namespace

FoldedWord CaseFolder::fold(std::string_view word) {
  std::size_t at = decompose_piece(word, 0);
  if (at == word.size()) {
    const std::string_view text = compose_piece();
    return {text, count_code_points(text)};
  }
  // Folding seldom changes the length much: one allocation, mostly.
  folded_.clear();
  folded_.reserve(word.size() + word.size() / 8);
  folded_.append(compose_piece());
  fold_in_pieces(word.substr(at), [&](std::string_view piece) { folded_.append(piece); });
  return {folded_, count_code_points(folded_)};
}

std::size_t CaseFolder::decompose_piece(std::string_view word, std::size_t at) {
  const auto* const bytes = reinterpret_cast<const utf8proc_uint8_t*>(word.data());
  wide_size_ = 0;
  while (at < word.size()) {
    utf8proc_int32_t code_point = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(
        bytes + at, static_cast<utf8proc_ssize_t>(word.size() - at), &code_point);
    check(length);
    const std::size_t before = wide_size_;
    decompose_character(code_point);
    if (before >= kPieceCodePoints && wide_size_ > before && starts_afresh(wide_[before])) {
      wide_size_ = before;  // it starts the next piece
      break;
    }
    at += static_cast<std::size_t>(length);
  }
  put_in_canonical_order({wide_.data(), wide_size_});
  return at;
}

void CaseFolder::decompose_character(utf8proc_int32_t code_point) {
  while (true) {
    // Re-encoding in place needs one spare slot for its terminator.
    if (wide_.size() < wide_size_ + kCharacterRoom + 1) {
      wide_.resize(std::max(wide_.size() * 2, wide_size_ + kCharacterRoom + 1));
    }
    int boundary_class = 0;  // used only for grapheme boundaries, not asked for here
    const std::size_t room = wide_.size() - wide_size_ - 1;
    const utf8proc_ssize_t written = utf8proc_decompose_char(
        code_point, wide_.data() + wide_size_, static_cast<utf8proc_ssize_t>(room), kFoldOptions,
        &boundary_class);
    check(written);
    if (static_cast<std::size_t>(written) <= room) {
      wide_size_ += static_cast<std::size_t>(written);
      return;
    }
    wide_.resize(wide_size_ + static_cast<std::size_t>(written) + 1);
  }
}

std::string_view CaseFolder::compose_piece() {
  const utf8proc_ssize_t bytes =
      utf8proc_reencode(wide_.data(), static_cast<utf8proc_ssize_t>(wide_size_), kFoldOptions);
  check(bytes);
  return {reinterpret_cast<const char*>(wide_.data()), static_cast<std::size_t>(bytes)};
}

}  // namespace vorpaline_core
