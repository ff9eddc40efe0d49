#include "runtime/datatypes/triple.h"

#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"

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

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

void init() {
  datatype::register_type(TYPE_TRIPLE, 0, "triple!", {own<ACT_FORM>(form), own<ACT_MOLD>(mold)});
}

}  // namespace kiv::triple
