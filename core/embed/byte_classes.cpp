#include "byte_classes.hpp"

#include <cstring>

#include "text_scan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpaline_core {

namespace {

constexpr std::size_t kBlock = ByteClasses::kBlock;

#if defined(__SSE2__)
std::uint64_t mask_of(__m128i bytes) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(bytes));
}

// Bytes in [low, high], with one add and one signed compare: the add moves
// `low` to -128, so the range becomes the signed bytes below high - low - 127.
// Bytes from 0x80 up land above it.
__m128i in_range(__m128i bytes, char low, char high) {
  const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(-128 - low)));
  return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(high - low - 127)));
}

// Classifies 64 bytes and writes them, A-Z lower-cased, to `lowered`.
BlockMasks classify_block(const char* block, char* lowered) {
  BlockMasks masks;
  for (unsigned chunk = 0; chunk < kBlock / 16; ++chunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * chunk));
    const __m128i upper = in_range(bytes, 'A', 'Z');
    const __m128i joiner = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')),
                     _mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'))),
        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.')));
    const unsigned shift = 16 * chunk;
    masks.upper |= mask_of(upper) << shift;
    masks.lower |= mask_of(in_range(bytes, 'a', 'z')) << shift;
    masks.digit |= mask_of(in_range(bytes, '0', '9')) << shift;
    masks.joiner |= mask_of(joiner) << shift;
    masks.non_ascii |= mask_of(bytes) << shift;
    const __m128i folded = _mm_add_epi8(bytes, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lowered + 16 * chunk), folded);
  }
  return masks;
}
#else
BlockMasks classify_block(const char* block, char* lowered) {
  BlockMasks masks;
  for (unsigned i = 0; i < kBlock; ++i) {
    const auto byte = static_cast<unsigned char>(block[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    lowered[i] = block[i];
    if (byte >= 0x80) {
      masks.non_ascii |= bit;
      continue;
    }
    switch (ascii_kind(byte)) {
      case CharKind::Upper:
        masks.upper |= bit;
        lowered[i] = static_cast<char>(byte + ('a' - 'A'));
        break;
      case CharKind::Lower: masks.lower |= bit; break;
      case CharKind::Digit: masks.digit |= bit; break;
      case CharKind::Joiner: masks.joiner |= bit; break;
      default: break;
    }
  }
  return masks;
}
#endif

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

void ByteClasses::classify(std::string_view text) {
  text_ = text;
  const std::size_t blocks = block_count();
  // classify_blocks writes every block's masks: only the one past the text is cleared here.
  blocks_.resize(blocks + 1);
  blocks_[blocks] = BlockMasks{};
  lowered_.resize(blocks * kBlock + kLoweredSlack);
  classify_blocks();
  // Every byte but a UTF-8 continuation byte starts a code point.
  code_points_ = text.size();
  for (std::size_t index = 0; index < blocks; ++index) {
    if (blocks_[index].non_ascii != 0) code_points_ -= mark_unicode_words(index);
  }
}

void ByteClasses::classify_blocks() {
  const std::size_t whole = text_.size() / kBlock;
  for (std::size_t index = 0; index < whole; ++index) {
    blocks_[index] = classify_block(text_.data() + index * kBlock, lowered_.data() + index * kBlock);
  }
  const std::size_t tail = text_.size() % kBlock;
  if (tail == 0) return;
  // The tail is classified from a copy padded with NUL bytes, which separate.
  char padded[kBlock] = {};
  std::memcpy(padded, text_.data() + whole * kBlock, tail);
  blocks_[whole] = classify_block(padded, lowered_.data() + whole * kBlock);
}

// Sets the unicode_word bits of the non-ASCII word characters that start in
// the block; the bits of a character's later bytes may fall in the next block.
// Returns the number of continuation bytes in the block.
std::size_t ByteClasses::mark_unicode_words(std::size_t block_index) {
  std::size_t continuations = 0;
  const char* const end = text_.data() + text_.size();
  const std::size_t block_start = block_index * kBlock;
  std::uint64_t leads = blocks_[block_index].non_ascii;
  while (leads != 0) {
    const std::size_t at = block_start + static_cast<unsigned>(std::countr_zero(leads));
    leads &= leads - 1;
    if (is_continuation(text_[at])) {
      ++continuations;
      continue;
    }
    const CharBits character = char_bits_non_ascii(text_.data() + at, end);
    if (!(character.bits & kWordBits)) continue;
    for (std::size_t byte = at; byte < at + character.bytes; ++byte) {
      blocks_[byte / kBlock].unicode_word |= std::uint64_t{1} << (byte % kBlock);
    }
  }
  return continuations;
}

}  // namespace vorpaline_core
