#include "runtime/datatypes/none.h"

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv {

Cell none_value{TYPE_NONE, 0, 0, 0};

namespace none {

Cell* into_result() {
  Cell* c = stack::arguments();
  *c = Cell{TYPE_NONE, 0, 0, 0};
  return c;
}
Cell* push() {
  Cell* c = stack::push_new_cell();
  *c = Cell{TYPE_NONE, 0, 0, 0};
  return c;
}
Cell* at_tail(const Cell* block) {
  Cell* c = alloc_tail(block);
  *c = Cell{TYPE_NONE, 0, 0, 0};
  return c;
}

Cell* make(Cell*, Cell*) { return &none_value; }

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  string::append_text(buffer, "none");
  return limit - 4;
}

int32_t mold(Cell*, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  string::append_text(buffer, flags.all ? "#(none)" : "none");
  return limit - (flags.all ? 7 : 4);
}

int32_t compare(Cell*, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_NONE) return kNotComparable;
  return equality_or_sort_op(op) ? 0 : kNotComparable;
}

namespace {

// clear, remove and take of none give none, as do find and select in none.
Cell* answer_none(Cell*) { return &none_value; }
Cell* remove(Cell*, Cell*, Cell*) { return &none_value; }
Cell* take(Cell*, Cell*, bool, bool) { return &none_value; }
Cell* find(Cell*, Cell*, const FindOptions&) {
  return &none_value;
}
Cell* select(Cell*, Cell*, const FindOptions&) {
  return &none_value;
}
// -1 makes length? answer none.
int32_t length(Cell*) { return -1; }

}  // namespace

void init() {
  none_value = Cell{TYPE_NONE, 0, 0, 0};
  datatype::register_type(TYPE_NONE, 0, "none!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COMPARE>(compare), own<ACT_CLEAR>(answer_none), own<ACT_FIND>(find),
      own<ACT_LENGTH_Q>(length), own<ACT_REMOVE>(remove), own<ACT_SELECT>(select),
      own<ACT_TAKE>(take),
  });
}

}  // namespace none
}  // namespace kiv
