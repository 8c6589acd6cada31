// Splits text into case-folded word and identifier tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "case_fold.hpp"
#include "profile.hpp"
#include "run_scan.hpp"
#include "text_scan.hpp"

namespace vorpaline_core {

class TokenSink {
 public:
  // `token` is valid only during the call.
  virtual void add(std::string_view token) = 0;

 protected:
  ~TokenSink() = default;
};

// One tokenizer serves many texts in turn, reusing its buffers; not for sharing
// between threads.
class Tokenizer : private RunHandler {
 public:
  void tokenize(std::string_view text, const Profile& profile, TokenSink& sink);

 private:
  struct Part {
    std::size_t start;  // byte offsets in the text
    std::size_t end;
  };

  void on_run(const Run& run) override;
  void emit_identifier(std::string_view text, const Run& run);
  void split_identifier(std::string_view text, std::size_t start, std::size_t end);
  void split_at_joiners(std::string_view text, std::size_t start, std::size_t end);
  void emit_parts(std::string_view text, std::string_view whole, std::size_t start,
                  const Run& run);
  FoldedWord fold(std::string_view word, const Run& run);
  void emit(FoldedWord word);

  std::vector<Part> parts_;  // parts of the current identifier
  CaseFolder folder_;
  // Set for the duration of one tokenize call.
  std::string_view text_;
  TokenSink* sink_ = nullptr;
  std::uint64_t min_token_len_ = 0;
  bool code_mode_ = true;
};

}  // namespace vorpaline_core
