#include "run_scan.hpp"

#include <bit>
#include <cstdint>

#include "text_scan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpaline_core {

namespace {

constexpr std::size_t kBlock = 64;

// Which bytes of a 64-byte block are of which ASCII kind (bit i for byte i).
struct BlockMasks {
  std::uint64_t non_ascii = 0;
  std::uint64_t upper = 0;
  std::uint64_t lower = 0;
  std::uint64_t digit = 0;
  std::uint64_t joiner = 0;
};

#if defined(__SSE2__)
std::uint64_t mask_of(__m128i bytes) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(bytes));
}

// Signed compares leave bytes from 0x80 up (negative) outside every range.
__m128i in_range(__m128i bytes, char low, char high) {
  return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(low - 1))),
                       _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(high + 1))));
}

BlockMasks classify_block(const char* block) {
  BlockMasks masks;
  for (unsigned chunk = 0; chunk < kBlock / 16; ++chunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * chunk));
    const __m128i joiner = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'))),
        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.')));
    const unsigned shift = 16 * chunk;
    masks.non_ascii |= mask_of(bytes) << shift;
    masks.upper |= mask_of(in_range(bytes, 'A', 'Z')) << shift;
    masks.lower |= mask_of(in_range(bytes, 'a', 'z')) << shift;
    masks.digit |= mask_of(in_range(bytes, '0', '9')) << shift;
    masks.joiner |= mask_of(joiner) << shift;
  }
  return masks;
}
#else
BlockMasks classify_block(const char* block) {
  BlockMasks masks;
  for (unsigned i = 0; i < kBlock; ++i) {
    const auto byte = static_cast<unsigned char>(block[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (byte >= 0x80) {
      masks.non_ascii |= bit;
      continue;
    }
    switch (ascii_kind(byte)) {
      case CharKind::Upper: masks.upper |= bit; break;
      case CharKind::Lower: masks.lower |= bit; break;
      case CharKind::Digit: masks.digit |= bit; break;
      case CharKind::Joiner: masks.joiner |= bit; break;
      default: break;
    }
  }
  return masks;
}
#endif

// Bits [from, to) of a 64-bit mask, 0 <= from <= to <= 64.
std::uint64_t bit_range(unsigned from, unsigned to) {
  const std::uint64_t below_to = to == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << to) - 1;
  return below_to & (~std::uint64_t{0} << from);
}

// The scan state: a run may be open across blocks and across the two scanners.
class Scanner {
 public:
  Scanner(std::string_view text, unsigned run_bits, RunHandler& handler)
      : text_(text), run_bits_(run_bits), handler_(handler) {}

  void scan() {
    while (text_.size() - at_ >= kBlock) {
      const BlockMasks masks = classify_block(text_.data() + at_);
      if (masks.non_ascii != 0) {
        scan_chars(at_ + kBlock);
      } else {
        scan_ascii_block(masks);
      }
    }
    scan_chars(text_.size());
    if (open_) close(text_.size());
  }

 private:
  void open(std::size_t start, unsigned kinds) {
    open_ = true;
    start_ = start;
    kinds_ = kinds;
  }

  void close(std::size_t end) {
    open_ = false;
    handler_.on_run({start_, end, kinds_});
  }

  // Character by character, until at least `limit`; handles any UTF-8.
  void scan_chars(std::size_t limit) {
    const char* const end = text_.data() + text_.size();
    while (at_ < limit) {
      const CharBits character = char_bits_at(text_.data() + at_, end);
      if (character.bits & run_bits_) {
        if (!open_) open(at_, 0);
        kinds_ |= character.bits;
      } else if (open_) {
        close(at_);
      }
      at_ += character.bytes;
    }
  }

  unsigned kinds_in(const BlockMasks& masks, std::uint64_t range) const {
    unsigned kinds = 0;
    if (masks.upper & range) kinds |= kind_bit(CharKind::Upper);
    if (masks.lower & range) kinds |= kind_bit(CharKind::Lower);
    if (masks.digit & range) kinds |= kind_bit(CharKind::Digit);
    if (masks.joiner & range) kinds |= kind_bit(CharKind::Joiner);
    return kinds & run_bits_;
  }

  // A pure-ASCII block: runs are stretches of set bits, found without a
  // branch per byte.
  void scan_ascii_block(const BlockMasks& masks) {
    std::uint64_t in_run = masks.upper | masks.lower | masks.digit;
    if (run_bits_ & kind_bit(CharKind::Joiner)) in_run |= masks.joiner;
    unsigned from = 0;
    while (from < kBlock) {
      if (!open_) {
        const std::uint64_t starts = in_run & bit_range(from, kBlock);
        if (starts == 0) break;
        from = static_cast<unsigned>(std::countr_zero(starts));
        open(at_ + from, 0);
      }
      const std::uint64_t stops = ~in_run & bit_range(from, kBlock);
      const unsigned to = stops == 0 ? kBlock : static_cast<unsigned>(std::countr_zero(stops));
      kinds_ |= kinds_in(masks, bit_range(from, to));
      if (to == kBlock) break;  // the run goes on in the next block
      close(at_ + to);
      from = to;
    }
    at_ += kBlock;
  }

  std::string_view text_;
  unsigned run_bits_;
  RunHandler& handler_;
  std::size_t at_ = 0;
  bool open_ = false;
  std::size_t start_ = 0;
  unsigned kinds_ = 0;
};

}  // namespace

void scan_runs(std::string_view text, unsigned run_bits, RunHandler& handler) {
  Scanner(text, run_bits, handler).scan();
}

}  // namespace vorpaline_core
