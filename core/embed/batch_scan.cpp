// read_batch_texts: the texts of a batch read straight from its JSON text.
//
// simdjson reads past the end of its input, so it needs a padded copy of the
// whole batch: as much memory again as the texts. The batches come from
// json.dumps, a plain shape (an array of strings), which this reads in place
// instead: a text without escapes is handed over as a slice of the JSON
// text, one with escapes is unescaped into one reused buffer. Anything else,
// or anything doubtful (a surrogate escape without its pair, a control byte,
// trailing content, a batch too large for simdjson), is left to BatchTexts,
// which accepts and rejects exactly what it always did.
#include <cstddef>
#include <cstdint>
#include <string>

#include "batch_texts.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorpaline_core {

namespace {

constexpr std::size_t kFailed = static_cast<std::size_t>(-1);
// simdjson's largest document; a larger batch is refused there, as always.
constexpr std::size_t kMaxBatchBytes = 0xFFFFFFFFu;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view json, std::size_t at) {
  while (at < json.size() && is_space(json[at])) ++at;
  return at;
}

bool ends_plain_run(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// The first quote, backslash or control byte from `at` on, or the end.
std::size_t plain_run_end(std::string_view json, std::size_t at) {
  const char* const data = json.data();
#if defined(__SSE2__)
  for (; at + 16 <= json.size(); at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    const __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
        control);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (mask != 0) return at + static_cast<unsigned>(__builtin_ctz(mask));
  }
#endif
  while (at < json.size() && !ends_plain_run(static_cast<unsigned char>(data[at]))) ++at;
  return at;
}

// The four hex digits at `at`, or -1.
long hex4(std::string_view json, std::size_t at) {
  if (at + 4 > json.size()) return -1;
  long value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = json[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

void append_utf8(std::string& out, long code_point) {
  const auto byte = [](long value) { return static_cast<char>(value); };
  if (code_point < 0x80) {
    out.push_back(byte(code_point));
  } else if (code_point < 0x800) {
    out.push_back(byte(0xC0 | (code_point >> 6)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(byte(0xE0 | (code_point >> 12)));
    out.push_back(byte(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(byte(0xF0 | (code_point >> 18)));
    out.push_back(byte(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(byte(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (code_point & 0x3F)));
  }
}

// A \u escape from its 'u' at `at`: where it ends, or kFailed for a surrogate
// without its pair.
std::size_t unicode_escape(std::string_view json, std::size_t at, std::string& out) {
  long code_point = hex4(json, at + 1);
  at += 5;
  if (code_point >= 0xDC00 && code_point <= 0xDFFF) return kFailed;
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    if (at + 2 > json.size() || json[at] != '\\' || json[at + 1] != 'u') return kFailed;
    const long low = hex4(json, at + 2);
    if (low < 0xDC00 || low > 0xDFFF) return kFailed;
    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
    at += 6;
  }
  if (code_point < 0) return kFailed;
  append_utf8(out, code_point);
  return at;
}

// The escape whose backslash is at `at`: where it ends, or kFailed.
std::size_t escape(std::string_view json, std::size_t at, std::string& out) {
  if (at + 1 >= json.size()) return kFailed;
  const char kind = json[at + 1];
  switch (kind) {
    case '"': case '\\': case '/': out.push_back(kind); break;
    case 'b': out.push_back('\b'); break;
    case 'f': out.push_back('\f'); break;
    case 'n': out.push_back('\n'); break;
    case 'r': out.push_back('\r'); break;
    case 't': out.push_back('\t'); break;
    case 'u': return unicode_escape(json, at + 1, out);
    default: return kFailed;
  }
  return at + 2;
}

// The string whose first byte (after its quote) is at `at`: where it ends,
// past its closing quote, or kFailed. `text` is a slice of `json` or of
// `unescaped`.
std::size_t read_string(std::string_view json, std::size_t at, std::string& unescaped, std::string_view& text) {
  std::size_t end = plain_run_end(json, at);
  if (end < json.size() && json[end] == '"') {
    text = json.substr(at, end - at);
    return end + 1;
  }
  unescaped.clear();
  while (end < json.size()) {
    unescaped.append(json.data() + at, end - at);
    if (json[end] == '"') {
      text = unescaped;
      return end + 1;
    }
    if (json[end] != '\\') return kFailed;  // a control byte
    at = escape(json, end, unescaped);
    if (at == kFailed) return kFailed;
    end = plain_run_end(json, at);
  }
  return kFailed;
}

}  // namespace

bool read_batch_texts(std::string_view json, const std::function<void(std::string_view)>& on_text) {
  if (json.size() > kMaxBatchBytes) return false;
  std::size_t at = skip_space(json, 0);
  if (at == json.size() || json[at] != '[') return false;
  at = skip_space(json, at + 1);
  std::string unescaped;  // grows to the longest text with escapes
  if (at < json.size() && json[at] == ']') {
    at = skip_space(json, at + 1);
    return at == json.size();
  }
  while (at < json.size() && json[at] == '"') {
    std::string_view text;
    at = read_string(json, at + 1, unescaped, text);
    if (at == kFailed) return false;
    on_text(text);
    at = skip_space(json, at);
    if (at == json.size()) return false;
    if (json[at] == ']') return skip_space(json, at + 1) == json.size();
    if (json[at] != ',') return false;
    at = skip_space(json, at + 1);
  }
  return false;
}

}  // namespace vorpaline_core
