// Case folding of one word: NFKC with Unicode case folding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <utf8proc.h>

#include "text_scan.hpp"

namespace vorpaline_core {

struct FoldedWord {
  std::string_view text;     // valid until the next fold
  std::size_t code_points;
};

// The buffers are reused from word to word, so folding does not allocate per
// token. ASCII words need none of this: the tokenizer lower-cases them itself.
//
// A long word is folded a piece at a time, cut only before a character that
// nothing before it can combine with, so that its code points never all sit
// in memory at four bytes each (one character may decompose into eighteen).
class CaseFolder {
 public:
  FoldedWord fold(std::string_view word);
  std::size_t buffer_bytes() const {
    return wide_.capacity() * sizeof(utf8proc_int32_t) + folded_.capacity();
  }
  // The folded word handed over a piece at a time, each valid only during
  // the call; returns its number of code points.
  template <class OnPiece>
  std::size_t fold_in_pieces(std::string_view word, OnPiece&& on_piece) {
    std::size_t code_points = 0;
    for (std::size_t at = 0; at < word.size();) {
      at = decompose_piece(word, at);
      const std::string_view piece = compose_piece();
      code_points += count_code_points(piece);
      on_piece(piece);
    }
    return code_points;
  }

 private:
  // Decomposes and case-folds the characters of `word` from `at` into wide_,
  // up to the first safe cut once wide_ holds a piece's worth; returns where
  // it stopped.
  std::size_t decompose_piece(std::string_view word, std::size_t at);
  void decompose_character(utf8proc_int32_t code_point);
  // Composes wide_ and writes it as UTF-8 over itself.
  std::string_view compose_piece();

  std::vector<utf8proc_int32_t> wide_;
  std::size_t wide_size_ = 0;
  std::string folded_;  // a word of several pieces, joined
};

}  // namespace vorpaline_core
