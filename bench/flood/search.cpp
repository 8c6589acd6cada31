// Finds tokens that crowd the counting tables of a core whose table slots are
// public functions of the token: the previous core placed short tokens by a
// fixed multiplicative hash of their bytes and long ones by the low bits of
// their index. Brute force over counter-made tokens, printed one a line.
//
//   search short COUNT BITS   8-letter tokens whose old short-table hash has
//                             its top BITS bits zero (one slot at any size up
//                             to 2**BITS)
//   search low COUNT BITS     20-letter tokens whose index has its low BITS
//                             bits zero (one slot of the old long-token table)
//   search high COUNT BITS    20-letter tokens whose 31-bit index has its top
//                             BITS bits zero (one bucket of the index sort)
// Inlined, as in the core.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::uint64_t kOldShortMultiplier = 0xD6E8FEB86659FD93ull;

// The token of a counter: its digits in base 26, as letters, `length` of them.
void token_of(std::uint64_t counter, char* token, int length) {
  for (int i = 0; i < length; ++i) {
    token[i] = static_cast<char>('a' + counter % 26);
    counter /= 26;
  }
}

bool old_short_hit(const char* token, unsigned bits) {
  std::uint64_t low;
  std::memcpy(&low, token, 8);  // eight bytes, so the key's high word is 0
  return (low * kOldShortMultiplier) >> (64 - bits) == 0;
}

bool index_hit(const char* token, int length, bool low_bits, unsigned bits) {
  const std::uint32_t index = XXH32(token, static_cast<std::size_t>(length), 0) & 0x7FFFFFFFu;
  return low_bits ? (index & ((1u << bits) - 1)) == 0 : (index >> (31 - bits)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: search short|low|high COUNT BITS\n");
    return 2;
  }
  const std::string_view mode = argv[1];
  const long count = std::atol(argv[2]);
  const unsigned bits = static_cast<unsigned>(std::atoi(argv[3]));
  const int length = mode == "short" ? 8 : 20;
  char token[21] = {};
  long found = 0;
  for (std::uint64_t counter = 0; found < count; ++counter) {
    token_of(counter, token, length);
    const bool hit = mode == "short" ? old_short_hit(token, bits)
                                     : index_hit(token, length, mode == "low", bits);
    if (hit) {
      std::puts(token);
      ++found;
    }
  }
  return 0;
}
