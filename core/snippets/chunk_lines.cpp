#include "snippets/chunk_lines.hpp"

#include <simdjson.h>

#include <cstdint>
#include <cstring>

namespace vorpaline_core::snippets {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 character at the start of `bytes` when `*valid`,
// else the length of the maximal ill-formed part there (at least 1): the lead
// byte's allowed range for the second byte rules out overlong forms,
// surrogates and code points past U+10FFFF.
std::size_t sequence_at(std::string_view bytes, bool* valid) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t size = 0;
  unsigned low = 0x80, high = 0xBF;
  if (lead < 0x80) {
    size = 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *valid = false;
    return 1;
  }
  for (std::size_t i = 1; i < size; ++i) {
    const unsigned byte = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
    if (byte < (i == 1 ? low : 0x80u) || byte > (i == 1 ? high : 0xBFu)) {
      *valid = false;
      return i;
    }
  }
  *valid = true;
  return size;
}

// The code point of the valid UTF-8 character at the start of `bytes`, and its length.
std::uint32_t code_point_at(std::string_view bytes, std::size_t* length) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
  const std::uint32_t lead = byte(0);
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  if (lead < 0xE0) {
    *length = 2;
    return (lead & 0x1F) << 6 | (byte(1) & 0x3F);
  }
  if (lead < 0xF0) {
    *length = 3;
    return (lead & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
  }
  *length = 4;
  return (lead & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
}

// Python's str.isspace(): the Unicode white space of bidirectional class WS,
// B or S, or of category Zs.
bool is_python_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Where line `skip` of `bytes` starts, or npos when it has fewer lines.
std::size_t start_of_line(std::string_view bytes, std::size_t skip) {
  std::size_t at = 0;
  for (std::size_t line = 0; line < skip; ++line) {
    const void* newline = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
    if (newline == nullptr) return std::string_view::npos;
    at = static_cast<std::size_t>(static_cast<const char*>(newline) - bytes.data()) + 1;
  }
  return at;
}

}  // namespace

void append_repaired_utf8(std::string_view bytes, std::string& out) {
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) {
    out.append(bytes);
    return;
  }
  std::size_t clean_from = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    bool valid = false;
    const std::size_t length = sequence_at(bytes.substr(i), &valid);
    if (!valid) {
      out.append(bytes.substr(clean_from, i - clean_from));
      out.append(kReplacement);
      clean_from = i + length;
    }
    i += length;
  }
  out.append(bytes.substr(clean_from));
}

bool is_blank(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    std::size_t length = 1;
    if (!is_python_space(code_point_at(line.substr(i), &length))) return false;
    i += length;
  }
  return true;
}

ChunkLines ChunkLines::of_bytes(std::string_view bytes, std::size_t skip, std::size_t count) {
  ChunkLines lines;
  std::size_t at = start_of_line(bytes, skip);
  if (at == std::string_view::npos || count == 0) return lines;
  // The bytes of the lines wanted, repaired at once: repairing keeps every "\n".
  std::size_t stop = at;
  for (std::size_t line = 0; line < count; ++line) {
    const void* newline = std::memchr(bytes.data() + stop, '\n', bytes.size() - stop);
    if (newline == nullptr) {
      stop = bytes.size();
      break;
    }
    stop = static_cast<std::size_t>(static_cast<const char*>(newline) - bytes.data()) + (line + 1 < count ? 1 : 0);
  }
  std::string text;
  append_repaired_utf8(bytes.substr(at, stop - at), text);
  lines.text_.reserve(text.size());
  std::string_view rest = text;
  while (true) {
    const std::size_t newline = rest.find('\n');
    lines.add(rest.substr(0, newline));
    if (newline == std::string_view::npos) break;
    rest.remove_prefix(newline + 1);
  }
  return lines;
}

ChunkLines ChunkLines::of_given(const std::vector<std::string_view>& given) {
  ChunkLines lines;
  for (std::string_view line : given) {
    lines.text_.append(line);
    lines.ends_.push_back(lines.text_.size());
  }
  return lines;
}

void ChunkLines::add(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  text_.append(line);
  ends_.push_back(text_.size());
}

}  // namespace vorpaline_core::snippets
