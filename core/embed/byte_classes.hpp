// The tokeniser's view of one text: what every byte is, 64 bytes to a block,
// and the text with its ASCII capitals lower-cased.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorpaline_core {

// Bit i of each mask describes byte i of the block.
struct BlockMasks {
  std::uint64_t upper = 0;  // ASCII A-Z
  std::uint64_t lower = 0;  // ASCII a-z
  std::uint64_t digit = 0;  // ASCII 0-9
  std::uint64_t joiner = 0;  // '_', '-', '.'
  std::uint64_t non_ascii = 0;
  std::uint64_t unicode_word = 0;  // every byte of a non-ASCII word character
};

// The masks of the 64 bytes from some offset on, bit i for byte offset + i.
using Window = BlockMasks;

class ByteClasses {
 public:
  static constexpr std::size_t kBlock = 64;

  // Classifies `text`, which must be valid UTF-8 and outlive the next call.
  void classify(std::string_view text);

  std::string_view text() const { return text_; }
  std::size_t buffer_bytes() const {
    return blocks_.capacity() * sizeof(BlockMasks) + lowered_.capacity();
  }
  std::size_t code_points() const { return code_points_; }

  // The text with A-Z lower-cased and every other byte as it is: an ASCII
  // token folds to a slice of it, with the same offsets. kLoweredSlack bytes
  // past the text may be read.
  const char* lowered() const { return lowered_.data(); }

  // The masks of bytes [at, at + 64), for `at` inside the text; bytes past
  // the text have no class.
  Window window(std::size_t at) const {
    const std::size_t index = at / kBlock;
    const unsigned offset = static_cast<unsigned>(at % kBlock);
    const BlockMasks& low = blocks_[index];
    if (offset == 0) return low;
    const BlockMasks& high = blocks_[index + 1];
    const auto join = [offset](std::uint64_t a, std::uint64_t b) {
      return (a >> offset) | (b << (kBlock - offset));
    };
    return {join(low.upper, high.upper),   join(low.lower, high.lower),
            join(low.digit, high.digit),   join(low.joiner, high.joiner),
            join(low.non_ascii, high.non_ascii), join(low.unicode_word, high.unicode_word)};
  }

  // Bytes past the end of the lowered text that may be read; what they hold
  // is of no meaning.
  static constexpr std::size_t kLoweredSlack = 16;

 private:
  std::size_t block_count() const { return (text_.size() + kBlock - 1) / kBlock; }
  void classify_blocks();
  std::size_t mark_unicode_words(std::size_t block_index);

  std::string_view text_;
  std::size_t code_points_ = 0;
  std::vector<BlockMasks> blocks_;  // a zero block past the text, for window()
  std::vector<char> lowered_;
};

}  // namespace vorpaline_core
