// Case folding of one word: NFKC with Unicode case folding, ASCII kept cheap.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <utf8proc.h>

namespace vorpaline_core {

struct FoldedWord {
  std::string_view text;     // valid until the next fold
  std::size_t code_points;
};

// Buffers are reused from word to word, so folding does not allocate per token.
class CaseFolder {
 public:
  FoldedWord fold(std::string_view word, bool ascii);

 private:
  FoldedWord fold_ascii(std::string_view word);
  FoldedWord fold_unicode(std::string_view word);

  std::string ascii_;
  std::vector<utf8proc_int32_t> wide_;  // sized on first use
};

}  // namespace vorpaline_core
