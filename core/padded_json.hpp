// JSON text as simdjson reads it: copied with the padding it reads past the
// end, and its allocation failures told apart from bad input.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <memory>
#include <string_view>

namespace vorpaline_core {

// "an array", "a string", "null", ...: a JSON value's kind, for error messages.
const char* json_type_name(simdjson::dom::element_type type);

// Throws std::bad_alloc when simdjson could not get its memory: that is no
// fault of the input, and must not be reported as one.
void throw_if_out_of_memory(simdjson::error_code error);

// A copy of the text followed by simdjson's padding; throws std::bad_alloc
// when there is no room for it (simdjson's own padded_string would become an
// empty text instead).
class PaddedCopy {
 public:
  explicit PaddedCopy(std::string_view text);

  operator simdjson::padded_string_view() const {
    return simdjson::padded_string_view(data_.get(), size_, size_ + simdjson::SIMDJSON_PADDING);
  }

 private:
  struct Free {
    void operator()(char* data) const;
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_;
};

}  // namespace vorpaline_core
