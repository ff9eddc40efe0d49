#include "runtime/datatypes/string_case.h"

#include <algorithm>

#include "runtime/case_fold.h"
#include "runtime/datatypes/string.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {

Cell* change_case(Cell* value, bool upper, const Cell* part) {
  if (TYPE_OF(value) == TYPE_CHAR) {
    value->data2 = static_cast<uint32_t>(case_map_char(static_cast<int32_t>(value->data2), upper));
    return value;
  }
  const uint32_t node = string::node_of(value);
  const uint32_t total = node_buffer(node)->length();
  if (value->data1 > total) value->data1 = total;
  const uint32_t index = value->data1;
  uint32_t count = total - index;

  if (part) {
    int64_t limit;
    if (TYPE_OF(part) == TYPE_INTEGER) {
      limit = static_cast<int32_t>(part->data2);
    } else if (TYPE_OF(part) == TYPE_OF(value) && string::node_of(part) == node) {
      limit = static_cast<int64_t>(part->data1) - index;
    } else {
      fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(words::REF_PART), *part);
    }
    count = static_cast<uint32_t>(std::clamp<int64_t>(limit, 0, count));
  }

  for (uint32_t i = index; i < index + count; ++i) {
    // put_char may widen and move the buffer: read through the node each time.
    SeriesBuffer* b = node_buffer(node);
    uint32_t unit = b->unit();
    const uint8_t* at = b->head_ptr() + static_cast<size_t>(i) * unit;
    uint32_t cp = unit == 1 ? at[0] : unit == 2 ? static_cast<uint32_t>(at[0] | at[1] << 8)
                                                : static_cast<uint32_t>(at[0] | at[1] << 8 | at[2] << 16 | at[3] << 24);
    uint32_t mapped = static_cast<uint32_t>(case_map_char(static_cast<int32_t>(cp), upper));
    if (mapped != cp) string::put_char(node, static_cast<int32_t>(i), mapped);
  }

  ownership::check(value, upper ? words::WORD_UPPERCASE : words::WORD_LOWERCASE, static_cast<int32_t>(index),
                   static_cast<int32_t>(count));
  return value;
}

}  // namespace kiv
