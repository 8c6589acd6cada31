#include "batch_texts.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "input_error.hpp"

namespace vorpaline_core {

namespace {

const char* type_name(simdjson::dom::element_type type) {
  using simdjson::dom::element_type;
  switch (type) {
    case element_type::ARRAY: return "an array";
    case element_type::OBJECT: return "an object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return "a number";
    case element_type::STRING: return "a string";
    case element_type::BOOL: return "a bool";
    case element_type::NULL_VALUE: return "null";
  }
  return "an unknown value";
}

// The whole-document parser only says that some string is bad; walk the array
// lazily to find which element holds it.
std::optional<std::size_t> find_bad_string(const simdjson::padded_string& padded) {
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::array elements;
  if (parser.iterate(padded).get(document) || document.get_array().get(elements)) {
    return std::nullopt;
  }
  std::size_t position = 0;
  for (auto element : elements) {
    simdjson::ondemand::json_type type;
    if (element.type().get(type)) return std::nullopt;
    std::string_view text;
    if (type == simdjson::ondemand::json_type::string && element.get_string().get(text)) {
      return position;
    }
    ++position;
  }
  return std::nullopt;
}

[[noreturn]] void reject_document(const simdjson::padded_string& padded,
                                  simdjson::error_code error) {
  if (error == simdjson::STRING_ERROR) {
    if (const auto position = find_bad_string(padded)) {
      throw InputError("batch element " + std::to_string(*position) +
                       " is not a valid string: it holds a lone surrogate escape (such as "
                       "\\ud800), which cannot be encoded as UTF-8, or a bad escape");
    }
  }
  throw InputError(std::string("batch is not valid JSON: ") + simdjson::error_message(error));
}

// The JSON text with the padding that simdjson reads past the end. A large
// copy asks for huge pages: filling a fresh 30 MB buffer page by page costs
// thousands of page faults, more than the copy itself.
class PaddedCopy {
 public:
  explicit PaddedCopy(std::string_view text) : size_(text.size()) {
    const std::size_t room = text.size() + simdjson::SIMDJSON_PADDING;
    if (room >= kHugePage * 2) {
      const std::size_t rounded = (room + kHugePage - 1) / kHugePage * kHugePage;
      data_.reset(static_cast<char*>(std::aligned_alloc(kHugePage, rounded)));
#ifdef MADV_HUGEPAGE
      if (data_) madvise(data_.get(), rounded, MADV_HUGEPAGE);  // a hint: failure is harmless
#endif
    } else {
      data_.reset(static_cast<char*>(std::malloc(room)));
    }
    if (!data_) throw std::bad_alloc();
    std::memcpy(data_.get(), text.data(), text.size());
    std::memset(data_.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);
  }

  operator simdjson::padded_string_view() const {
    return simdjson::padded_string_view(data_.get(), size_, size_ + simdjson::SIMDJSON_PADDING);
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  struct Free {
    void operator()(char* data) const { std::free(data); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_;
};

}  // namespace

bool read_batch_texts(std::string_view json_text,
                      const std::function<void(std::string_view)>& on_text) {
  const PaddedCopy padded(json_text);
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::array elements;
  if (parser.iterate(padded).get(document) || document.get_array().get(elements)) return false;
  // Big enough for any text of the batch; only the pages that the longest
  // text needs are ever touched.
  const std::unique_ptr<std::uint8_t[]> text_buffer(
      new std::uint8_t[json_text.size() + simdjson::SIMDJSON_PADDING]);
  for (auto element : elements) {
    simdjson::ondemand::raw_json_string raw;
    if (element.get_raw_json_string().get(raw)) return false;
    std::uint8_t* end = text_buffer.get();
    std::string_view text;
    if (parser.unescape(raw, end).get(text)) return false;
    on_text(text);
  }
  // Content after the array leaves the iterator short of the end.
  return document.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

BatchTexts::BatchTexts(std::string_view json_text) : padded_(json_text) {
  simdjson::dom::element root;
  if (auto error = parser_.parse(padded_).get(root)) reject_document(padded_, error);
  simdjson::dom::array elements;
  if (root.get_array().get(elements) != simdjson::SUCCESS) {
    throw InputError(std::string("batch must be a JSON array of strings, got ") +
                     type_name(root.type()));
  }
  texts_.reserve(elements.size());
  for (simdjson::dom::element element : elements) {
    std::string_view text;
    if (element.get_string().get(text) != simdjson::SUCCESS) {
      throw InputError("batch element " + std::to_string(texts_.size()) +
                       " must be a string, got " + type_name(element.type()));
    }
    texts_.push_back(text);
  }
}

}  // namespace vorpaline_core
