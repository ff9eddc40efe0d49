#include "runtime/datatypes/triple.h"

#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/eval/actions.h"

namespace kiv::triple {

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  static constexpr char kOpen[] = "make triple! [";
  string::append_text(buffer, kOpen);
  int32_t written = static_cast<int32_t>(sizeof kOpen - 1);
  const uint32_t words[] = {value->data1, value->data2, value->data3};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      string::append_char(buffer, ' ');
      ++written;
    }
    integer::DecimalText t = integer::to_decimal(static_cast<int32_t>(words[i]));
    string::append_text(buffer, t.text);
    written += t.length;
  }
  string::append_char(buffer, ']');
  return limit - (written + 1);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

void init() {
  const HandlerEntry row[] = {
      kNone<ACT_MAKE>,        kNone<ACT_RANDOM>,     kNone<ACT_REFLECT>,    kNone<ACT_TO>,
      own<ACT_FORM>(form),    own<ACT_MOLD>(mold),   kNone<ACT_EVAL_PATH>,  kNone<ACT_EMPTY_8>,
      kNone<ACT_COMPARE>,     kNone<ACT_ABSOLUTE>,   kNone<ACT_ADD>,        kNone<ACT_DIVIDE>,
      kNone<ACT_MULTIPLY>,    kNone<ACT_NEGATE>,     kNone<ACT_POWER>,      kNone<ACT_REMAINDER>,
      kNone<ACT_ROUND>,       kNone<ACT_SUBTRACT>,   kNone<ACT_EVEN_Q>,     kNone<ACT_ODD_Q>,
      kNone<ACT_AND_T>,       kNone<ACT_COMPLEMENT>, kNone<ACT_OR_T>,       kNone<ACT_XOR_T>,
      kNone<ACT_APPEND>,      kNone<ACT_AT>,         kNone<ACT_BACK>,       kNone<ACT_CHANGE>,
      kNone<ACT_CLEAR>,       kNone<ACT_COPY>,       kNone<ACT_FIND>,       kNone<ACT_HEAD>,
      kNone<ACT_HEAD_Q>,      kNone<ACT_INDEX_Q>,    kNone<ACT_INSERT>,     kNone<ACT_LENGTH_Q>,
      kNone<ACT_MOVE>,        kNone<ACT_NEXT>,       kNone<ACT_PICK>,       kNone<ACT_POKE>,
      kNone<ACT_PUT>,         kNone<ACT_REMOVE>,     kNone<ACT_REVERSE>,    kNone<ACT_SELECT>,
      kNone<ACT_SORT>,        kNone<ACT_SKIP>,       kNone<ACT_SWAP>,       kNone<ACT_TAIL>,
      kNone<ACT_TAIL_Q>,      kNone<ACT_TAKE>,       kNone<ACT_TRIM>,       kNone<ACT_CREATE>,
      kNone<ACT_CLOSE>,       kNone<ACT_DELETE>,     kNone<ACT_MODIFY>,     kNone<ACT_OPEN>,
      kNone<ACT_OPEN_Q>,      kNone<ACT_QUERY>,      kNone<ACT_READ>,       kNone<ACT_RENAME>,
      kNone<ACT_UPDATE>,      kNone<ACT_WRITE>,
  };
  datatype::register_type(TYPE_TRIPLE, 0, "triple!", row);
}

}  // namespace kiv::triple
