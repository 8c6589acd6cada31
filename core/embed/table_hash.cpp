#include "table_hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <random>

namespace vorpaline_core {

namespace {

bool fill_from_getrandom(unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t got = getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // no such call (old kernel, filtered): try the device instead
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

TableKeys draw_keys() {
  TableKeys keys{};
  if (!fill_from_getrandom(reinterpret_cast<unsigned char*>(&keys), sizeof keys)) {
    std::random_device device;  // /dev/urandom or the CPU's generator; throws when neither answers
    for (std::uint64_t* word : {&keys.short_low, &keys.short_high, &keys.index_key,
                                &keys.index_multiplier}) {
      *word = (std::uint64_t{device()} << 32) | device();
    }
  }
  keys.index_multiplier |= 1;  // an even multiplier would waste a bit
  return keys;
}

}  // namespace

const TableKeys& table_keys() {
  static const TableKeys keys = draw_keys();
  return keys;
}

}  // namespace vorpaline_core
