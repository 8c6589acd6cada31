#include "chunk_reply.hpp"

#include <charconv>
#include <cstring>
#include <string_view>

namespace vorpaline_core::chunk {

namespace {

constexpr std::string_view kOpen = "{\"chunks\":[";
constexpr std::string_view kClose = "]}";

std::size_t digits(std::uint32_t number) {
  std::size_t count = 1;
  while (number >= 10) {
    number /= 10;
    ++count;
  }
  return count;
}

char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

std::size_t reply_size(const std::vector<Chunk>& chunks) noexcept {
  std::size_t size = kOpen.size() + kClose.size();
  if (!chunks.empty()) size += chunks.size() - 1;  // the commas between pairs
  for (const Chunk& chunk : chunks) size += digits(chunk.first_line) + digits(chunk.last_line) + 3;
  return size;
}

void write_reply(const std::vector<Chunk>& chunks, char* out) noexcept {
  out = put(out, kOpen);
  bool first = true;
  for (const Chunk& chunk : chunks) {
    if (!first) *out++ = ',';
    first = false;
    *out++ = '[';
    out = std::to_chars(out, out + 10, chunk.first_line).ptr;
    *out++ = ',';
    out = std::to_chars(out, out + 10, chunk.last_line).ptr;
    *out++ = ']';
  }
  put(out, kClose);
}

}  // namespace vorpaline_core::chunk
