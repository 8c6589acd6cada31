#include "case_fold.hpp"

#include <new>
#include <stdexcept>

#include "text_scan.hpp"

namespace vorpaline_core {

namespace {

// NFKC with case folding: "ﬁ", "Ｆｉ" and "FI" all become "fi".
constexpr auto kFoldOptions = static_cast<utf8proc_option_t>(
    UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD);

utf8proc_ssize_t decompose(std::string_view word, std::vector<utf8proc_int32_t>& into) {
  return utf8proc_decompose(reinterpret_cast<const utf8proc_uint8_t*>(word.data()),
                            static_cast<utf8proc_ssize_t>(word.size()), into.data(),
                            static_cast<utf8proc_ssize_t>(into.size()), kFoldOptions);
}

void check(utf8proc_ssize_t result) {
  if (result == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
  if (result < 0) throw std::runtime_error(utf8proc_errmsg(result));
}

}  // namespace

FoldedWord CaseFolder::fold(std::string_view word) {
  utf8proc_ssize_t length = decompose(word, wide_);
  check(length);
  // Re-encoding in place needs one spare slot for its terminator.
  if (static_cast<std::size_t>(length) + 1 > wide_.size()) {
    wide_.resize(static_cast<std::size_t>(length) + 1);
    length = decompose(word, wide_);
    check(length);
  }
  const utf8proc_ssize_t bytes = utf8proc_reencode(wide_.data(), length, kFoldOptions);
  check(bytes);
  const std::string_view text(reinterpret_cast<const char*>(wide_.data()),
                              static_cast<std::size_t>(bytes));
  return {text, count_code_points(text)};
}

}  // namespace vorpaline_core
