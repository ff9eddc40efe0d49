#include "runtime/datatypes/series_common.h"

#include <cstring>

#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/series.h"

namespace kiv::series {

namespace {

inline int32_t head_index(const Cell* s) { return static_cast<int32_t>(s->data1); }

inline int32_t total_units(const Cell* s) { return static_cast<int32_t>(node_buffer(s->data2)->length()); }

}  // namespace

bool any_block_q(uint32_t type) {
  switch (type) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
      return true;
    default:
      return false;
  }
}

bool series_type_q(uint32_t type) {
  switch (type) {
    case TYPE_STRING:
    case TYPE_FILE:
    case TYPE_URL:
    case TYPE_TAG:
    case TYPE_EMAIL:
    case TYPE_REF:
    case TYPE_BINARY:
    case TYPE_VECTOR:
    case TYPE_IMAGE:
      return true;
    default:
      return any_block_q(type);
  }
}

bool at_tail_q(const Cell* series) { return head_index(series) >= total_units(series); }

int32_t buffer_length(const Cell* series) { return total_units(series); }

int32_t length(Cell* series, bool from_start) {
  int32_t total = total_units(series);
  if (from_start) return total;
  int32_t head = head_index(series);
  if (head < 0) head = 0;
  if (head > total) {
    series->data1 = static_cast<uint32_t>(total);
    return 0;
  }
  return total - head;
}

bool skip_and_test(Cell* series, int32_t n) {
  int64_t pos = static_cast<int64_t>(head_index(series)) + n;
  int32_t total = total_units(series);
  if (pos >= 0 && pos <= total) series->data1 = static_cast<uint32_t>(pos);
  return pos >= total;
}

// ---------------------------------------------------------------------------
// Handlers.

int32_t length_q(Cell* series) { return length(series); }

Cell* pick(Cell* series, int32_t index, Cell* index_cell) {
  int64_t pos = static_cast<int64_t>(head_index(series)) + (index > 0 ? index - 1 : index);
  SeriesBuffer* b = node_buffer(series->data2);
  if (index == 0 || pos < 0 || pos >= static_cast<int64_t>(b->length())) return &none_value;
  uint32_t type = TYPE_OF(series);
  uint32_t u = b->unit();
  const uint8_t* at = b->head_ptr() + static_cast<size_t>(pos) * u;
  if (any_block_q(type) || type == TYPE_MAP) {
    // The result goes into the series' own cell (the frame's base cell).
    *series = *reinterpret_cast<const Cell*>(at);
    return series;
  }
  if (type == TYPE_BINARY) {
    *series = Cell{TYPE_INTEGER, 0, *at, 0};
    return series;
  }
  uint32_t cp;
  switch (u) {
    case 1:
      cp = *at;
      break;
    case 2: {
      uint16_t v;
      std::memcpy(&v, at, 2);
      cp = v;
      break;
    }
    default:
      std::memcpy(&cp, at, 4);
  }
  *series = Cell{TYPE_CHAR, 0, cp, 0};
  return series;
}

void init() {
  static const HandlerEntry row[] = {
      kNone<ACT_MAKE>,
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      kNone<ACT_TO>,
      kNone<ACT_FORM>,
      kNone<ACT_MOLD>,
      kNone<ACT_EVAL_PATH>,
      kNone<ACT_EMPTY_8>,
      kNone<ACT_COMPARE>,
      kNone<ACT_ABSOLUTE>,
      kNone<ACT_ADD>,
      kNone<ACT_DIVIDE>,
      kNone<ACT_MULTIPLY>,
      kNone<ACT_NEGATE>,
      kNone<ACT_POWER>,
      kNone<ACT_REMAINDER>,
      kNone<ACT_ROUND>,
      kNone<ACT_SUBTRACT>,
      kNone<ACT_EVEN_Q>,
      kNone<ACT_ODD_Q>,
      kNone<ACT_AND_T>,
      kNone<ACT_COMPLEMENT>,
      kNone<ACT_OR_T>,
      kNone<ACT_XOR_T>,
      kNone<ACT_APPEND>,
      kNone<ACT_AT>,
      kNone<ACT_BACK>,
      kNone<ACT_CHANGE>,
      kNone<ACT_CLEAR>,
      kNone<ACT_COPY>,
      kNone<ACT_FIND>,
      kNone<ACT_HEAD>,
      kNone<ACT_HEAD_Q>,
      kNone<ACT_INDEX_Q>,
      kNone<ACT_INSERT>,
      own<ACT_LENGTH_Q>(length_q),
      kNone<ACT_MOVE>,
      kNone<ACT_NEXT>,
      own<ACT_PICK>(pick),
      kNone<ACT_POKE>,
      kNone<ACT_PUT>,
      kNone<ACT_REMOVE>,
      kNone<ACT_REVERSE>,
      kNone<ACT_SELECT>,
      kNone<ACT_SORT>,
      kNone<ACT_SKIP>,
      kNone<ACT_SWAP>,
      kNone<ACT_TAIL>,
      kNone<ACT_TAIL_Q>,
      kNone<ACT_TAKE>,
      kNone<ACT_TRIM>,
      kNone<ACT_CREATE>,
      kNone<ACT_CLOSE>,
      kNone<ACT_DELETE>,
      kNone<ACT_MODIFY>,
      kNone<ACT_OPEN>,
      kNone<ACT_OPEN_Q>,
      kNone<ACT_QUERY>,
      kNone<ACT_READ>,
      kNone<ACT_RENAME>,
      kNone<ACT_UPDATE>,
      kNone<ACT_WRITE>,
  };
  datatype::register_type(TYPE_SERIES, 0, "series!", row);
}

}  // namespace kiv::series
