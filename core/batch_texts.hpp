// The texts of a batch: a JSON array of strings, parsed and checked.
#pragma once

#include <simdjson.h>

#include <string_view>
#include <vector>

namespace vorpaline_core {

class BatchTexts {
 public:
  // Throws InputError naming what is wrong (and which element).
  explicit BatchTexts(std::string_view json_text);
  BatchTexts(const BatchTexts&) = delete;
  BatchTexts& operator=(const BatchTexts&) = delete;

  // Unescaped UTF-8 texts, in order; they live in the parser's buffers.
  const std::vector<std::string_view>& texts() const { return texts_; }

 private:
  simdjson::padded_string padded_;
  simdjson::dom::parser parser_;
  std::vector<std::string_view> texts_;
};

}  // namespace vorpaline_core
