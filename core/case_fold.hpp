// Case folding of one word: NFKC with Unicode case folding.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include <utf8proc.h>

namespace vorpaline_core {

struct FoldedWord {
  std::string_view text;     // valid until the next fold
  std::size_t code_points;
};

// The buffer is reused from word to word, so folding does not allocate per
// token. ASCII words need none of this: the tokenizer lower-cases them itself.
class CaseFolder {
 public:
  FoldedWord fold(std::string_view word);

 private:
  std::vector<utf8proc_int32_t> wide_;  // sized on first use
};

}  // namespace vorpaline_core
