#include "padded_json.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace vorpaline_core {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A large copy asks for huge pages: filling a fresh 30 MB buffer page by page
// costs thousands of page faults, more than the copy itself.
char* allocate(std::size_t room) {
  if (room < kHugePage * 2) return static_cast<char*>(std::malloc(room));
  const std::size_t rounded = (room + kHugePage - 1) / kHugePage * kHugePage;
  char* data = static_cast<char*>(std::aligned_alloc(kHugePage, rounded));
#ifdef MADV_HUGEPAGE
  if (data != nullptr) madvise(data, rounded, MADV_HUGEPAGE);  // a hint: failure is harmless
#endif
  return data;
}

}  // namespace

const char* json_type_name(simdjson::dom::element_type type) {
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

void throw_if_out_of_memory(simdjson::error_code error) {
  if (error == simdjson::MEMALLOC) throw std::bad_alloc();
}

PaddedCopy::PaddedCopy(std::string_view text)
    : data_(allocate(text.size() + simdjson::SIMDJSON_PADDING)), size_(text.size()) {
  if (!data_) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(data_.get(), text.data(), text.size());
  std::memset(data_.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);
}

void PaddedCopy::Free::operator()(char* data) const { std::free(data); }

}  // namespace vorpaline_core
