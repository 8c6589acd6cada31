#include "line_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpaline_core::chunk {

namespace {

constexpr int kTabWidth = 8;

enum ByteClass : std::uint8_t { kOther, kSpace, kTab, kZeroWidth };

constexpr auto kLeadingBytes = [] {
  std::array<ByteClass, 256> classes{};
  classes[' '] = kSpace;
  classes['\t'] = kTab;
  classes['\r'] = kZeroWidth;
  classes['\f'] = kZeroWidth;
  classes['\v'] = kZeroWidth;
  return classes;
}();

constexpr auto kIdentifierBytes = [] {
  std::array<bool, 256> identifier{};
  for (int c = 'a'; c <= 'z'; ++c) identifier[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) identifier[c] = true;
  for (int c = '0'; c <= '9'; ++c) identifier[c] = true;
  identifier['_'] = true;
  identifier['$'] = true;
  // Bytes of non-ASCII characters: "end" followed by one is a longer name.
  for (int c = 0x80; c < 0x100; ++c) identifier[c] = true;
  return identifier;
}();

// Whether the line at `at` (its first non-blank byte) opens with `word` used
// as a keyword: not the start of a longer name, and not a name being assigned
// or whose member is taken (`done = True`, `end.x`).
template <std::size_t N>
bool opens_with(const char* at, const char* end, const char (&word)[N]) {
  constexpr std::size_t length = N - 1;
  if (static_cast<std::size_t>(end - at) < length || std::memcmp(at, word, length) != 0) {
    return false;
  }
  const char* after = at + length;
  if (after == end) return true;
  if (kIdentifierBytes[static_cast<unsigned char>(*after)]) return false;
  while (after != end && (*after == ' ' || *after == '\t')) ++after;
  return after == end || (*after != '=' && *after != '.');
}

// The flags of a line whose first non-blank byte is at `at`. Dispatched on
// the first two bytes: most lines are compared with no keyword at all.
LineShape flags_of(const char* at, const char* end) {
  const char second = end - at >= 2 ? at[1] : '\0';
  switch (at[0]) {
    case '}':
    case ')':
    case ']':
      return kCloserFlag;
    case '<':
      return second == '/' ? kCloserFlag : 0;
    case 'c':
      return opens_with(at, end, "catch") ? kContinuationFlag : 0;
    case 'd':
      return opens_with(at, end, "done") ? kCloserFlag : 0;
    case 'f':
      if (opens_with(at, end, "fi")) return kCloserFlag;
      return opens_with(at, end, "finally") ? kContinuationFlag : 0;
    case 'r':
      return opens_with(at, end, "rescue") ? kContinuationFlag : 0;
    case 'e':
      switch (second) {
        case 'l':
          return opens_with(at, end, "else") || opens_with(at, end, "elif") ||
                         opens_with(at, end, "elsif") || opens_with(at, end, "elseif")
                     ? kContinuationFlag
                     : 0;
        case 'x':
          return opens_with(at, end, "except") ? kContinuationFlag : 0;
        case 's':
          return opens_with(at, end, "esac") ? kCloserFlag : 0;
        case 'n':
          if (opens_with(at, end, "ensure")) return kContinuationFlag;
          return opens_with(at, end, "end") || opens_with(at, end, "endif") ||
                         opens_with(at, end, "endfor") || opens_with(at, end, "endwhile") ||
                         opens_with(at, end, "endfunction") || opens_with(at, end, "endmodule") ||
                         opens_with(at, end, "endcase") || opens_with(at, end, "endclass")
                     ? kCloserFlag
                     : 0;
        default:
          return 0;
      }
    case '#':
      if (second != 'e') return 0;
      if (opens_with(at, end, "#endif")) return kCloserFlag;
      return opens_with(at, end, "#else") || opens_with(at, end, "#elif") ||
                     opens_with(at, end, "#elifdef") || opens_with(at, end, "#elifndef")
                 ? kContinuationFlag
                 : 0;
    default:
      return 0;
  }
}

// The shape of the line [begin, end); the text goes on to `limit`, so that
// a run of spaces is counted eight bytes at a time while eight remain.
LineShape shape_of_line(const char* begin, const char* end, const char* limit) {
  const char* at = begin;
  constexpr std::uint64_t kSpaces = 0x2020202020202020u;
  while (limit - at >= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    const std::uint64_t different = word ^ kSpaces;
    if (different != 0) {
      at += std::countr_zero(different) / 8;  // little-endian: the first byte is the lowest
      break;
    }
    at += 8;
  }
  if (at > end) at = end;
  std::uint32_t columns = static_cast<std::uint32_t>(std::min<std::ptrdiff_t>(at - begin, kMaxIndent));
  for (; at != end; ++at) {
    const ByteClass byte = kLeadingBytes[static_cast<unsigned char>(*at)];
    if (byte == kOther) break;
    if (byte == kSpace) {
      ++columns;
    } else if (byte == kTab) {
      columns += kTabWidth - columns % kTabWidth;
    }
    if (columns > kMaxIndent) columns = kMaxIndent - kMaxIndent % kTabWidth;
  }
  if (at == end) return kBlankLine;
  return columns << 2 | flags_of(at, end);
}

// Bit i set where byte i of the 64 at `block` is '\n'.
#if defined(__SSE2__)
std::uint64_t newline_mask(const char* block) {
  const __m128i newline = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (int part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
    const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
    mask |= static_cast<std::uint64_t>(bits) << (16 * part);
  }
  return mask;
}
#endif

}  // namespace

void LineTable::read(std::string_view text) {
  starts_.clear();
  shapes_.clear();
  // Source code runs to some 30 bytes a line: one reservation covers most texts.
  const std::size_t expected_lines = text.size() / 24 + 2;
  starts_.reserve(expected_lines + 1);
  shapes_.reserve(expected_lines);

  const char* const data = text.data();
  const char* const end = data + text.size();
  const char* line = data;
  const char* content = data;  // where the line's bytes start, past a byte order mark
  if (text.size() >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) content += 3;
  const auto add_line = [&](const char* line_end) {
    starts_.push_back(static_cast<std::size_t>(line - data));
    shapes_.push_back(shape_of_line(content, line_end, end));
    line = line_end + 1;
    content = line;
  };
  const char* scanned = data;
#if defined(__SSE2__)
  // Newlines found 64 bytes at a time: lines are too short for a call each.
  for (; end - scanned >= 64; scanned += 64) {
    for (std::uint64_t mask = newline_mask(scanned); mask != 0; mask &= mask - 1) {
      add_line(scanned + std::countr_zero(mask));
    }
  }
#endif
  while (const void* newline = scanned == end ? nullptr
                               : std::memchr(scanned, '\n', static_cast<std::size_t>(end - scanned))) {
    add_line(static_cast<const char*>(newline));
    scanned = line;
  }
  starts_.push_back(static_cast<std::size_t>(line - data));
  shapes_.push_back(shape_of_line(content, end, end));
  starts_.push_back(text.size());
}

}  // namespace vorpaline_core::chunk
