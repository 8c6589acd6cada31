// Character classes and code point counts over UTF-8 text.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorpaline_core {

// What a character is to the tokeniser. Word characters are letters (split by
// case), decimal digits and combining marks; joiners link words into identifiers.
enum class CharKind : std::uint8_t { Separator, Joiner, Upper, Lower, Caseless, Digit, Mark };

constexpr unsigned kind_bit(CharKind kind) { return 1u << static_cast<unsigned>(kind); }

// Set in a character's bits when it is not ASCII.
constexpr unsigned kNonAsciiBit = 1u << 8;
constexpr unsigned kWordBits = kind_bit(CharKind::Upper) | kind_bit(CharKind::Lower) |
                               kind_bit(CharKind::Caseless) | kind_bit(CharKind::Digit) |
                               kind_bit(CharKind::Mark);

// ASCII: letters and digits are words; '_', '-' and '.' join; the rest separates.
constexpr CharKind ascii_kind(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return CharKind::Upper;
  if (c >= 'a' && c <= 'z') return CharKind::Lower;
  if (c >= '0' && c <= '9') return CharKind::Digit;
  if (c == '_' || c == '-' || c == '.') return CharKind::Joiner;
  return CharKind::Separator;
}

inline constexpr auto kAsciiBits = [] {
  std::array<unsigned, 128> bits{};
  for (unsigned c = 0; c < bits.size(); ++c) {
    bits[c] = kind_bit(ascii_kind(static_cast<unsigned char>(c)));
  }
  return bits;
}();

struct CharBits {
  unsigned bits;  // kind_bit of the character's kind, plus kNonAsciiBit
  unsigned bytes;  // length of the character in UTF-8
};

CharBits char_bits_non_ascii(const char* at, const char* end);

// The kind of the character at `at` (before `end`) as a bit set, and its length.
inline CharBits char_bits_at(const char* at, const char* end) {
  const auto byte = static_cast<unsigned char>(*at);
  if (byte < 0x80) return {kAsciiBits[byte], 1};
  return char_bits_non_ascii(at, end);
}

inline CharKind kind_of(CharBits character) {
  return static_cast<CharKind>(std::countr_zero(character.bits & ~kNonAsciiBit));
}

// Number of code points in valid UTF-8 text.
std::size_t count_code_points(std::string_view text);

// The first `limit` code points of valid UTF-8 text.
std::string_view first_code_points(std::string_view text, std::uint64_t limit);

}  // namespace vorpaline_core
