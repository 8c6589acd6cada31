#include "byte_classes.hpp"

#include <cstring>

#include "block_classify.hpp"
#include "text_scan.hpp"

namespace vorpaline_core {

namespace {

constexpr std::size_t kBlock = ByteClasses::kBlock;

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
  static const ClassifyBlocks classify_run = classify_blocks_for_this_cpu();
  const std::size_t whole = text_.size() / kBlock;
  classify_run(text_.data(), whole, blocks_.data(), lowered_.data());
  const std::size_t tail = text_.size() % kBlock;
  if (tail == 0) return;
  // The tail is classified from a copy padded with NUL bytes, which separate.
  char padded[kBlock] = {};
  std::memcpy(padded, text_.data() + whole * kBlock, tail);
  classify_run(padded, 1, blocks_.data() + whole, lowered_.data() + whole * kBlock);
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
