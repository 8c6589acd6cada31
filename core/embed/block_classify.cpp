#include "block_classify.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text_scan.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorpaline_core {

namespace {

constexpr std::size_t kBlock = ByteClasses::kBlock;

#if defined(__x86_64__)
std::uint64_t mask_of(__m128i bytes) { return static_cast<std::uint16_t>(_mm_movemask_epi8(bytes)); }

// Bytes in [low, high], with one add and one signed compare: the add moves
// `low` to -128, so the range becomes the signed bytes below high - low - 127.
// Bytes from 0x80 up land above it.
__m128i in_range(__m128i bytes, char low, char high) {
  const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(-128 - low)));
  return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(high - low - 127)));
}

void classify_sse2(const char* text, std::size_t blocks, BlockMasks* out, char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block, text += kBlock, lowered += kBlock) {
    BlockMasks masks;
    for (unsigned chunk = 0; chunk < kBlock / 16; ++chunk) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16 * chunk));
      const __m128i upper = in_range(bytes, 'A', 'Z');
      const __m128i joiner = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')),
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
    out[block] = masks;
  }
}

#define VORPALINE_AVX2 __attribute__((target("avx2")))

VORPALINE_AVX2 std::uint64_t mask_of(__m256i bytes) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
}

VORPALINE_AVX2 __m256i in_range(__m256i bytes, char low, char high) {
  const __m256i shifted = _mm256_add_epi8(bytes, _mm256_set1_epi8(static_cast<char>(-128 - low)));
  return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(high - low - 127)), shifted);
}

VORPALINE_AVX2 void classify_avx2(const char* text, std::size_t blocks, BlockMasks* out, char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block, text += kBlock, lowered += kBlock) {
    BlockMasks masks;
    for (unsigned half = 0; half < 2; ++half) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 32 * half));
      const __m256i upper = in_range(bytes, 'A', 'Z');
      const __m256i joiner = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('_')),
                                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-'))),
                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.')));
      const unsigned shift = 32 * half;
      masks.upper |= mask_of(upper) << shift;
      masks.lower |= mask_of(in_range(bytes, 'a', 'z')) << shift;
      masks.digit |= mask_of(in_range(bytes, '0', '9')) << shift;
      masks.joiner |= mask_of(joiner) << shift;
      masks.non_ascii |= mask_of(bytes) << shift;
      const __m256i folded = _mm256_add_epi8(bytes, _mm256_and_si256(upper, _mm256_set1_epi8(0x20)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lowered + 32 * half), folded);
    }
    out[block] = masks;
  }
}

#define VORPALINE_AVX512 __attribute__((target("avx512f,avx512bw")))

// Bytes in [low, high]: unsigned, so bytes below `low` wrap round to the top.
VORPALINE_AVX512 __mmask64 in_range(__m512i bytes, char low, char high) {
  return _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(low)),
                                _mm512_set1_epi8(static_cast<char>(high - low)));
}

// One block per instruction of each kind, the masks straight from the compares.
VORPALINE_AVX512 void classify_avx512(const char* text, std::size_t blocks, BlockMasks* out, char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block, text += kBlock, lowered += kBlock) {
    const __m512i bytes = _mm512_loadu_si512(text);
    const __mmask64 upper = in_range(bytes, 'A', 'Z');
    BlockMasks& masks = out[block];
    masks.upper = upper;
    masks.lower = in_range(bytes, 'a', 'z');
    masks.digit = in_range(bytes, '0', '9');
    masks.joiner = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('_')) |
                   _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('-')) |
                   _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('.'));
    masks.non_ascii = _mm512_movepi8_mask(bytes);
    masks.unicode_word = 0;
    _mm512_storeu_si512(lowered, _mm512_mask_add_epi8(bytes, upper, bytes, _mm512_set1_epi8(0x20)));
  }
}
#else
void classify_portable(const char* text, std::size_t blocks, BlockMasks* out, char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block, text += kBlock, lowered += kBlock) {
    BlockMasks masks;
    for (unsigned i = 0; i < kBlock; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      lowered[i] = text[i];
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
    out[block] = masks;
  }
}
#endif

#if defined(__x86_64__)
// VORPALINE_CORE_SIMD=sse2 or avx2 holds the core to narrower loops than the
// CPU has, so that each can be tested on any machine; it never widens them.
int widest_allowed() {
  const char* asked = std::getenv("VORPALINE_CORE_SIMD");
  if (asked != nullptr && std::strcmp(asked, "sse2") == 0) return 128;
  if (asked != nullptr && std::strcmp(asked, "avx2") == 0) return 256;
  return 512;
}
#endif

}  // namespace

ClassifyBlocks classify_blocks_for_this_cpu() {
#if defined(__x86_64__)
  static const ClassifyBlocks chosen = [] {
    __builtin_cpu_init();
    const int widest = widest_allowed();
    if (widest >= 512 && __builtin_cpu_supports("avx512bw")) return classify_avx512;
    if (widest >= 256 && __builtin_cpu_supports("avx2")) return classify_avx2;
    return classify_sse2;
  }();
  return chosen;
#else
  return classify_portable;
#endif
}

}  // namespace vorpaline_core
