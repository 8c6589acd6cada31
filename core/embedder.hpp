// Embedding and explanation replies for texts under one profile.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "profile.hpp"
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

// Log-TF weight of a term that occurs tf times.
double weight_of(std::uint64_t tf);

// Formatted weights of small term frequencies, filled on first use: most
// terms occur only a few times, and formatting a double is the dear part.
class WeightTexts {
 public:
  void append(std::string& out, std::uint64_t tf);

 private:
  static constexpr std::size_t kCached = 32;
  struct Text {
    char chars[32];
    std::uint8_t size = 0;  // 0 until filled
  };
  std::array<Text, kCached> texts_{};
};

// Works through texts one after another, reusing its buffers; one per call.
class Embedder {
 public:
  explicit Embedder(const Profile& profile) : profile_(profile) {}

  // {"indices": [...], "values": [...], "truncated", "original_chars", "used_chars"}
  void write_embedding(std::string_view text, std::string& out);
  // {"embeddings": [one embedding per text]}, each as write_embedding writes it.
  void write_batch(std::span<const std::string_view> texts, std::string& out);
  // {"tokens": [{"token", "index", "tf", "value"}...], "truncated", ...}
  void write_explanation(std::string_view text, std::string& out);

 private:
  Profile profile_;
  Tokenizer tokenizer_;
  TermCounts counts_;
  WeightTexts weights_;
};

}  // namespace vorpaline_core
