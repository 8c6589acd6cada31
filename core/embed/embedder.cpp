#include "embedder.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <vector>

#include "reply_writer.hpp"
#include "text_scan.hpp"

namespace vorpaline_core {

namespace {

// Short tokens are read 16 bytes at a time from the lowered text.
static_assert(ByteClasses::kLoweredSlack >= TermCounts::kShortToken);

class CountingSink final : public TokenSink {
 public:
  explicit CountingSink(TermCounts& counts) : counts_(counts) {}
  void add_lowered(std::span<const std::string_view> tokens) override { counts_.add_padded(tokens); }
  void add_folded(std::string_view token) override { counts_.add(token); }
  bool takes_long_indices() const override { return true; }
  void add_long_index(std::uint32_t index) override { counts_.add_long(index); }

 private:
  TermCounts& counts_;
};

class TokenTally final : public TokenSink {
 public:
  void add_lowered(std::span<const std::string_view> tokens) override {
    for (std::string_view token : tokens) add_folded(token);
  }
  void add_folded(std::string_view token) override {
    auto found = tf_.find(token);
    if (found == tf_.end()) found = tf_.emplace(std::string(token), 0).first;
    ++found->second;
  }
  const std::map<std::string, std::uint64_t, std::less<>>& tf() const { return tf_; }

 private:
  std::map<std::string, std::uint64_t, std::less<>> tf_;
};

struct ExplainedToken {
  std::uint32_t index;
  const std::string* token;
  std::uint64_t tf;
};

void append_window(ReplyBuffer& out, const TextWindow& window) {
  out.append(",\"truncated\":");
  append_bool(out, window.truncated);
  out.append(",\"original_chars\":");
  append_uint(out, window.original_chars);
  out.append(",\"used_chars\":");
  append_uint(out, window.used_chars);
}

void append_token(ReplyBuffer& out, const ExplainedToken& token, double value) {
  out.append("{\"token\":");
  append_string(out, *token.token);
  out.append(",\"index\":");
  append_uint(out, token.index);
  out.append(",\"tf\":");
  append_uint(out, token.tf);
  out.append(",\"value\":");
  append_float(out, value);
  out.push_back('}');
}

}  // namespace

// Replies run to half the text's bytes on code and to two thirds on C
// headers and prose: a guess of three quarters seldom has to move the reply
// (which would hold it twice at once), and the pages it leaves unwritten cost
// no memory.
std::size_t reply_size_guess(std::size_t text_bytes, std::size_t texts) {
  constexpr std::size_t kMaxGuess = std::size_t{64} << 20;
  return std::min(text_bytes / 4 * 3 + texts * 128, kMaxGuess);
}

TextWindow window_of(std::string_view text, const Profile& profile) {
  const std::uint64_t original = count_code_points(text);
  if (!profile.has_char_limit || original <= profile.max_text_chars) {
    return {text, original, original, false};
  }
  return {first_code_points(text, profile.max_text_chars), original, profile.max_text_chars,
          true};
}

double weight_of(std::uint64_t tf) { return 1.0 + std::log(static_cast<double>(tf)); }

namespace {

// Most terms occur only a few times, and formatting a double is the dear part
// of writing a weight: the texts of small tfs are formatted once per process.
constexpr std::uint64_t kFormattedWeights = 256;

struct WeightText {
  std::array<char, kMaxFloatChars> chars;
  std::uint8_t size;
};

using FormattedWeights = std::array<WeightText, kFormattedWeights>;

const FormattedWeights& formatted_weights() {
  static const auto texts = [] {
    FormattedWeights made{};
    for (std::uint64_t tf = 1; tf < kFormattedWeights; ++tf) {
      char* end = write_float(made[tf].chars.data(), weight_of(tf));
      made[tf].size = static_cast<std::uint8_t>(end - made[tf].chars.data());
    }
    return made;
  }();
  return texts;
}

// What one term adds to a reply at most: its index, its weight, two commas.
constexpr std::size_t kMaxIndexChars = 10;  // indices are below 2**31
constexpr std::size_t kMaxTermChars = kMaxIndexChars + kMaxFloatChars + 2;
constexpr std::string_view kIndicesOpen = "{\"indices\":[";
constexpr std::string_view kValuesOpen = "],\"values\":[";

char* write_text(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// `out` has room for kMaxFloatChars: the whole formatted text is copied, a
// fixed size that compiles to two moves, and the end set after it.
char* write_weight(char* out, std::uint64_t tf, const FormattedWeights& formatted) {
  if (tf >= kFormattedWeights) return write_float(out, weight_of(tf));
  const WeightText& text = formatted[tf];
  std::memcpy(out, text.chars.data(), kMaxFloatChars);
  return out + text.size;
}

// {"indices":[...],"values":[...] of one embedding, written in place: the
// reply grows once per text rather than once per number, and shrinks back to
// what was written.
void append_terms(ReplyBuffer& out, std::span<const TermCount> terms) {
  const std::size_t old_size = out.size();
  out.resize(old_size + kIndicesOpen.size() + kValuesOpen.size() + 1 +
             terms.size() * kMaxTermChars);
  char* at = write_text(out.data() + old_size, kIndicesOpen);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) *at++ = ',';
    at = std::to_chars(at, at + kMaxIndexChars, terms[i].index).ptr;
  }
  at = write_text(at, kValuesOpen);
  const FormattedWeights& formatted = formatted_weights();
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) *at++ = ',';
    at = write_weight(at, terms[i].tf, formatted);
  }
  *at++ = ']';
  out.resize(static_cast<std::size_t>(at - out.data()));
}

}  // namespace

namespace {

// A thread keeps one set of buffers between calls, unless a long text grew
// them past this: memory a thread holds on to stays small.
constexpr std::size_t kKeptBuffersBytes = std::size_t{4} << 20;

thread_local std::unique_ptr<EmbedBuffers> spare_buffers;

std::unique_ptr<EmbedBuffers> take_buffers() {
  if (spare_buffers) return std::move(spare_buffers);
  return std::make_unique<EmbedBuffers>();
}

}  // namespace

Embedder::Embedder(const Profile& profile)
    : profile_(profile),
      buffers_(take_buffers()),
      tokenizer_(buffers_->tokenizer),
      counts_(buffers_->counts) {}

// Buffers left half-way through a text by an exception are not kept: their
// tables may hold entries that no list of used slots knows of.
Embedder::~Embedder() {
  if (spare_buffers || std::uncaught_exceptions() > 0) return;
  if (tokenizer_.buffer_bytes() + counts_.buffer_bytes() <= kKeptBuffersBytes) {
    spare_buffers = std::move(buffers_);
  }
}

// Counting code points takes a pass over the text. When no cut can happen (no
// limit, or no more bytes than the limit allows characters), the tokenizer
// counts them on its own pass.
TextWindow Embedder::tokenize_window(std::string_view text, TokenSink& sink) {
  if (profile_.has_char_limit && text.size() > profile_.max_text_chars) {
    const TextWindow window = window_of(text, profile_);
    tokenizer_.tokenize(window.used, profile_, sink);
    return window;
  }
  const std::uint64_t chars = tokenizer_.tokenize(text, profile_, sink);
  return {text, chars, chars, false};
}

void Embedder::write_embedding(std::string_view text, ReplyBuffer& out) {
  counts_.start(text.size());
  CountingSink sink(counts_);
  const TextWindow window = tokenize_window(text, sink);
  // Tokens that share an index are one term: their counts add up before weighting.
  append_terms(out, counts_.sorted());
  append_window(out, window);
  out.push_back('}');
}

std::span<const TermCount> Embedder::count_terms(std::string_view text) {
  counts_.start(text.size());
  CountingSink sink(counts_);
  tokenize_window(text, sink);
  return counts_.sorted();
}

std::span<const TermCount> Embedder::count_terms_unsorted(std::string_view text) {
  counts_.start(text.size());
  CountingSink sink(counts_);
  tokenize_window(text, sink);
  return counts_.unsorted();
}

void Embedder::write_batch(std::span<const std::string_view> texts, ReplyBuffer& out) {
  std::size_t text_bytes = 0;
  for (std::string_view text : texts) text_bytes += text.size();
  out.reserve(out.size() + reply_size_guess(text_bytes, texts.size()));
  out.append("{\"embeddings\":[");
  for (std::size_t i = 0; i < texts.size(); ++i) write_batch_element(texts[i], i == 0, out);
  close_batch(out);
}

// The batch's JSON text is about as long as its texts.
void Embedder::open_batch(std::size_t json_bytes, ReplyBuffer& out) {
  out.reserve(out.size() + reply_size_guess(json_bytes, 1));
  out.append("{\"embeddings\":[");
}

void Embedder::write_batch_element(std::string_view text, bool first, ReplyBuffer& out) {
  if (!first) out.push_back(',');
  write_embedding(text, out);
}

void Embedder::close_batch(ReplyBuffer& out) { out.append("]}"); }

void Embedder::write_explanation(std::string_view text, ReplyBuffer& out) {
  TokenTally tally;
  const TextWindow window = tokenize_window(text, tally);
  std::vector<ExplainedToken> tokens;
  tokens.reserve(tally.tf().size());
  for (const auto& [token, tf] : tally.tf()) tokens.push_back({token_index(token), &token, tf});
  // The map is ordered by token, so a stable sort keeps colliding tokens in token order.
  std::stable_sort(tokens.begin(), tokens.end(),
                   [](const ExplainedToken& a, const ExplainedToken& b) { return a.index < b.index; });
  out.append("{\"tokens\":[");
  for (std::size_t first = 0; first < tokens.size();) {
    std::size_t last = first;
    std::uint64_t merged_tf = 0;
    for (; last < tokens.size() && tokens[last].index == tokens[first].index; ++last) {
      merged_tf += tokens[last].tf;
    }
    for (std::size_t i = first; i < last; ++i) {
      if (i > 0) out.push_back(',');
      append_token(out, tokens[i], weight_of(merged_tf));
    }
    first = last;
  }
  out.push_back(']');
  append_window(out, window);
  out.push_back('}');
}

}  // namespace vorpaline_core
