#include "embedder.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "reply_writer.hpp"
#include "text_scan.hpp"

namespace vorpaline_core {

namespace {

class CountingSink final : public TokenSink {
 public:
  explicit CountingSink(TermCounts& counts) : counts_(counts) {}
  void add(std::string_view token) override { counts_.add_token(token); }

 private:
  TermCounts& counts_;
};

class TokenTally final : public TokenSink {
 public:
  void add(std::string_view token) override {
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

void append_window(std::string& out, const TextWindow& window) {
  out.append(",\"truncated\":");
  append_bool(out, window.truncated);
  out.append(",\"original_chars\":");
  append_uint(out, window.original_chars);
  out.append(",\"used_chars\":");
  append_uint(out, window.used_chars);
}

void append_token(std::string& out, const ExplainedToken& token, double value) {
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

// Enough for most replies, so that a long reply is seldom copied as it grows.
// Capped: a huge text with few distinct tokens must not ask for huge memory.
std::size_t reply_size_guess(std::span<const std::string_view> texts) {
  constexpr std::size_t kMaxGuess = std::size_t{64} << 20;
  std::size_t size = 0;
  for (std::string_view text : texts) size += text.size() / 2 + 128;
  return std::min(size, kMaxGuess);
}

}  // namespace

TextWindow window_of(std::string_view text, const Profile& profile) {
  const std::uint64_t original = count_code_points(text);
  if (!profile.has_char_limit || original <= profile.max_text_chars) {
    return {text, original, original, false};
  }
  return {first_code_points(text, profile.max_text_chars), original, profile.max_text_chars,
          true};
}

double weight_of(std::uint64_t tf) { return 1.0 + std::log(static_cast<double>(tf)); }

void WeightTexts::append(std::string& out, std::uint64_t tf) {
  if (tf >= kCached) {
    append_float(out, weight_of(tf));
    return;
  }
  Text& text = texts_[tf];
  if (text.size == 0) {
    std::string formatted;
    append_float(formatted, weight_of(tf));
    formatted.copy(text.chars, sizeof text.chars);
    text.size = static_cast<std::uint8_t>(formatted.size());
  }
  out.append(text.chars, text.size);
}

void Embedder::write_embedding(std::string_view text, std::string& out) {
  const TextWindow window = window_of(text, profile_);
  out.reserve(out.size() + reply_size_guess({&window.used, 1}));
  counts_.clear();
  CountingSink sink(counts_);
  tokenizer_.tokenize(window.used, profile_, sink);
  // Tokens that share an index are one term: their counts add up before weighting.
  const std::span<const TermCount> terms = counts_.sorted();
  out.append("{\"indices\":[");
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) out.push_back(',');
    append_uint(out, terms[i].index);
  }
  out.append("],\"values\":[");
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) out.push_back(',');
    weights_.append(out, terms[i].tf);
  }
  out.push_back(']');
  append_window(out, window);
  out.push_back('}');
}

void Embedder::write_batch(std::span<const std::string_view> texts, std::string& out) {
  out.reserve(out.size() + reply_size_guess(texts));
  out.append("{\"embeddings\":[");
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out.push_back(',');
    write_embedding(texts[i], out);
  }
  out.append("]}");
}

void Embedder::write_explanation(std::string_view text, std::string& out) {
  const TextWindow window = window_of(text, profile_);
  TokenTally tally;
  tokenizer_.tokenize(window.used, profile_, tally);
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
