// Splits text into case-folded word and identifier tokens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ascii_parts.hpp"
#include "byte_classes.hpp"
#include "case_fold.hpp"
#include "profile.hpp"

namespace vorpaline_core {

// Receives the tokens of a text; each is valid only during the call.
class TokenSink {
 public:
  // ASCII tokens, lower-cased, in groups so that the consumer's loop stays
  // tight. The bytes after each, up to 16 from its start, may be read.
  virtual void add_lowered(std::span<const std::string_view> tokens) = 0;
  // A token folded from non-ASCII text.
  virtual void add_folded(std::string_view token) = 0;
  // A sink that needs only the index of a long token takes it without the
  // text: a word folded a piece at a time never sits in memory whole.
  virtual bool takes_long_indices() const { return false; }
  virtual void add_long_index(std::uint32_t /*index*/) {}

 protected:
  ~TokenSink() = default;
};

// One tokenizer serves many texts in turn, reusing its buffers; not for sharing
// between threads.
class Tokenizer {
 public:
  // Returns the number of code points in the text, counted on the way.
  std::size_t tokenize(std::string_view text, const Profile& profile, TokenSink& sink);
  // The memory its buffers hold.
  std::size_t buffer_bytes() const { return classes_.buffer_bytes() + folder_.buffer_bytes(); }

 private:
  void scan_windows();
  std::size_t run_end(std::size_t from) const;
  std::uint64_t run_bytes(const Window& window) const;
  void emit_ascii_runs(std::size_t at, const Window& window, std::uint64_t runs);
  void emit_runs_one_by_one(std::size_t at, const Window& window, std::uint64_t runs);
  void emit_ascii_parts(std::size_t at, ascii_parts::Parts parts);

  void on_run(std::size_t start, std::size_t end);
  void emit_identifier(std::size_t start, std::size_t end, unsigned kinds);
  // Both return the number of parts they emitted.
  std::size_t emit_split_parts(std::size_t start, std::size_t end, bool ascii);
  std::size_t emit_joiner_parts(std::size_t start, std::size_t end, bool ascii);
  void emit_word(std::size_t start, std::size_t end, bool ascii);
  void emit_lowered(std::size_t start, std::size_t length);
  void emit_folded(FoldedWord word);
  void emit_folded_index(std::string_view word);
  void flush();

  ByteClasses classes_;
  CaseFolder folder_;
  // Tokens that are slices of the lowered text, waiting to go to the sink.
  std::array<std::string_view, 512> pending_;
  std::size_t pending_count_ = 0;
  // Set for the duration of one tokenize call.
  TokenSink* sink_ = nullptr;
  std::uint64_t min_token_len_ = 0;
  bool code_mode_ = true;
};

}  // namespace vorpaline_core
