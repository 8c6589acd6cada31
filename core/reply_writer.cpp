#include "reply_writer.hpp"

#include <charconv>
#include <stdexcept>

namespace vorpaline_core {

void append_uint(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void append_float(std::string& out, double value) {
  char text[40];
  const auto result = std::to_chars(text, text + sizeof text, value);
  if (result.ec != std::errc()) throw std::runtime_error("cannot format a weight");
  const std::string_view written(text, static_cast<std::size_t>(result.ptr - text));
  out.append(written);
  if (written.find_first_of(".en") == std::string_view::npos) out.append(".0");
}

void append_bool(std::string& out, bool value) { out.append(value ? "true" : "false"); }

void append_string(std::string& out, std::string_view text) {
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
