#include "profile.hpp"

#include <simdjson.h>

#include <string>
#include <utility>

#include "input_error.hpp"
#include "padded_json.hpp"

namespace vorpaline_core {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::size_t kShownValueBytes = 80;
constexpr std::string_view kCount = "a non-negative integer";
constexpr std::string_view kCountOrNull = "a non-negative integer or null";

// Integer members and whether null is allowed, for pointing at an unreadable number.
struct IntegerMember {
  std::string_view name;
  std::string_view expected;
};
constexpr IntegerMember kIntegerMembers[] = {
    {"max_text_chars", kCountOrNull},
    {"min_token_len", kCount},
};

// A value as shown in a message: cut short on a character boundary.
std::string shown(std::string_view raw) {
  if (raw.size() <= kShownValueBytes) return std::string(raw);
  std::size_t cut = kShownValueBytes;
  while (cut > 0 && (static_cast<unsigned char>(raw[cut]) & 0xC0) == 0x80) --cut;
  return std::string(raw.substr(0, cut)) + "...";
}

const char* type_name(element value) {
  switch (value.type()) {
    case element_type::ARRAY: return "an array";
    case element_type::OBJECT: return "an object";
    case element_type::INT64:
    case element_type::UINT64: return "an integer";
    case element_type::DOUBLE: return "a float";
    case element_type::STRING: return "a string";
    case element_type::BOOL: return "a bool";
    case element_type::NULL_VALUE: return "null";
  }
  return "an unknown value";
}

[[noreturn]] void reject_member(std::string_view name, std::string_view expected,
                                std::string_view got) {
  throw InputError("profile member '" + std::string(name) + "' must be " +
                   std::string(expected) + ", got " + shown(got));
}

std::uint64_t read_count(std::string_view name, element value, std::string_view expected) {
  // A float, bool or negative number never converts: the tape keeps their types.
  std::uint64_t count = 0;
  if (value.get_uint64().get(count) != simdjson::SUCCESS) {
    reject_member(name, expected, simdjson::minify(value));
  }
  return count;
}

std::string_view trimmed(std::string_view token) {
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t' ||
                            token.back() == '\n' || token.back() == '\r')) {
    token.remove_suffix(1);
  }
  return token;
}

bool all_digits(std::string_view token) {
  return !token.empty() && token.find_first_not_of("0123456789") == std::string_view::npos;
}

// The whole-document parser rejects numbers beyond 64 bits without saying where;
// walk the top-level members lazily to name the one at fault.
void reject_unreadable_integer(std::string_view text) {
  const PaddedCopy padded(text);
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::object members;
  const simdjson::error_code parsed = parser.iterate(padded).get(document);
  throw_if_out_of_memory(parsed);
  if (parsed || document.get_object().get(members)) return;
  for (auto member_result : members) {
    simdjson::ondemand::field member;
    std::string_view key;
    if (std::move(member_result).get(member) || member.unescaped_key().get(key)) return;
    for (const IntegerMember& integer : kIntegerMembers) {
      if (key != integer.name) continue;
      simdjson::ondemand::value value = member.value();
      std::string_view raw = trimmed(value.raw_json_token());
      std::uint64_t count = 0;
      if (raw != "null" && value.get_uint64().get(count) != simdjson::SUCCESS) {
        if (all_digits(raw)) {
          reject_member(key, std::string(kCount) + " below 2**64" +
                                 (integer.expected == kCountOrNull ? " or null" : ""),
                        raw);
        }
        reject_member(key, integer.expected, raw);
      }
    }
  }
}

[[noreturn]] void reject_document(std::string_view text, simdjson::error_code error) {
  throw_if_out_of_memory(error);
  if (error == simdjson::NUMBER_ERROR) {
    reject_unreadable_integer(text);
  }
  throw InputError(std::string("profile is not valid JSON: ") + simdjson::error_message(error));
}

void read_member(std::string_view key, element value, Profile& profile) {
  if (key == "version") {
    if (!value.is_string() && !value.is_null()) {
      reject_member(key, "a string or null", simdjson::minify(value));
    }
  } else if (key == "max_text_chars") {
    profile.has_char_limit = !value.is_null();
    if (profile.has_char_limit) profile.max_text_chars = read_count(key, value, kCountOrNull);
  } else if (key == "code_pretokenize") {
    if (value.get_bool().get(profile.code_pretokenize) != simdjson::SUCCESS) {
      reject_member(key, "a bool", simdjson::minify(value));
    }
  } else if (key == "min_token_len") {
    profile.min_token_len = read_count(key, value, kCount);
  }
  // Unknown members are ignored: a newer caller may send more.
}

}  // namespace

Profile parse_profile(std::string_view json_text) {
  const PaddedCopy padded(json_text);
  simdjson::dom::parser parser;
  element root;
  if (auto error = parser.parse(padded).get(root)) reject_document(json_text, error);
  simdjson::dom::object members;
  if (root.get_object().get(members) != simdjson::SUCCESS) {
    throw InputError(std::string("profile must be a JSON object, got ") + type_name(root));
  }
  Profile profile;
  for (auto [key, value] : members) read_member(key, value, profile);
  return profile;
}

Profile cached_profile(std::string_view json_text) {
  // Per thread, so no cache entry is ever shared between threads.
  thread_local std::string cached_text;
  thread_local Profile cached;
  thread_local bool cache_valid = false;
  if (cache_valid && cached_text == json_text) return cached;
  Profile profile = parse_profile(json_text);
  cache_valid = false;
  cached_text.assign(json_text);
  cached = profile;
  cache_valid = true;
  return profile;
}

}  // namespace vorpaline_core
