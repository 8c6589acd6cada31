// JSON text pieces of the replies.
#pragma once

#include <cstdint>
#include <string_view>

#include "reply_buffer.hpp"

namespace vorpaline_core {

// Room that write_uint and write_float need at most.
constexpr std::size_t kMaxUintChars = 20;
constexpr std::size_t kMaxFloatChars = 32;

// Write at `out`, which has room enough, and return the end of what they wrote.
char* write_uint(char* out, std::uint64_t value);
// Shortest text that reads back as the same double, always with a fraction or
// exponent so that a JSON reader sees a float ("1.0", not "1").
char* write_float(char* out, double value);

void append_uint(ReplyBuffer& out, std::uint64_t value);
void append_float(ReplyBuffer& out, double value);
void append_bool(ReplyBuffer& out, bool value);

// A JSON string; `text` is valid UTF-8, which is copied as it is.
void append_string(ReplyBuffer& out, std::string_view text);

}  // namespace vorpaline_core
