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

int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  string::append_text(buffer, all ? "#(none)" : "none");
  return limit - (all ? 7 : 4);
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
Cell* find(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
  return &none_value;
}
Cell* select(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) {
  return &none_value;
}
// -1 makes length? answer none.
int32_t length(Cell*) { return -1; }

}  // namespace

void init() {
  none_value = Cell{TYPE_NONE, 0, 0, 0};
  const HandlerEntry row[] = {
      own<ACT_MAKE>(make),
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      own<ACT_TO>(make),
      own<ACT_FORM>(form),
      own<ACT_MOLD>(mold),
      kNone<ACT_EVAL_PATH>,
      kNone<ACT_EMPTY_8>,
      own<ACT_COMPARE>(compare),
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
      own<ACT_CLEAR>(answer_none),
      kNone<ACT_COPY>,
      own<ACT_FIND>(find),
      kNone<ACT_HEAD>,
      kNone<ACT_HEAD_Q>,
      kNone<ACT_INDEX_Q>,
      kNone<ACT_INSERT>,
      own<ACT_LENGTH_Q>(length),
      kNone<ACT_MOVE>,
      kNone<ACT_NEXT>,
      kNone<ACT_PICK>,
      kNone<ACT_POKE>,
      kNone<ACT_PUT>,
      own<ACT_REMOVE>(remove),
      kNone<ACT_REVERSE>,
      own<ACT_SELECT>(select),
      kNone<ACT_SORT>,
      kNone<ACT_SKIP>,
      kNone<ACT_SWAP>,
      kNone<ACT_TAIL>,
      kNone<ACT_TAIL_Q>,
      own<ACT_TAKE>(take),
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
  datatype::register_type(TYPE_NONE, 0, "none!", row);
}

}  // namespace none
}  // namespace kiv
