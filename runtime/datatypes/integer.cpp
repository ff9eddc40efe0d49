#include "runtime/datatypes/integer.h"

#include "runtime/datatypes/registry.h"

namespace kiv::integer {

bool float_out_of_int_range_q(const Cell* c) {
  double d = cell_float(c);
  return !(d <= 2147483647.0 && d >= -2147483648.0);  // NaN fails both tests
}

DecimalText to_decimal(int32_t n) {
  DecimalText out{};
  char digits[12];
  int32_t count = 0;
  // Work on the magnitude as unsigned so -2147483648 needs no special case.
  uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int32_t length = 0;
  if (n < 0) out.text[length++] = '-';
  while (count > 0) out.text[length++] = digits[--count];
  out.text[length] = 0;
  out.length = length;
  return out;
}

namespace {

int32_t three_way(int32_t a, int32_t b) { return (a > b) - (a < b); }

}  // namespace

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t type2 = TYPE_OF(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && type2 != TYPE_INTEGER) return 1;
  switch (type2) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      return three_way(get(value1), static_cast<int32_t>(value2->data2));
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
      // Compared as a double through float!'s own compare, so the tolerant
      // float equality applies (1 = 1.0). Not comparable until float! exists.
      Handler h = type_handler(TYPE_FLOAT, ACT_COMPARE);
      if (!h) return kNotComparable;
      Cell as_float{TYPE_FLOAT, 0, 0, 0};
      set_cell_float(&as_float, static_cast<double>(get(value1)));
      return handler_as<ACT_COMPARE>(h)(&as_float, value2, op);
    }
    // money! comparison goes through the money module once it exists.
    default:
      return kNotComparable;
  }
}

namespace {

int32_t even_q(Cell* value) { return (get(value) & 1) == 0; }
int32_t odd_q(Cell* value) { return (get(value) & 1) != 0; }

Cell* complement(Cell* value) {
  value->data2 = ~value->data2;
  return value;
}

}  // namespace

void init() {
  const HandlerEntry row[] = {
      kNone<ACT_MAKE>,
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      kNone<ACT_TO>,
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
      own<ACT_EVEN_Q>(even_q),
      own<ACT_ODD_Q>(odd_q),
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
  datatype::register_type(TYPE_INTEGER, 0, "integer!", row);
}

}  // namespace kiv::integer
