#include "runtime/datatypes/point.h"

#include <cmath>
#include <string>

#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/murmur3.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv {

namespace point {

namespace {

// Up to three coordinates as doubles.
struct Coords {
  double v[3] = {0, 0, 0};
};

Coords coords_of(const Cell* c) {
  Coords out;
  for (int i = 0; i < dimensions(TYPE_OF(c)); ++i) out.v[i] = coordinate(c, i);
  return out;
}

[[noreturn]] void fire_bad_to_arg(uint32_t type, const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(type), *spec);
}

[[noreturn]] void fire_invalid_type(const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(value)));
}

bool number_q(const Cell* c) { return TYPE_OF(c) == TYPE_INTEGER || TYPE_OF(c) == TYPE_FLOAT; }
double number_of(const Cell* c) {
  return TYPE_OF(c) == TYPE_INTEGER ? static_cast<double>(integer::get(c)) : cell_float(c);
}

Cell calling_word() {
  Cell word;
  stack::calling_word(&word);
  return word;
}

}  // namespace

Cell* make_in(Cell* c, uint32_t type, double x, double y, double z) {
  *c = Cell{type, 0, 0, 0};
  set_coordinate(c, 0, x);
  set_coordinate(c, 1, y);
  if (type == TYPE_POINT3D) set_coordinate(c, 2, z);
  return c;
}

namespace {

// make and to of both types.
Cell* make(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  int n = dimensions(target);
  Coords c;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      if (count < n) fire(ErrorCategory::kSyntax, "malconstruct", datatype_cell(target), *spec);
      HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
      for (int i = 0; i < n; ++i) {
        if (!number_q(head + i)) fire(ErrorCategory::kSyntax, "malconstruct", datatype_cell(target), *spec);
        c.v[i] = number_of(head + i);
      }
      break;
    }
    case TYPE_STRING: {  // every any-string! kind
      Cell loaded;
      // The scan names every point literal point2D!: the loaded value tells.
      constexpr uint64_t kPoints = (uint64_t{1} << TYPE_POINT2D) | (uint64_t{1} << TYPE_POINT3D);
      if (!float_::load_text_value(spec, kPoints, &loaded) || TYPE_OF(&loaded) != target)
        fire_bad_to_arg(target, spec);
      c = coords_of(&loaded);
      break;
    }
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      c.v[0] = c.v[1] = c.v[2] = number_of(spec);
      break;
    case TYPE_PAIR:
      c.v[0] = pair::x(spec);
      c.v[1] = pair::y(spec);
      break;
    case TYPE_POINT2D:
      c = coords_of(spec);
      break;
    case TYPE_POINT3D:
      if (target != TYPE_POINT3D) fire_bad_to_arg(target, spec);
      c = coords_of(spec);
      break;
    default:
      fire_bad_to_arg(target, spec);
  }
  return make_in(type, target, c.v[0], c.v[1], c.v[2]);
}

}  // namespace

void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t lt = TYPE_OF(left);
  int n = dimensions(lt);
  Coords r;
  switch (TYPE_OF(right)) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      r.v[0] = r.v[1] = r.v[2] = number_of(right);
      break;
    case TYPE_PAIR:
      if (lt != TYPE_POINT2D) fire_invalid_type(right);
      r.v[0] = pair::x(right);
      r.v[1] = pair::y(right);
      break;
    default:
      if (TYPE_OF(right) != lt) fire_invalid_type(right);
      r = coords_of(right);
      break;
  }
  Coords l = coords_of(left);
  for (int i = 0; i < n; ++i) l.v[i] = float_::do_op(op, l.v[i], r.v[i]);
  make_in(left, lt, l.v[0], l.v[1], l.v[2]);
}

namespace {

// The ordering answer when a coordinate difference is NaN: every ordering
// test is false, and sorting puts NaN last.
int32_t nan_order(int32_t op, bool left_nan, bool right_nan) {
  switch (op) {
    case COMP_LESSER:
    case COMP_LESSER_EQUAL:
      return 1;
    case COMP_GREATER:
    case COMP_GREATER_EQUAL:
      return -1;
    default:
      return three_way(left_nan, right_nan);
  }
}

}  // namespace

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
  if (t1 != t2) {
    if (op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) return 1;
    if (!(t1 == TYPE_POINT2D && t2 == TYPE_PAIR)) return kNotComparable;
  }
  Cell other = *value2;
  if (t2 == TYPE_PAIR) make_in(&other, TYPE_POINT2D, pair::x(value2), pair::y(value2));
  int n = dimensions(t1);
  for (int i = 0; i < n; ++i) {
    float a = coordinate(value1, i), b = coordinate(&other, i);
    switch (op) {
      case COMP_EQUAL:
      case COMP_NOT_EQUAL:
      case COMP_FIND:
        if (!float_::float32_nearly_equal_q(a, b)) return 1;
        continue;
      case COMP_STRICT_EQUAL:
        if (!(a == b)) return 1;
        continue;
      case COMP_SAME:
        if ((&value1->data1)[i] != (&other.data1)[i]) return 1;
        continue;
      default:
        break;
    }
    if (std::isnan(a) || std::isnan(b)) {
      if (std::isnan(a) && std::isnan(b)) continue;
      return nan_order(op, std::isnan(a), std::isnan(b));
    }
    if (float_::float32_nearly_equal_q(a, b)) continue;
    double d = static_cast<double>(a) - static_cast<double>(b);
    return (d > 0) - (d < 0);
  }
  return 0;
}

Cell* negate(Cell* value) {
  for (int i = 0; i < dimensions(TYPE_OF(value)); ++i) set_coordinate(value, i, -coordinate(value, i));
  return value;
}

namespace {

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  std::string text = "(";
  for (int i = 0; i < dimensions(TYPE_OF(value)); ++i) {
    if (i > 0) text += ", ";
    text += float_::to_text(coordinate(value, i), float_::kTextPoint).view();
  }
  text += ')';
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

// The coordinate (0-based) an element names: x, y, z or 1-3; -1 for none.
int field_of(const Cell* element, uint32_t type) {
  int n = dimensions(type);
  if (TYPE_OF(element) == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    return i >= 1 && i <= n ? i - 1 : -1;
  }
  if (TYPE_OF(element) != TYPE_WORD) return -1;
  if (word::spells_q(element, words::SYM_X)) return 0;
  if (word::spells_q(element, words::SYM_Y)) return 1;
  if (n == 3 && word::spells_q(element, words::SYM_Z)) return 2;
  return -1;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent, Cell*, int32_t,
                PathFlags flags) {
  int field = field_of(element, TYPE_OF(parent));
  if (field < 0) fire(ErrorCategory::kScript, "invalid-path", *path, *element);
  if (!value) return float_::push(coordinate(parent, field));
  if (!number_q(value)) fire_invalid_type(value);
  set_coordinate(parent, field, number_of(value));
  // The point lives in its container: a series owner hears of the change.
  // (An object container notifies through object!'s on-change*.)
  if (flags.notify && grand_parent && TYPE_OF(grand_parent) != TYPE_OBJECT)
    ownership::check(grand_parent, words::WORD_SET_PATH, field + 1, 1);
  return value;
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int field = field_of(index_cell, TYPE_OF(series));
  if (field < 0) {
    if (TYPE_OF(index_cell) == TYPE_WORD) fire(ErrorCategory::kScript, "cannot-use", *index_cell, *series);
    fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  }
  return float_::push(coordinate(series, field));
}

void absolute() {
  Cell* v = stack::arguments();
  for (int i = 0; i < dimensions(TYPE_OF(v)); ++i) set_coordinate(v, i, std::fabs(coordinate(v, i)));
}

// point2D!: x and y swapped; point3D!: x and z.
Cell* reverse(Cell* value, Cell*, Cell*) {
  int last = dimensions(TYPE_OF(value)) - 1;
  std::swap((&value->data1)[0], (&value->data1)[last]);
  return value;
}

Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  int n = dimensions(TYPE_OF(value));
  Coords units;
  units.v[0] = units.v[1] = units.v[2] = 1.0;
  if (scale) {
    switch (TYPE_OF(scale)) {
      case TYPE_MONEY:
        fire(ErrorCategory::kScript, "not-related", datatype_cell(TYPE_MONEY), calling_word());
      case TYPE_INTEGER:
      case TYPE_FLOAT:
      case TYPE_PERCENT:
        units.v[0] = units.v[1] = units.v[2] = std::fabs(number_of(scale));
        break;
      case TYPE_PAIR:
        units.v[0] = std::fabs(static_cast<double>(pair::x(scale)));
        units.v[1] = std::fabs(static_cast<double>(pair::y(scale)));
        break;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        for (int i = 0; i < dimensions(TYPE_OF(scale)); ++i) units.v[i] = std::fabs(coordinate(scale, i));
        break;
      default:
        fire(ErrorCategory::kScript, "invalid-arg", *scale);
    }
  }
  const float_::RoundModes modes = options;
  for (int i = 0; i < n; ++i)
    set_coordinate(value, i, float_::round_value(coordinate(value, i), units.v[i], modes));
  return value;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  int n = dimensions(TYPE_OF(value));
  if (seed) {
    random::seed(murmur3_hash(&value->data1, static_cast<size_t>(n) * 4));
    return &unset_value;
  }
  for (int i = 0; i < n; ++i) {
    double c = coordinate(value, i);
    if (c == 0) continue;
    double r;
    if (secure) {
      double a = random::secure(), b = random::secure();
      r = c * (b + a / 2147483647.0) / 2147483648.0;
    } else {
      r = random::next() / 2147483647.0 * c;
    }
    set_coordinate(value, i, r);
  }
  return value;
}


// (x, y) and (x, y, z): the token runs from "(" to ")"; each coordinate is a
// float text (the float grammar, "," is the separator here) or a special
// float, with blanks and tabs around it.
int load_point_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  const uint8_t* p = t.start;
  const uint8_t* e = t.end;
  if (e - p < 2 || *p != '(' || e[-1] != ')') return TYPE_POINT2D;
  ++p;
  --e;
  double v[3] = {0, 0, 0};
  int n = 0;
  for (;;) {
    if (n == 3) return TYPE_POINT3D;
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    const uint8_t* s = p;
    while (p < e && *p != ',' && *p != ' ' && *p != '\t') ++p;
    const uint8_t* f = p;
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    uint32_t bad = n == 2 ? TYPE_POINT3D : TYPE_POINT2D;
    if (f == s) return bad;
    std::string text(s, f);
    bool special = text.find('#') != std::string::npos;
    if (!special) {
      const uint8_t* b = reinterpret_cast<const uint8_t*>(text.data());
      if (!float_text_valid_q(b, b + text.size())) return bad;
      std::string digits;
      for (char c : text)
        if (c != '\'') digits += c;
      text = digits;
    }
    ptrdiff_t unread = 0;
    v[n++] = string_to_float(text.data(), text.data() + text.size(), 0, &unread);
    if (unread != 0) return bad;
    if (p == e) break;
    if (*p != ',') return bad;
    ++p;
  }
  if (n < 2) return TYPE_POINT2D;
  if (load) {
    Cell c;
    lexer::store_value(lx, *make_in(&c, n == 3 ? TYPE_POINT3D : TYPE_POINT2D, v[0], v[1], v[2]));
  }
  return lexer::kLexOk;
}

void register_point(uint32_t type, const char* name) {
  datatype::register_type(type, 0, name, {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own<ACT_ABSOLUTE>(absolute), own_math<ACT_ADD, do_math>(), own_math<ACT_DIVIDE, do_math>(),
      own_math<ACT_MULTIPLY, do_math>(), own<ACT_NEGATE>(negate), own_math<ACT_REMAINDER, do_math>(),
      own<ACT_ROUND>(round), own_math<ACT_SUBTRACT, do_math>(), own<ACT_PICK>(pick),
      own<ACT_REVERSE>(reverse),
  });
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalPoint] = load_point_token;
  register_point(TYPE_POINT2D, "point2D!");
  register_point(TYPE_POINT3D, "point3D!");
}

}  // namespace point

namespace point2D {
Cell* push(double x, double y) { return make_in(stack::push_new_cell(), x, y); }
Cell* at_tail(const Cell* block, double x, double y) { return make_in(alloc_tail(block), x, y); }
Cell* negate(Cell* value) { return point::negate(value); }
}  // namespace point2D

namespace point3D {
Cell* push(double x, double y, double z) { return make_in(stack::push_new_cell(), x, y, z); }
Cell* at_tail(const Cell* block, double x, double y, double z) { return make_in(alloc_tail(block), x, y, z); }
Cell* negate(Cell* value) { return point::negate(value); }
}  // namespace point3D

}  // namespace kiv
