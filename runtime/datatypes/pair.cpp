#include "runtime/datatypes/pair.h"

#include <cmath>
#include <limits>
#include <string>

#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::pair {

namespace {

[[noreturn]] void fire_bad_to_arg(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_PAIR), *spec);
}

[[noreturn]] void fire_invalid_type(const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(value)));
}

// A float truncated toward zero into a component; a value that is not
// finite raises invalid-arg, one beyond the 32-bit range math overflow.
int32_t component_of(double d, const Cell* source) {
  if (!std::isfinite(d)) fire(ErrorCategory::kScript, "invalid-arg", *source);
  int32_t n;
  if (!float_::truncate_checked(d, &n)) fire(ErrorCategory::kMath, "overflow");
  return n;
}

// Turns the pair in the cell into a point2D! of the same coordinates.
void to_point(Cell* c) { point::make_in(c, TYPE_POINT2D, x(c), y(c)); }

}  // namespace

Cell* push(int32_t x, int32_t y) { return make_in(stack::push_new_cell(), x, y); }
Cell* at_tail(const Cell* block, int32_t x, int32_t y) { return make_in(alloc_tail(block), x, y); }

int32_t field_index(const Cell* element) {
  if (TYPE_OF(element) == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    return i == 1 || i == 2 ? i : 0;
  }
  if (TYPE_OF(element) != TYPE_WORD) return 0;
  if (word::spells_q(element, words::SYM_X)) return 1;
  if (word::spells_q(element, words::SYM_Y)) return 2;
  return 0;
}

namespace {

Cell* make(Cell* type, Cell* spec) {
  int32_t px, py;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
      int32_t c[2];
      for (int i = 0; i < 2; ++i) {
        if (count < 2) fire(ErrorCategory::kSyntax, "malconstruct", datatype_cell(TYPE_PAIR), *spec);
        const Cell* v = head + i;
        if (TYPE_OF(v) == TYPE_INTEGER) c[i] = integer::get(v);
        else if (TYPE_OF(v) == TYPE_FLOAT) c[i] = component_of(cell_float(v), v);
        else fire(ErrorCategory::kSyntax, "malconstruct", datatype_cell(TYPE_PAIR), *spec);
      }
      px = c[0];
      py = c[1];
      break;
    }
    case TYPE_STRING: {  // every any-string! kind
      Cell loaded;
      if (!float_::load_text_value(spec, uint64_t{1} << TYPE_PAIR, &loaded)) fire_bad_to_arg(spec);
      px = x(&loaded);
      py = y(&loaded);
      break;
    }
    case TYPE_PAIR:
      px = x(spec);
      py = y(spec);
      break;
    case TYPE_INTEGER:
      px = py = integer::get(spec);
      break;
    case TYPE_FLOAT:
      px = py = component_of(cell_float(spec), spec);
      break;
    case TYPE_POINT2D:
      px = component_of(point::coordinate(spec, 0), spec);
      py = component_of(point::coordinate(spec, 1), spec);
      break;
    default:
      fire_bad_to_arg(spec);
  }
  return make_in(type, px, py);
}

// One component by the 32-bit integer operation; false when its result is
// not an integer (then the whole operation is redone on points).
bool component_op(int32_t op, int32_t a, int32_t b, int32_t* out) {
  if (op == OP_DIVIDE && b == -1 && a == std::numeric_limits<int32_t>::min()) return false;
  if (op == OP_REMAINDER && b == -1) {
    *out = 0;  // exact, though the worker would see an overflow in it
    return true;
  }
  Cell target;
  integer::init_cell(&target, 0);
  int32_t r = integer::do_op(op, a, b, &target);
  if (TYPE_OF(&target) != TYPE_INTEGER) return false;
  *out = r;
  return true;
}

}  // namespace

void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  int32_t bx, by;
  switch (TYPE_OF(right)) {
    case TYPE_INTEGER:
      bx = by = integer::get(right);
      break;
    case TYPE_PAIR:
      bx = x(right);
      by = y(right);
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double f = cell_float(right);
      if (!std::isfinite(f)) fire(ErrorCategory::kScript, "invalid-arg", *right);
      if (op == OP_MULTIPLY || op == OP_DIVIDE) {
        to_point(left);
        point::do_math(op);
        return;
      }
      if (!float_::truncate_checked(f, &bx)) {
        // No 32-bit component can hold it: the sum or difference is a
        // point's; a bitwise operation has no meaning for it.
        if (op == OP_ADD || op == OP_SUBTRACT || op == OP_REMAINDER) {
          to_point(left);
          point::do_math(op);
          return;
        }
        fire(ErrorCategory::kMath, "overflow");
      }
      by = bx;
      break;
    }
    case TYPE_POINT2D:
      to_point(left);
      point::do_math(op);
      return;
    default:
      fire_invalid_type(right);
  }
  int32_t rx, ry;
  if (component_op(op, x(left), bx, &rx) && component_op(op, y(left), by, &ry)) {
    make_in(left, rx, ry);
    return;
  }
  to_point(left);
  point::make_in(right, TYPE_POINT2D, bx, by);
  point::do_math(op);
}

Cell* negate(Cell* value) {
  int32_t nx = x(value), ny = y(value);
  if (nx == std::numeric_limits<int32_t>::min() || ny == std::numeric_limits<int32_t>::min())
    fire(ErrorCategory::kMath, "overflow");
  return make_in(value, -nx, -ny);
}

namespace {

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  std::string text = integer::to_decimal(x(value)).text;
  text += 'x';
  text += integer::to_decimal(y(value)).text;
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t2 = TYPE_OF(value2);
  if (t2 != TYPE_PAIR) {
    if (op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) return 1;
    if (t2 != TYPE_POINT2D) return kNotComparable;
    Cell a;
    point::make_in(&a, TYPE_POINT2D, x(value1), y(value1));
    return point::compare(&a, value2, op);
  }
  if (x(value1) != x(value2)) return three_way(x(value1), x(value2));
  return three_way(y(value1), y(value2));
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent, Cell*, int32_t,
                PathFlags flags) {
  int32_t field = field_index(element);
  if (field == 0) fire(ErrorCategory::kScript, "invalid-path", *path, *element);
  if (!value) return integer::push(field == 1 ? x(parent) : y(parent));
  if (TYPE_OF(value) != TYPE_INTEGER) fire_invalid_type(value);
  if (field == 1) parent->data2 = value->data2;
  else parent->data3 = value->data2;
  // The pair lives in its container: a series owner hears of the change.
  // (An object container notifies through object!'s on-change*.)
  if (flags.notify && grand_parent && TYPE_OF(grand_parent) != TYPE_OBJECT)
    ownership::check(grand_parent, words::WORD_SET_PATH, field, 1);
  return value;
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int32_t field = field_index(index_cell);
  if (field == 0) {
    if (TYPE_OF(index_cell) == TYPE_WORD) fire(ErrorCategory::kScript, "cannot-use", *index_cell, *series);
    fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  }
  return integer::push(field == 1 ? x(series) : y(series));
}

void absolute() {
  Cell* v = stack::arguments();
  make_in(v, integer::abs(x(v)), integer::abs(y(v)));
}

Cell* reverse(Cell* value, Cell*, Cell*) { return make_in(value, y(value), x(value)); }

// Each component by integer rounding, with the scale's matching component
// for a pair! scale.
Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  if (scale && TYPE_OF(scale) == TYPE_MONEY) {
    Cell word;
    stack::calling_word(&word);
    fire(ErrorCategory::kScript, "not-related", datatype_cell(TYPE_MONEY), word);
  }
  int32_t c[2] = {x(value), y(value)};
  uint32_t top = stack::top_index();
  for (int i = 0; i < 2; ++i) {
    Cell* v = integer::push(c[i]);
    Cell* s = nullptr;
    if (scale) {
      s = stack::push_copy(scale);
      if (TYPE_OF(scale) == TYPE_PAIR) integer::init_cell(s, i == 0 ? x(scale) : y(scale));
    }
    Cell* r = integer::round(v, s, options);
    if (TYPE_OF(r) == TYPE_INTEGER) c[i] = integer::get(r);
    else c[i] = component_of(cell_float(r), r);
    stack::drop_cells(stack::top_index() - top);
  }
  return make_in(value, c[0], c[1]);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->data2 ^ value->data3);
    return &unset_value;
  }
  random::Source source = secure ? random::Source::secure : random::Source::generator;
  return make_in(value, random::integer(source, x(value)), random::integer(source, y(value)));
}


// 10x20, -1X5: two integers joined by x; a decimal point is refused.
int load_pair_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  const uint8_t* sep = s + 1;  // not the first byte: that may only be a sign or digit
  while (sep < e && *sep != 'x' && *sep != 'X') ++sep;
  if (sep >= e) return TYPE_PAIR;
  for (const uint8_t* p = s; p < e; ++p)
    if (*p == '.') return TYPE_PAIR;
  int32_t ex = 0, ey = 0;
  int32_t px = scan_integer_text(s, static_cast<int32_t>(sep - s), 1, &ex);
  int32_t py = scan_integer_text(sep + 1, static_cast<int32_t>(e - sep - 1), 1, &ey);
  auto digits = [](const uint8_t* a, const uint8_t* b) {
    for (; a < b; ++a)
      if (*a >= '0' && *a <= '9') return true;
    return false;
  };
  if (ex != 0 || ey != 0 || !digits(s, sep) || !digits(sep + 1, e)) return TYPE_PAIR;
  if (load) {
    Cell c;
    lexer::store_value(lx, *make_in(&c, px, py));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalPair] = load_pair_token;
  datatype::register_type(TYPE_PAIR, 0, "pair!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own<ACT_ABSOLUTE>(absolute), own_math<ACT_ADD, do_math>(), own_math<ACT_DIVIDE, do_math>(),
      own_math<ACT_MULTIPLY, do_math>(), own<ACT_NEGATE>(negate), own_math<ACT_REMAINDER, do_math>(),
      own<ACT_ROUND>(round), own_math<ACT_SUBTRACT, do_math>(), own_math<ACT_AND_T, do_math>(),
      own_math<ACT_OR_T, do_math>(), own_math<ACT_XOR_T, do_math>(), own<ACT_PICK>(pick), own<ACT_REVERSE>(reverse),
  });
}

}  // namespace kiv::pair
