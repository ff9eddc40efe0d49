#include "runtime/datatypes/logic.h"

#include "runtime/datatypes/registry.h"

namespace kiv {

Cell true_value{TYPE_LOGIC, 1, 0, 0};
Cell false_value{TYPE_LOGIC, 0, 0, 0};

namespace logic {

Cell* to(Cell*, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_LOGIC:
      return spec;
    case TYPE_NONE:
      return &false_value;
    default:
      return &true_value;
  }
}

Cell* make(Cell* type, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_INTEGER:
      return constant(static_cast<int32_t>(spec->data2) != 0);
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      // A NaN is not equal to 0.0, so it gives true.
      return constant(!(cell_float(spec) == 0.0));
    default:
      return to(type, spec);
  }
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_LOGIC) return kNotComparable;
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SORT:
    case COMP_CASE_SORT:
    case COMP_SAME:
    case COMP_FIND:
      // false sorts before true
      return static_cast<int32_t>(get(value1)) - static_cast<int32_t>(get(value2));
    default:
      return kNotComparable;
  }
}

Cell* complement(Cell* value) {
  value->data1 ^= 1;
  return value;
}

void init() {
  true_value = Cell{TYPE_LOGIC, 1, 0, 0};
  false_value = Cell{TYPE_LOGIC, 0, 0, 0};
  const HandlerEntry row[] = {
      own<ACT_MAKE>(make),
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      own<ACT_TO>(to),
      kNone<ACT_FORM>,
      kNone<ACT_MOLD>,
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
      own<ACT_COMPLEMENT>(complement),
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
  datatype::register_type(TYPE_LOGIC, 0, "logic!", row);
}

}  // namespace logic
}  // namespace kiv
