// The texts of a batch: a JSON array of strings, parsed and checked.
#pragma once

#include <simdjson.h>

#include <functional>
#include <string_view>
#include <vector>

#include "padded_json.hpp"

namespace vorpaline_core {

// Hands each text of a batch to `on_text` as it is read (batch_scan.cpp),
// read in place or unescaped into one reused buffer: neither the batch nor its
// texts are copied whole, and each text is still in the cache when it is
// tokenised. Returns false at the first thing that
// BatchTexts might reject, which then says exactly what is wrong; the texts
// handed over so far are then to be forgotten.
bool read_batch_texts(std::string_view json_text,
                      const std::function<void(std::string_view)>& on_text);

// The whole batch, parsed as a document first: the reference for what a
// valid batch is, and for the message that says why one is not.
class BatchTexts {
 public:
  // Throws InputError naming what is wrong (and which element).
  explicit BatchTexts(std::string_view json_text);
  BatchTexts(const BatchTexts&) = delete;
  BatchTexts& operator=(const BatchTexts&) = delete;

  // Unescaped UTF-8 texts, in order; they live in the parser's buffers.
  const std::vector<std::string_view>& texts() const { return texts_; }

 private:
  PaddedCopy padded_;
  simdjson::dom::parser parser_;
  std::vector<std::string_view> texts_;
};

}  // namespace vorpaline_core
