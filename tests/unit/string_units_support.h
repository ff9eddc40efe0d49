// A string! built straight in its buffer, for the tests of the text layer
// that run below the string datatype's own routines.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/collector.h"
#include "runtime/series.h"

namespace kiv::testing {

// A rooted string! of the code points, each stored in unit bytes (1, 2 or
// 4; the caller picks a unit wide enough).
inline RootedCell string_of_units(const std::u32string& text, uint32_t unit) {
  uint32_t node = alloc_series_for_string(static_cast<uint32_t>(text.size() + 1), unit);
  SeriesBuffer* b = node_buffer(node);
  for (char32_t c : text) {
    uint32_t v = c;
    std::memcpy(b->tail_ptr(), &v, unit);
    b->tail += unit;
  }
  return RootedCell(Cell{TYPE_STRING, 0, node, 0});
}

}  // namespace kiv::testing
