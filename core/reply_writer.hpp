// JSON text pieces of the replies, appended to a string buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorpaline_core {

void append_uint(std::string& out, std::uint64_t value);

// Shortest text that reads back as the same double, always with a fraction or
// exponent so that a JSON reader sees a float ("1.0", not "1").
void append_float(std::string& out, double value);

void append_bool(std::string& out, bool value);

// A JSON string; `text` is valid UTF-8, which is copied as it is.
void append_string(std::string& out, std::string_view text);

}  // namespace vorpaline_core
