// JSON text written as pure ASCII, so that a reply can be written straight
// into the str returned: other characters become \u escapes, and a byte that
// is not UTF-8 becomes the lone surrogate U+DC80-U+DCFF that Python's
// "surrogateescape" gives it, so os.fsencode() of the decoded text gives back
// the original bytes.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vorpaline_core::scan {

// Counts what it is given; the sizing pass of a reply.
struct CountingSink {
  std::size_t size = 0;
  void put(char) { ++size; }
  void put(std::string_view text) { size += text.size(); }
};

// Writes into memory sized by a CountingSink pass.
struct MemorySink {
  char* cursor;
  void put(char c) { *cursor++ = c; }
  void put(std::string_view text) {
    std::memcpy(cursor, text.data(), text.size());
    cursor += text.size();
  }
};

struct StringSink {
  std::string text;
  void put(char c) { text += c; }
  void put(std::string_view more) { text += more; }
};

// The code point of a well-formed UTF-8 sequence at `bytes[0]`, its length
// in `length`; -1 when the bytes there are not one.
std::int32_t decode_utf8(std::string_view bytes, std::size_t* length);

template <class Sink>
void put_number(Sink& sink, std::int64_t number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  sink.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

template <class Sink>
void put_u_escape(Sink& sink, std::uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[6] = {'\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15],
                          kHex[(unit >> 4) & 15], kHex[unit & 15]};
  sink.put(std::string_view(escape, 6));
}

// The bytes a JSON string holds as they are: printable ASCII but `"` and `\`.
inline constexpr auto kPlainJsonBytes = [] {
  std::array<bool, 256> plain{};
  for (int byte = 0x20; byte < 0x80; ++byte) plain[byte] = byte != '"' && byte != '\\';
  return plain;
}();

// The inside of a JSON string, without its quotes.
template <class Sink>
void put_string_body(Sink& sink, std::string_view bytes) {
  std::size_t plain = 0;  // start of the run of bytes that need no escape
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (kPlainJsonBytes[byte]) {
      ++i;
      continue;
    }
    sink.put(bytes.substr(plain, i - plain));
    if (byte == '"' || byte == '\\') {
      sink.put('\\');
      sink.put(static_cast<char>(byte));
      ++i;
    } else if (byte < 0x20) {
      put_u_escape(sink, byte);
      ++i;
    } else {
      std::size_t length = 1;
      const std::int32_t code_point = decode_utf8(bytes.substr(i), &length);
      if (code_point < 0) {
        put_u_escape(sink, 0xDC00u + byte);
        length = 1;
      } else if (code_point >= 0x10000) {
        const std::uint32_t offset = static_cast<std::uint32_t>(code_point) - 0x10000;
        put_u_escape(sink, 0xD800u + (offset >> 10));
        put_u_escape(sink, 0xDC00u + (offset & 0x3FF));
      } else {
        put_u_escape(sink, static_cast<std::uint32_t>(code_point));
      }
      i += length;
    }
    plain = i;
  }
  sink.put(bytes.substr(plain));
}

template <class Sink>
void put_string(Sink& sink, std::string_view bytes) {
  sink.put('"');
  put_string_body(sink, bytes);
  sink.put('"');
}

// One string made of two pieces, each whole characters: a folder and a name.
template <class Sink>
void put_string(Sink& sink, std::string_view head, std::string_view tail) {
  sink.put('"');
  put_string_body(sink, head);
  put_string_body(sink, tail);
  sink.put('"');
}

}  // namespace vorpaline_core::scan
