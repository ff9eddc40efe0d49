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

int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  const char* text = all ? "#(unset)" : "unset";
  string::append_text(buffer, text);
  return limit - (all ? 8 : 5);
}

int32_t compare(Cell*, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_UNSET) return kNotComparable;
  return equality_or_sort_op(op) ? 0 : kNotComparable;
}

void init() {
  unset_value = Cell{TYPE_UNSET, 0, 0, 0};
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
      kNone<ACT_CLEAR>,
      kNone<ACT_COPY>,
      kNone<ACT_FIND>,
      kNone<ACT_HEAD>,
      kNone<ACT_HEAD_Q>,
      kNone<ACT_INDEX_Q>,
      kNone<ACT_INSERT>,
      kNone<ACT_LENGTH_Q>,
      kNone<ACT_MOVE>,
      kNone<ACT_NEXT>,
      kNone<ACT_PICK>,
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
  datatype::register_type(TYPE_UNSET, 0, "unset!", row);
}

}  // namespace unset
}  // namespace kiv
