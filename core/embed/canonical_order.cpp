#include "canonical_order.hpp"

#include <algorithm>

namespace vorpaline_core {

namespace {

int combining_class(utf8proc_int32_t code_point) {
  return utf8proc_get_property(code_point)->combining_class;
}

bool is_hangul_jamo(utf8proc_int32_t c) {
  return (c >= 0x1100 && c <= 0x11FF) || (c >= 0x3130 && c <= 0x318F) ||
         (c >= 0xA960 && c <= 0xA97F) || (c >= 0xD7B0 && c <= 0xD7FF) ||
         (c >= 0xFFA0 && c <= 0xFFDC);
}

}  // namespace

void put_in_canonical_order(std::span<utf8proc_int32_t> code_points) {
  const auto by_class = [](utf8proc_int32_t a, utf8proc_int32_t b) {
    return combining_class(a) < combining_class(b);
  };
  auto at = code_points.begin();
  while (at != code_points.end()) {
    at = std::find_if(at, code_points.end(), [](utf8proc_int32_t c) { return combining_class(c) != 0; });
    const auto run_end =
        std::find_if(at, code_points.end(), [](utf8proc_int32_t c) { return combining_class(c) == 0; });
    if (run_end - at > 1) std::stable_sort(at, run_end, by_class);
    at = run_end;
  }
}

bool starts_afresh(utf8proc_int32_t code_point) {
  if (code_point < 0x80) return true;
  const utf8proc_property_t* property = utf8proc_get_property(code_point);
  const bool letter = property->category >= UTF8PROC_CATEGORY_LU &&
                      property->category <= UTF8PROC_CATEGORY_LO;
  return letter && property->combining_class == 0 && !is_hangul_jamo(code_point);
}

}  // namespace vorpaline_core
