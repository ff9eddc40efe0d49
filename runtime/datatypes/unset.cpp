#include "runtime/datatypes/unset.h"

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv {

Cell unset_value{TYPE_UNSET, 0, 0, 0};

namespace unset {

Cell* into_result() {
  Cell* c = stack::arguments();
  set_unset(c);
  return c;
}
Cell* push() { return stack::push_new_cell(); }
Cell* at_tail(const Cell* block) { return alloc_tail(block); }  // a new tail cell is unset

Cell* make(Cell*, Cell*) { return &unset_value; }

// Forming unset gives no text at all.
int32_t form(Cell*, Cell*, Cell*, int32_t limit) { return limit; }

int32_t mold(Cell*, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  const char* text = flags.all ? "#(unset)" : "unset";
  string::append_text(buffer, text);
  return limit - (flags.all ? 8 : 5);
}

int32_t compare(Cell*, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_UNSET) return kNotComparable;
  return equality_or_sort_op(op) ? 0 : kNotComparable;
}

void init() {
  unset_value = Cell{TYPE_UNSET, 0, 0, 0};
  datatype::register_type(TYPE_UNSET, 0, "unset!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COMPARE>(compare),
  });
}

}  // namespace unset
}  // namespace kiv
