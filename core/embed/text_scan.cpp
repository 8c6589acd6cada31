#include "text_scan.hpp"

#include <utf8proc.h>

namespace vorpaline_core {

namespace {

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

CharKind kind_of_category(utf8proc_category_t category) {
  switch (category) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LT: return CharKind::Upper;
    case UTF8PROC_CATEGORY_LL: return CharKind::Lower;
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO: return CharKind::Caseless;
    case UTF8PROC_CATEGORY_ND: return CharKind::Digit;
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME: return CharKind::Mark;
    default: return CharKind::Separator;
  }
}

}  // namespace

CharBits char_bits_non_ascii(const char* at, const char* end) {
  utf8proc_int32_t code_point = 0;
  const utf8proc_ssize_t length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(at),
                                                   end - at, &code_point);
  // Input is valid UTF-8 by the time it gets here; a bad byte would just separate.
  if (length <= 0) return {kind_bit(CharKind::Separator) | kNonAsciiBit, 1};
  return {kind_bit(kind_of_category(utf8proc_category(code_point))) | kNonAsciiBit,
          static_cast<unsigned>(length)};
}

std::size_t count_code_points(std::string_view text) {
  std::size_t count = 0;
  for (char byte : text) count += !is_continuation(byte);
  return count;
}

std::string_view first_code_points(std::string_view text, std::uint64_t limit) {
  if (limit == 0) return text.substr(0, 0);
  std::uint64_t seen = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (!is_continuation(text[at]) && seen++ == limit) return text.substr(0, at);
  }
  return text;
}

}  // namespace vorpaline_core
