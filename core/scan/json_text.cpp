#include "json_text.hpp"

namespace vorpaline_core::scan {

std::int32_t decode_utf8(std::string_view bytes, std::size_t* length) {
  const auto at = [&](std::size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u; };
  const unsigned lead = at(0);
  // The range the second byte must fall in depends on the lead byte: that
  // rules out overlong forms, surrogates and code points past U+10FFFF.
  unsigned low = 0x80;
  unsigned high = 0xBF;
  std::size_t size = 0;
  std::int32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    code_point = static_cast<std::int32_t>(lead & 0x1F);
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    code_point = static_cast<std::int32_t>(lead & 0x0F);
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    code_point = static_cast<std::int32_t>(lead & 0x07);
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t i = 1; i < size; ++i) {
    const unsigned byte = at(i);
    if (byte < (i == 1 ? low : 0x80u) || byte > (i == 1 ? high : 0xBFu)) return -1;
    code_point = (code_point << 6) | static_cast<std::int32_t>(byte & 0x3F);
  }
  *length = size;
  return code_point;
}

}  // namespace vorpaline_core::scan
