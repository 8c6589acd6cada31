#include "snippets/line_terms.hpp"

#include <algorithm>

#include "embed/embedder.hpp"
#include "embed/term_counts.hpp"

namespace vorpaline_core::snippets {

namespace {

// Marks the query terms among a line's tokens.
class MarkingSink final : public TokenSink {
 public:
  MarkingSink(const std::vector<std::uint32_t>& terms, LineTerms& found) : terms_(terms), found_(found) {}
  void start(std::size_t line) { line_ = line; }

  void add_lowered(std::span<const std::string_view> tokens) override {
    for (std::string_view token : tokens) add_long_index(token_index(token));
  }
  void add_folded(std::string_view token) override { add_long_index(token_index(token)); }
  bool takes_long_indices() const override { return true; }
  void add_long_index(std::uint32_t index) override {
    const auto at = std::lower_bound(terms_.begin(), terms_.end(), index);
    if (at != terms_.end() && *at == index) found_.set(line_, static_cast<std::size_t>(at - terms_.begin()));
  }

 private:
  const std::vector<std::uint32_t>& terms_;
  LineTerms& found_;
  std::size_t line_ = 0;
};

}  // namespace

QueryTermFinder::QueryTermFinder(const Profile& profile, const std::vector<std::uint32_t>& terms)
    : profile_(profile), terms_(terms) {}

LineTerms QueryTermFinder::find(const ChunkLines& lines) {
  LineTerms found(lines.size(), terms_.size());
  if (terms_.empty()) return found;
  MarkingSink sink(terms_, found);
  for (std::size_t line = 0; line < lines.size(); ++line) {
    sink.start(line);
    // As Embedder cuts a text: no cut can happen unless it has more bytes than the limit characters.
    const std::string_view text = lines[line];
    const bool may_cut = profile_.has_char_limit && text.size() > profile_.max_text_chars;
    tokenizer_.tokenize(may_cut ? window_of(text, profile_).used : text, profile_, sink);
  }
  return found;
}

}  // namespace vorpaline_core::snippets
