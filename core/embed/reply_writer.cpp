#include "reply_writer.hpp"

#include <charconv>
#include <stdexcept>

namespace vorpaline_core {

char* write_uint(char* out, std::uint64_t value) {
  return std::to_chars(out, out + kMaxUintChars, value).ptr;
}

char* write_float(char* out, double value) {
  const auto result = std::to_chars(out, out + kMaxFloatChars - 2, value);
  if (result.ec != std::errc()) throw std::runtime_error("cannot format a weight");
  const std::string_view written(out, static_cast<std::size_t>(result.ptr - out));
  char* end = result.ptr;
  if (written.find_first_of(".en") == std::string_view::npos) {
    *end++ = '.';
    *end++ = '0';
  }
  return end;
}

void append_uint(ReplyBuffer& out, std::uint64_t value) {
  char digits[kMaxUintChars];
  out.append({digits, write_uint(digits, value)});
}

void append_float(ReplyBuffer& out, double value) {
  char text[kMaxFloatChars];
  out.append({text, write_float(text, value)});
}

void append_bool(ReplyBuffer& out, bool value) { out.append(value ? "true" : "false"); }

void append_string(ReplyBuffer& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

}  // namespace vorpaline_core
