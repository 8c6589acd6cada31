// The ceiling of the core's work on a corpus: each piece of what
// sparse_embed_batch does, written as the tightest loop this machine runs it
// in, timed alone over the whole corpus. Loaded by bench/limits.py through
// ctypes; never shipped.
//
// The pieces, each fed what the one before it made (so that running them in
// order writes the core's own reply, which the harness checks):
//   parse     the batch's JSON array, every text unescaped (simdjson on demand)
//   scan      the same, read in place: each text's end found 64 bytes at a
//             time, only a text with escapes copied (the ceiling takes the
//             faster of parse and scan)
//   copy      every text copied once: the memory's own speed, for reference
//   classify  every byte classified (letters by case, digits, joiners,
//             non-ASCII) with the widest SIMD the CPU has, A-Z lower-cased,
//             code points counted
//   table     one table update per token occurrence, keyed by the token's bytes
//   hash      XXH32 once per distinct term of each text
//   sort      each text's terms sorted by index (LSD radix above a few
//             hundred terms) and equal indices merged
//   reply     the reply written: indices, weights, the window members
#include <simdjson.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kShortToken = 16;

enum Piece { kParse, kCopy, kClassify, kTable, kHash, kSort, kReply, kScan, kPieces };

struct Masks {
  std::uint64_t upper, lower, digit, joiner, non_ascii;
};

struct Token {
  std::uint32_t offset;  // into token_bytes, which pads every token to 16 bytes and more
  std::uint32_t length;
  std::uint32_t tf;
};

struct TermCount {
  std::uint32_t index;
  std::uint64_t tf;
};

struct TextTokens {
  std::size_t first_token, tokens;  // into Corpus::tokens
  std::size_t first_occurrence, occurrences;  // into Corpus::occurrences
};

struct ShortSlot {
  std::uint64_t low, high, tf;
};

// One token occurrence as the table sees it: a short token's 16 zero-padded
// bytes, read in order as the core reads its lowered text; a long one (low
// 0, which no short key has) by its token number.
struct Occurrence {
  std::uint64_t low, high;
};

struct Corpus {
  std::string json;  // padded for simdjson
  std::vector<std::string> texts;  // each padded with zeros to whole blocks and one more
  std::vector<std::size_t> sizes;  // the texts' own sizes
  std::vector<TextTokens> text_tokens;
  std::string token_bytes;
  std::vector<Token> tokens;
  std::vector<Occurrence> occurrences;  // in the order they are counted
  // What the pieces make and hand on.
  std::vector<char> unescaped, copy, lowered;
  std::vector<Masks> masks;
  std::vector<std::size_t> code_points;
  std::vector<ShortSlot> slots;
  std::vector<std::uint32_t> used_slots;
  std::vector<TermCount> terms;  // per distinct token, in token order
  std::vector<TermCount> sorted, scratch;
  std::vector<std::size_t> sorted_sizes;
  std::vector<char> reply;
  std::size_t reply_size = 0;
  std::uint64_t sink = 0;  // results the compiler must not drop
};

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// --- parse -------------------------------------------------------------------

void parse(Corpus& corpus) {
  simdjson::ondemand::parser parser;
  simdjson::padded_string_view padded(corpus.json.data(), corpus.json.size() - simdjson::SIMDJSON_PADDING,
                                      corpus.json.size());
  simdjson::ondemand::document document = parser.iterate(padded);
  simdjson::ondemand::array elements = document.get_array();
  for (auto element : elements) {
    simdjson::ondemand::value value = element.value();
    std::string_view raw = value.raw_json_token();
    if (corpus.unescaped.size() < raw.size() + simdjson::SIMDJSON_PADDING) {
      corpus.unescaped.resize(raw.size() + simdjson::SIMDJSON_PADDING);
    }
    auto* out = reinterpret_cast<std::uint8_t*>(corpus.unescaped.data());
    std::string_view text = parser.unescape(value.get_raw_json_string(), out);
    corpus.sink += text.size();
  }
}

// --- scan: the batch read in place, the other way to parse it -----------------

#if defined(__x86_64__)
// The first quote, backslash or control byte from `at`, 64 bytes at a time.
__attribute__((target("avx512bw,avx512f"))) std::size_t special_avx512(const char* data, std::size_t at,
                                                                        std::size_t size) {
  for (; at + 64 <= size; at += 64) {
    const __m512i bytes = _mm512_loadu_si512(data + at);
    const __mmask64 special = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('"')) |
                              _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\\')) |
                              _mm512_cmple_epu8_mask(bytes, _mm512_set1_epi8(0x1F));
    if (special != 0) return at + static_cast<unsigned>(std::countr_zero(special));
  }
  for (; at < size; ++at) {
    const auto c = static_cast<unsigned char>(data[at]);
    if (c == '"' || c == '\\' || c < 0x20) return at;
  }
  return size;
}
#endif

std::size_t special_scalar(const char* data, std::size_t at, std::size_t size) {
  for (; at < size; ++at) {
    const auto c = static_cast<unsigned char>(data[at]);
    if (c == '"' || c == '\\' || c < 0x20) return at;
  }
  return size;
}

using SpecialSearch = std::size_t (*)(const char*, std::size_t, std::size_t);

// Escapes as json.dumps writes them: the two-character ones and \uXXXX (a
// surrogate pair as two). Returns where the escape ends.
std::size_t unescape_one(const char* data, std::size_t at, std::string& out) {
  const auto hex = [data](std::size_t from) {
    std::uint32_t value = 0;
    for (std::size_t i = from; i < from + 4; ++i) {
      const char c = data[i];
      value = value * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return value;
  };
  const char kind = data[at + 1];
  switch (kind) {
    case 'n': out.push_back('\n'); return at + 2;
    case 't': out.push_back('\t'); return at + 2;
    case 'r': out.push_back('\r'); return at + 2;
    case 'b': out.push_back('\b'); return at + 2;
    case 'f': out.push_back('\f'); return at + 2;
    case 'u': break;
    default: out.push_back(kind); return at + 2;
  }
  std::uint32_t code_point = hex(at + 2);
  at += 6;
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (hex(at + 2) - 0xDC00);
    at += 6;
  }
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
  return at;
}

// The array of strings json.dumps makes, trusted to be well formed: each
// text found by its closing quote, a text with escapes unescaped.
// With `check`, returns how many texts it read otherwise than simdjson did.
std::size_t scan(Corpus& corpus, SpecialSearch special, bool check = false) {
  std::size_t mismatches = 0, text_number = 0;
  const char* const data = corpus.json.data();
  const std::size_t size = corpus.json.size() - simdjson::SIMDJSON_PADDING;
  std::string unescaped;
  std::size_t at = 0;
  while (at < size && data[at] != '"') ++at;
  while (at < size) {
    const std::size_t start = ++at;
    std::size_t end = special(data, at, size);
    std::size_t length = end - start;
    std::string_view text(data + start, length);
    if (data[end] != '"') {
      unescaped.clear();
      while (data[end] != '"') {
        unescaped.append(data + at, end - at);
        at = unescape_one(data, end, unescaped);
        end = special(data, at, size);
      }
      unescaped.append(data + at, end - at);
      length = unescaped.size();
      text = unescaped;
    }
    if (check) {
      const bool same = text_number < corpus.texts.size() && corpus.sizes[text_number] == text.size() &&
                        std::memcmp(corpus.texts[text_number].data(), text.data(), text.size()) == 0;
      mismatches += !same;
    }
    ++text_number;
    corpus.sink += length;
    at = end + 1;
    while (at < size && data[at] != '"') ++at;  // the comma, or the closing bracket
  }
  return mismatches + (text_number != corpus.texts.size());
}

// --- copy --------------------------------------------------------------------

void copy(Corpus& corpus) {
  for (std::size_t i = 0; i < corpus.texts.size(); ++i) {
    std::memcpy(corpus.copy.data(), corpus.texts[i].data(), corpus.sizes[i]);
    corpus.sink += static_cast<unsigned char>(corpus.copy[corpus.sizes[i] / 2]);
  }
}

// --- classify ----------------------------------------------------------------

#if defined(__x86_64__)
__attribute__((target("avx512bw,avx512f"))) void classify_avx512(const char* text, std::size_t blocks,
                                                                   Masks* masks, char* lowered) {
  const __m512i a = _mm512_set1_epi8('A'), z_from_a = _mm512_set1_epi8('Z' - 'A');
  const __m512i lower_a = _mm512_set1_epi8('a'), digit0 = _mm512_set1_epi8('0');
  const __m512i nine = _mm512_set1_epi8(9), case_bit = _mm512_set1_epi8(0x20);
  for (std::size_t block = 0; block < blocks; ++block) {
    const __m512i bytes = _mm512_loadu_si512(text + block * kBlock);
    const __mmask64 upper = _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, a), z_from_a);
    Masks& out = masks[block];
    out.upper = upper;
    out.lower = _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, lower_a), z_from_a);
    out.digit = _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, digit0), nine);
    out.joiner = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('_')) |
                 _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('-')) |
                 _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('.'));
    out.non_ascii = _mm512_movepi8_mask(bytes);
    _mm512_storeu_si512(lowered + block * kBlock, _mm512_mask_add_epi8(bytes, upper, bytes, case_bit));
  }
}

// Signed compares: bytes from 0x80 up are negative and fall outside every range.
__attribute__((target("avx2"))) inline __m256i in_range256(__m256i bytes, char low, char high) {
  return _mm256_and_si256(_mm256_cmpgt_epi8(bytes, _mm256_set1_epi8(static_cast<char>(low - 1))),
                          _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(high + 1)), bytes));
}

__attribute__((target("avx2"))) inline std::uint64_t bits256(__m256i m) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(m)));
}

__attribute__((target("avx2"))) void classify_avx2(const char* text, std::size_t blocks, Masks* masks,
                                                    char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block) {
    Masks out{};
    for (unsigned half = 0; half < 2; ++half) {
      const char* at = text + block * kBlock + 32 * half;
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
      const __m256i upper = in_range256(bytes, 'A', 'Z');
      const unsigned shift = 32 * half;
      out.upper |= bits256(upper) << shift;
      out.lower |= bits256(in_range256(bytes, 'a', 'z')) << shift;
      out.digit |= bits256(in_range256(bytes, '0', '9')) << shift;
      out.joiner |= bits256(_mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('_')),
                                                         _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-'))),
                                         _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.'))))
                   << shift;
      out.non_ascii |= bits256(bytes) << shift;
      const __m256i folded = _mm256_add_epi8(bytes, _mm256_and_si256(upper, _mm256_set1_epi8(0x20)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(lowered + block * kBlock + 32 * half), folded);
    }
    masks[block] = out;
  }
}
#endif

void classify_scalar(const char* text, std::size_t blocks, Masks* masks, char* lowered) {
  for (std::size_t block = 0; block < blocks; ++block) {
    Masks out{};
    for (unsigned i = 0; i < kBlock; ++i) {
      const auto byte = static_cast<unsigned char>(text[block * kBlock + i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      const bool upper = byte >= 'A' && byte <= 'Z';
      out.upper |= upper ? bit : 0;
      out.lower |= (byte >= 'a' && byte <= 'z') ? bit : 0;
      out.digit |= (byte >= '0' && byte <= '9') ? bit : 0;
      out.joiner |= (byte == '_' || byte == '-' || byte == '.') ? bit : 0;
      out.non_ascii |= byte >= 0x80 ? bit : 0;
      lowered[block * kBlock + i] = static_cast<char>(upper ? byte + 0x20 : byte);
    }
    masks[block] = out;
  }
}

using ClassifyLoop = void (*)(const char*, std::size_t, Masks*, char*);

int simd_width() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw")) return 512;
  if (__builtin_cpu_supports("avx2")) return 256;
#endif
  return 64;
}

ClassifyLoop classify_loop() {
#if defined(__x86_64__)
  if (simd_width() == 512) return classify_avx512;
  if (simd_width() == 256) return classify_avx2;
#endif
  return classify_scalar;
}

// Code points: every byte that is not a UTF-8 continuation byte starts one.
std::size_t count_code_points(const Masks* masks, const char* text, std::size_t size) {
  std::size_t continuations = 0;
  for (std::size_t block = 0; block * kBlock < size; ++block) {
    for (std::uint64_t high = masks[block].non_ascii; high != 0; high &= high - 1) {
      const std::size_t at = block * kBlock + static_cast<unsigned>(std::countr_zero(high));
      continuations += at < size && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    }
  }
  return size - continuations;
}

void classify(Corpus& corpus, ClassifyLoop loop) {
  for (std::size_t i = 0; i < corpus.texts.size(); ++i) {
    const std::size_t size = corpus.sizes[i];
    const std::size_t blocks = (size + kBlock - 1) / kBlock;
    loop(corpus.texts[i].data(), blocks, corpus.masks.data(), corpus.lowered.data());
    corpus.code_points[i] = count_code_points(corpus.masks.data(), corpus.texts[i].data(), size);
  }
}

SpecialSearch special_search() {
#if defined(__x86_64__)
  if (simd_width() == 512) return special_avx512;
#endif
  return special_scalar;
}

// --- table -------------------------------------------------------------------

std::uint64_t load64(const char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint64_t fold_product(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kKeyLow = 0x9E3779B97F4A7C15ull, kKeyHigh = 0xC2B2AE3D27D4EB4Full;

// A short token counts by its 16 zero-padded bytes; a longer one by its XXH32,
// which it then needs once per occurrence, as in the core.
void count_text(Corpus& corpus, const TextTokens& text) {
  const std::size_t capacity = std::max<std::size_t>(64, std::bit_ceil(text.tokens * 2 + 1));
  const std::size_t mask = capacity - 1;
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  ShortSlot* slots = corpus.slots.data();
  for (std::size_t k = 0; k < text.occurrences; ++k) {
    auto [low, high] = corpus.occurrences[text.first_occurrence + k];
    if (low == 0) {
      const Token& token = corpus.tokens[high];
      low = XXH32(corpus.token_bytes.data() + token.offset, token.length, 0) | (std::uint64_t{1} << 63);
      high = 0;
    }
    std::size_t slot = static_cast<std::size_t>(fold_product(low ^ kKeyLow, high ^ kKeyHigh) >> shift);
    while (true) {
      ShortSlot& here = slots[slot];
      if (here.low == low && here.high == high) {
        ++here.tf;
        break;
      }
      if (here.low == 0) {
        here = {low, high, 1};
        corpus.used_slots.push_back(static_cast<std::uint32_t>(slot));
        break;
      }
      slot = (slot + 1) & mask;
    }
  }
  for (std::uint32_t slot : corpus.used_slots) {
    corpus.sink += slots[slot].tf;
    slots[slot] = ShortSlot{};
  }
  corpus.used_slots.clear();
}

void table(Corpus& corpus) {
  for (const TextTokens& text : corpus.text_tokens) count_text(corpus, text);
}

// --- hash --------------------------------------------------------------------

void hash(Corpus& corpus) {
  for (std::size_t i = 0; i < corpus.tokens.size(); ++i) {
    const Token& token = corpus.tokens[i];
    corpus.terms[i] = {XXH32(corpus.token_bytes.data() + token.offset, token.length, 0) & 0x7FFFFFFFu, token.tf};
  }
}

// --- sort --------------------------------------------------------------------

// Three passes of 11 bits over the 31-bit indices; from `in` to `out`.
void radix_sort(const TermCount* in, std::size_t size, TermCount* out, TermCount* scratch) {
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::array<std::array<std::uint32_t, kBuckets>, 3> counts{};
  for (std::size_t i = 0; i < size; ++i) {
    for (unsigned pass = 0; pass < 3; ++pass) ++counts[pass][(in[i].index >> (kBits * pass)) & (kBuckets - 1)];
  }
  for (auto& count : counts) {
    std::uint32_t total = 0;
    for (std::uint32_t& bucket : count) total += std::exchange(bucket, total);
  }
  const TermCount* from = in;
  TermCount* targets[3] = {out, scratch, out};
  for (unsigned pass = 0; pass < 3; ++pass) {
    TermCount* to = targets[pass];
    for (std::size_t i = 0; i < size; ++i) to[counts[pass][(from[i].index >> (kBits * pass)) & (kBuckets - 1)]++] = from[i];
    from = to;
  }
}

std::size_t merge_same_index(TermCount* terms, std::size_t size) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (kept > 0 && terms[kept - 1].index == terms[i].index) {
      terms[kept - 1].tf += terms[i].tf;
    } else {
      terms[kept++] = terms[i];
    }
  }
  return kept;
}

void sort(Corpus& corpus) {
  for (std::size_t i = 0; i < corpus.text_tokens.size(); ++i) {
    const TextTokens& text = corpus.text_tokens[i];
    const TermCount* in = corpus.terms.data() + text.first_token;
    TermCount* out = corpus.sorted.data() + text.first_token;
    if (text.tokens > 256) {
      radix_sort(in, text.tokens, out, corpus.scratch.data());
    } else {
      std::copy(in, in + text.tokens, out);
      std::sort(out, out + text.tokens, [](const TermCount& a, const TermCount& b) { return a.index < b.index; });
    }
    corpus.sorted_sizes[i] = merge_same_index(out, text.tokens);
  }
}

// --- reply -------------------------------------------------------------------

struct WeightText {
  char chars[32];
  std::uint8_t size;
};

// The shortest text that reads back as the weight, always with a fraction or
// an exponent, as the core writes it.
std::size_t write_weight(char* out, std::uint64_t tf) {
  const double weight = 1.0 + std::log(static_cast<double>(tf));
  char* end = std::to_chars(out, out + 30, weight).ptr;
  if (std::string_view(out, static_cast<std::size_t>(end - out)).find_first_of(".en") == std::string_view::npos) {
    *end++ = '.';
    *end++ = '0';
  }
  return static_cast<std::size_t>(end - out);
}

const std::array<WeightText, 256>& weights() {
  static const auto made = [] {
    std::array<WeightText, 256> texts{};
    for (std::uint64_t tf = 1; tf < texts.size(); ++tf) texts[tf].size = static_cast<std::uint8_t>(write_weight(texts[tf].chars, tf));
    return texts;
  }();
  return made;
}

char* write_text(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

void reply(Corpus& corpus) {
  const auto& weight_texts = weights();
  char* at = corpus.reply.data();
  at = write_text(at, "{\"embeddings\":[");
  for (std::size_t i = 0; i < corpus.text_tokens.size(); ++i) {
    if (i > 0) *at++ = ',';
    const TermCount* terms = corpus.sorted.data() + corpus.text_tokens[i].first_token;
    const std::size_t size = corpus.sorted_sizes[i];
    at = write_text(at, "{\"indices\":[");
    for (std::size_t k = 0; k < size; ++k) {
      if (k > 0) *at++ = ',';
      at = std::to_chars(at, at + 10, terms[k].index).ptr;
    }
    at = write_text(at, "],\"values\":[");
    for (std::size_t k = 0; k < size; ++k) {
      if (k > 0) *at++ = ',';
      if (terms[k].tf < weight_texts.size()) {
        const WeightText& text = weight_texts[terms[k].tf];
        std::memcpy(at, text.chars, 24);
        at += text.size;
      } else {
        at += write_weight(at, terms[k].tf);
      }
    }
    at = write_text(at, "],\"truncated\":false,\"original_chars\":");
    at = std::to_chars(at, at + 20, corpus.code_points[i]).ptr;
    at = write_text(at, ",\"used_chars\":");
    at = std::to_chars(at, at + 20, corpus.code_points[i]).ptr;
    *at++ = '}';
  }
  at = write_text(at, "]}");
  corpus.reply_size = static_cast<std::size_t>(at - corpus.reply.data());
}

// --- loading -----------------------------------------------------------------

std::uint32_t read_u32(const char*& at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  at += 4;
  return value;
}

// Tokens: per text, a count, then per distinct token its tf, length and bytes
// (little-endian u32s). Occurrences are dealt round-robin, the distinct
// tokens in turn until each has been counted tf times: repeats spread out, as
// in text.
void load_tokens(Corpus& corpus, const char* at, const char* end) {
  while (at < end) {
    TextTokens text{corpus.tokens.size(), read_u32(at), corpus.occurrences.size(), 0};
    for (std::size_t k = 0; k < text.tokens; ++k) {
      const std::uint32_t tf = read_u32(at);
      const std::uint32_t length = read_u32(at);
      corpus.tokens.push_back({static_cast<std::uint32_t>(corpus.token_bytes.size()), length, tf});
      corpus.token_bytes.append(at, length);
      corpus.token_bytes.append(kShortToken, '\0');
      at += length;
    }
    std::vector<std::uint32_t> left;
    for (std::size_t k = 0; k < text.tokens; ++k) left.push_back(corpus.tokens[text.first_token + k].tf);
    for (bool any = true; any;) {
      any = false;
      for (std::size_t k = 0; k < text.tokens; ++k) {
        if (left[k] == 0) continue;
        --left[k];
        any = true;
        const Token& token = corpus.tokens[text.first_token + k];
        const char* bytes = corpus.token_bytes.data() + token.offset;
        corpus.occurrences.push_back(token.length <= kShortToken
                                         ? Occurrence{load64(bytes), load64(bytes + 8)}
                                         : Occurrence{0, text.first_token + k});
      }
    }
    text.occurrences = corpus.occurrences.size() - text.first_occurrence;
    corpus.text_tokens.push_back(text);
  }
}

void size_buffers(Corpus& corpus) {
  std::size_t longest = 0, most_tokens = 0, reply_bytes = 64;
  for (std::string& text : corpus.texts) {
    longest = std::max(longest, text.size());
    corpus.sizes.push_back(text.size());
    text.resize((text.size() + kBlock - 1) / kBlock * kBlock + kBlock, '\0');
  }
  for (const TextTokens& text : corpus.text_tokens) {
    most_tokens = std::max(most_tokens, text.tokens);
    reply_bytes += 128 + text.tokens * 40;
  }
  corpus.copy.resize(longest + 1);
  corpus.lowered.resize(longest + 2 * kBlock);
  corpus.masks.resize(longest / kBlock + 2);
  corpus.code_points.resize(corpus.texts.size());
  corpus.slots.assign(std::max<std::size_t>(64, std::bit_ceil(most_tokens * 2 + 1)), ShortSlot{});
  corpus.terms.resize(corpus.tokens.size());
  corpus.sorted.resize(corpus.tokens.size());
  corpus.scratch.resize(most_tokens);
  corpus.sorted_sizes.resize(corpus.texts.size());
  corpus.reply.resize(reply_bytes);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int ceiling_simd_width() { return simd_width(); }

// The batch JSON (as the core gets it) and the token blob; null on bad input.
__attribute__((visibility("default"))) void* ceiling_open(const char* json, std::size_t json_size,
                                                          const char* tokens, std::size_t tokens_size) {
  auto* corpus = new Corpus;
  corpus->json.assign(json, json_size);
  corpus->json.append(simdjson::SIMDJSON_PADDING, ' ');
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(json, json_size).get(root) || !root.is_array()) {
    delete corpus;
    return nullptr;
  }
  for (simdjson::dom::element element : root.get_array()) corpus->texts.emplace_back(std::string_view(element));
  load_tokens(*corpus, tokens, tokens + tokens_size);
  if (corpus->text_tokens.size() != corpus->texts.size()) {
    delete corpus;
    return nullptr;
  }
  size_buffers(*corpus);
  return corpus;
}

__attribute__((visibility("default"))) void ceiling_close(void* corpus) { delete static_cast<Corpus*>(corpus); }

// Runs one piece over the whole corpus; returns the calling thread's CPU seconds.
__attribute__((visibility("default"))) double ceiling_run(void* opaque, int piece) {
  Corpus& corpus = *static_cast<Corpus*>(opaque);
  static const ClassifyLoop loop = classify_loop();
  static const SpecialSearch search = special_search();
  const double start = thread_seconds();
  switch (piece) {
    case kParse: parse(corpus); break;
    case kCopy: copy(corpus); break;
    case kClassify: classify(corpus, loop); break;
    case kTable: table(corpus); break;
    case kHash: hash(corpus); break;
    case kSort: sort(corpus); break;
    case kReply: reply(corpus); break;
    case kScan: scan(corpus, search); break;
    default: return -1.0;
  }
  return thread_seconds() - start;
}

// How many texts the scan reads otherwise than simdjson (0, or it is wrong).
__attribute__((visibility("default"))) std::size_t ceiling_scan_mismatches(void* opaque) {
  return scan(*static_cast<Corpus*>(opaque), special_search(), true);
}

// The reply the last run of `reply` wrote.
__attribute__((visibility("default"))) std::size_t ceiling_reply(void* opaque, const char** data) {
  Corpus& corpus = *static_cast<Corpus*>(opaque);
  *data = corpus.reply.data();
  return corpus.reply_size;
}

}  // extern "C"
