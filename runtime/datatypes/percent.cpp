#include "runtime/datatypes/percent.h"

#include <string>

#include "runtime/datatypes/float.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/float_text.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::percent {

Cell* push(double fraction) { return init_cell(stack::push_new_cell(), fraction); }
Cell* make_in(Cell* c, uint32_t low, uint32_t high) {
  *c = Cell{TYPE_PERCENT, 0, low, high};
  return c;
}
void set_float(Cell* c, double fraction) { init_cell(c, fraction); }
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high) { return make_in(alloc_tail(block), low, high); }

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  FloatText t = float_::to_text(cell_float(value) * 100.0, float_::kTextPercent);
  string::append_text(buffer, t.c_str());
  return limit - t.length;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

namespace {

// 50%, 12.5%, -1'000,5%, 1e3%: a float text before the "%", read with its
// decimal exponent lowered by 2.
int load_percent_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (t.end - t.start < 2 || t.end[-1] != '%') return TYPE_FLOAT;
  std::string text;
  for (const uint8_t* p = t.start; p < t.end - 1; ++p) text += *p == ',' ? '.' : static_cast<char>(*p);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(text.data());
  if (!float_text_valid_q(b, b + text.size())) return TYPE_FLOAT;
  std::string digits;
  for (char c : text)
    if (c != '\'') digits += c;
  ptrdiff_t unread = 0;
  double d = string_to_float(digits.data(), digits.data() + digits.size(), -2, &unread);
  if (unread != 0) return TYPE_FLOAT;  // a lone "." passes the grammar
  if (load) {
    Cell c;
    lexer::store_value(lx, *init_cell(&c, d));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalPercent] = load_percent_token;
  datatype::register_type(TYPE_PERCENT, TYPE_FLOAT, "percent!", {
      own<ACT_FORM>(form), own<ACT_MOLD>(mold),
  });
}

}  // namespace kiv::percent
