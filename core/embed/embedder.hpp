// Embedding and explanation replies for texts under one profile.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "profile.hpp"
#include "reply_buffer.hpp"
#include "term_counts.hpp"
#include "tokenizer.hpp"

namespace vorpaline_core {

// The part of a text that is tokenised, and what the reply says about the cut.
struct TextWindow {
  std::string_view used;
  std::uint64_t original_chars;
  std::uint64_t used_chars;
  bool truncated;
};

TextWindow window_of(std::string_view text, const Profile& profile);

// Room enough for most replies, so that a long reply is seldom moved as it
// grows; capped, so that a huge text with few distinct tokens does not ask
// for huge memory.
std::size_t reply_size_guess(std::size_t text_bytes, std::size_t texts);

// Log-TF weight of a term that occurs tf times.
double weight_of(std::uint64_t tf);

// The tokenizer and the counting tables, with the buffers they grow.
struct EmbedBuffers {
  Tokenizer tokenizer;
  TermCounts counts;
};

// Works through texts one after another, reusing its buffers; one per call.
// The buffers are the thread's own spare set when it is free, given back at
// the end: a call on a short text then allocates and zeroes nothing.
class Embedder {
 public:
  explicit Embedder(const Profile& profile);
  ~Embedder();
  Embedder(const Embedder&) = delete;
  Embedder& operator=(const Embedder&) = delete;

  // {"indices": [...], "values": [...], "truncated", "original_chars", "used_chars"}
  void write_embedding(std::string_view text, ReplyBuffer& out);
  // {"embeddings": [one embedding per text]}, each as write_embedding writes it.
  void write_batch(std::span<const std::string_view> texts, ReplyBuffer& out);
  // The same, a text at a time: open, the elements in order, close.
  void open_batch(std::size_t json_bytes, ReplyBuffer& out);
  void write_batch_element(std::string_view text, bool first, ReplyBuffer& out);
  void close_batch(ReplyBuffer& out);
  // {"tokens": [{"token", "index", "tf", "value"}...], "truncated", ...}
  void write_explanation(std::string_view text, ReplyBuffer& out);
  // The text's terms sorted by index, as its embedding holds them; valid
  // until the next call.
  std::span<const TermCount> count_terms(std::string_view text);
  // The same, in no order and with indices that two tokens share not merged.
  std::span<const TermCount> count_terms_unsorted(std::string_view text);

 private:
  TextWindow tokenize_window(std::string_view text, TokenSink& sink);

  Profile profile_;
  std::unique_ptr<EmbedBuffers> buffers_;
  Tokenizer& tokenizer_;
  TermCounts& counts_;
};

}  // namespace vorpaline_core
