// The lines of a text as the chunker sees them: where each one starts, and
// its shape (blank, or its indentation and whether it opens with a closing
// bracket or keyword).
//
// Lines end at '\n'; a '\r' before it is part of the line. A text of n
// newlines has n + 1 lines, as str.split('\n') gives them, the last one empty
// when the text ends with a newline. Leading whitespace is spaces, tabs,
// '\r', '\f' and '\v'; a space is one column, a tab goes on to the next
// multiple of 8 (as Python's tokenizer counts them), the others add none. A
// line of only such bytes is blank. A UTF-8 byte order mark opening the text
// counts as no byte of the first line's indentation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorpaline_core::chunk {

// A line's shape packed in 32 bits: the indentation in columns above two
// flag bits, or kBlankLine.
using LineShape = std::uint32_t;

inline constexpr LineShape kBlankLine = UINT32_MAX;
// Opens with '}', ')', ']', "</", or a keyword that ends a block (end, fi,
// done, esac, endif, ..., #endif): it ends what came before, never starts.
inline constexpr LineShape kCloserFlag = 1;
// Opens with a keyword that goes on with the block before it (else, elif,
// except, finally, catch, ..., #else): never starts anything.
inline constexpr LineShape kContinuationFlag = 2;
// Deeper indentation is counted as this many columns: nothing compares deeper.
inline constexpr std::uint32_t kMaxIndent = (1u << 29) - 1;

inline constexpr std::uint32_t indent_of(LineShape shape) { return shape >> 2; }
inline constexpr bool is_blank(LineShape shape) { return shape == kBlankLine; }
inline constexpr bool is_closer(LineShape shape) { return (shape & kCloserFlag) != 0; }
// A line that must stay with the block before it.
inline constexpr bool never_starts(LineShape shape) {
  return (shape & (kCloserFlag | kContinuationFlag)) != 0;
}

class LineTable {
 public:
  // Reads `text` afresh, keeping the memory of earlier reads. Throws
  // std::bad_alloc only.
  void read(std::string_view text);

  std::size_t count() const { return shapes_.size(); }
  LineShape shape(std::size_t line) const { return shapes_[line]; }
  // Byte offset of the first byte of `line`; start(count()) is the text's size.
  std::size_t start(std::size_t line) const { return starts_[line]; }
  // Bytes of lines first..last, the last one's '\n' included.
  std::size_t bytes(std::size_t first, std::size_t last) const {
    return starts_[last + 1] - starts_[first];
  }

 private:
  std::vector<std::size_t> starts_;  // count() + 1 entries
  std::vector<LineShape> shapes_;
};

}  // namespace vorpaline_core::chunk
