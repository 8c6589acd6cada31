// The tokenisation profile: the caller's JSON text, read into plain settings.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorpaline_core {

struct Profile {
  bool has_char_limit = true;
  std::uint64_t max_text_chars = 200000;
  bool code_pretokenize = true;
  std::uint64_t min_token_len = 2;
};

// Parses and checks the profile text; throws InputError naming what is wrong.
Profile parse_profile(std::string_view json_text);

// parse_profile with a per-thread single-entry cache keyed by the exact text:
// callers pass the same profile text on every call.
Profile cached_profile(std::string_view json_text);

}  // namespace vorpaline_core
