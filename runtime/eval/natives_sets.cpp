#include "runtime/eval/natives_sets.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/natives.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::natives {

namespace {

inline Cell* arg(int32_t n) { return stack::arguments() + n; }
inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

constexpr ArgTypeset kSetArg = arg_typeset({TYPE_BLOCK, TYPE_HASH, TYPE_STRING, TYPE_BITSET, TYPE_TYPESET});
constexpr ArgTypeset kSignArg =
    arg_typeset({TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT, TYPE_MONEY, TYPE_TIME});
constexpr ArgTypeset kIntegerArg = arg_typeset({TYPE_INTEGER});

void check_at(int32_t check, int32_t n, const ArgTypeset& types) {
  if (check) check_arg_type(arg(n), types.bits);
}

[[noreturn]] void fire_expect_arg(const Cell* value, const char* name) {
  Cell word;
  stack::calling_word(&word);
  fire(ErrorCategory::kScript, "expect-arg", word, datatype_cell(TYPE_OF(value)), word::load(name));
}

bool block_kind_q(uint32_t type) { return type == TYPE_BLOCK || type == TYPE_HASH; }

// The sign of a number argument: -1, 0 or 1 (NaN has none: 0).
int32_t sign_of(const Cell* value) {
  switch (TYPE_OF(value)) {
    case TYPE_INTEGER:
      return integer::sign(integer::get(value));
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
      double d = cell_float(value);
      return (d > 0.0) - (d < 0.0);
    }
    case TYPE_MONEY:
      return money::sign(value);
    default:
      fire_expect_arg(value, "number");
  }
}

bool nan_number_q(const Cell* v) {
  uint32_t t = TYPE_OF(v);
  return (t == TYPE_FLOAT || t == TYPE_PERCENT) && std::isnan(cell_float(v));
}
bool simple_number_q(const Cell* v) {
  uint32_t t = TYPE_OF(v);
  return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT;
}
bool composite_q(const Cell* v) {
  uint32_t t = TYPE_OF(v);
  return t == TYPE_PAIR || t == TYPE_TUPLE || t == TYPE_POINT2D || t == TYPE_POINT3D;
}


// The larger (max) or smaller (min) of two components; in float components
// a NaN of the second value wins.
template <typename T>
T pick_component(T x, T y, bool max) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(y)) return y;
  }
  return max ? (x < y ? y : x) : (y < x ? y : x);
}

// max and min of a pair, point or tuple with a number or a value of its own
// kind, component by component; the result has the composite's type and goes
// into the first argument. False for combinations that are not composite
// pairs (they are compared whole).
bool composite_max_min(Cell* a, Cell* b, bool max) {
  uint32_t ta = TYPE_OF(a), tb = TYPE_OF(b);
  if (ta == TYPE_TUPLE || tb == TYPE_TUPLE) {
    // Byte by byte; a number is clamped to a byte first.
    auto bytes_of = [](const Cell* c, uint8_t* out) {
      if (TYPE_OF(c) == TYPE_TUPLE) {
        std::copy(tuple::bytes(c), tuple::bytes(c) + tuple::kMaxCount, out);
        return tuple::count(c);
      }
      double d = TYPE_OF(c) == TYPE_INTEGER ? integer::get(c) : cell_float(c);
      uint8_t v = std::isnan(d) ? 0 : d <= 0 ? 0 : d >= 255 ? 255 : static_cast<uint8_t>(d);
      std::fill(out, out + tuple::kMaxCount, v);
      return 0;
    };
    if (!((ta == TYPE_TUPLE || simple_number_q(a)) && (tb == TYPE_TUPLE || simple_number_q(b)))) return false;
    uint8_t x[tuple::kMaxCount], y[tuple::kMaxCount], out[tuple::kMaxCount];
    int32_t n = std::max(bytes_of(a, x), bytes_of(b, y));
    // A number stands for every component of the tuple's count.
    for (int32_t i = 0; i < n; ++i) out[i] = pick_component(x[i], y[i], max);
    tuple::make_in(a, out, n);
    return true;
  }
  auto pair_side = [](const Cell* c) { return TYPE_OF(c) == TYPE_PAIR; };
  auto number_side = [](const Cell* c) { return simple_number_q(c); };
  // Pairs stay pairs with pairs and with numbers a component can hold.
  auto int_scalar = [](const Cell* c, int32_t* out) {
    if (TYPE_OF(c) == TYPE_INTEGER) {
      *out = integer::get(c);
      return true;
    }
    return float_::truncate_checked(cell_float(c), out);
  };
  int32_t n = 0;
  if ((pair_side(a) || (number_side(a) && int_scalar(a, &n))) &&
      (pair_side(b) || (number_side(b) && int_scalar(b, &n)))) {
    int32_t ax = pair_side(a) ? pair::x(a) : n, ay = pair_side(a) ? pair::y(a) : n;
    int32_t bx = pair_side(b) ? pair::x(b) : n, by = pair_side(b) ? pair::y(b) : n;
    pair::make_in(a, pick_component(ax, bx, max), pick_component(ay, by, max));
    return true;
  }
  // Otherwise points: a pair is a point2D!, a number every coordinate.
  uint32_t type = ta == TYPE_POINT3D || tb == TYPE_POINT3D ? TYPE_POINT3D : TYPE_POINT2D;
  int dims = point::dimensions(type);
  double x[3], y[3];
  auto coords_of = [&](const Cell* c, double* out) {
    uint32_t t = TYPE_OF(c);
    if (simple_number_q(c)) {
      double d = t == TYPE_INTEGER ? integer::get(c) : cell_float(c);
      out[0] = out[1] = out[2] = d;
      return true;
    }
    if (t == TYPE_PAIR) {
      if (type != TYPE_POINT2D) return false;
      out[0] = pair::x(c);
      out[1] = pair::y(c);
      return true;
    }
    if (t != type) return false;
    for (int i = 0; i < dims; ++i) out[i] = point::coordinate(c, i);
    return true;
  };
  if (!coords_of(a, x) || !coords_of(b, y)) return false;
  for (int i = 0; i < dims; ++i) x[i] = pick_component(x[i], y[i], max);
  point::make_in(a, type, x[0], x[1], x[2]);
  return true;
}

}  // namespace

void set_operation(bool case_sensitive, int32_t skip_position, int32_t op) {
  Cell* set1 = arg(0);
  Cell* set2 = op == SET_UNIQUE ? nullptr : arg(1);
  Cell* skip = skip_position >= 0 ? arg(skip_position) : nullptr;
  uint32_t t1 = TYPE_OF(set1);
  if (set2) {
    uint32_t t2 = TYPE_OF(set2);
    bool same_kind = t1 == t2 || (block_kind_q(t1) && block_kind_q(t2));
    if (!same_kind)
      fire(ErrorCategory::kScript, "expect-val", datatype_cell(t1), datatype_cell(t2));
  }
  switch (t1) {
    case TYPE_BLOCK:
    case TYPE_HASH:
      stack::set_last(block::set_operation(set1, set2, case_sensitive, skip, op));
      return;
    case TYPE_STRING:
      string::set_operation(op, set1, set2, case_sensitive, skip, set1);
      return;
    case TYPE_BITSET:
      if (op == SET_UNIQUE) break;
      bitset::bitwise(op);
      return;
    case TYPE_TYPESET:
      if (op == SET_UNIQUE) break;
      typeset::do_bitwise(op);
      return;
    case TYPE_DATE:
      if (op != SET_DIFFERENCE) break;
      // The time between two dates.
      time::init_cell(date::difference(set1, set2), set1);
      return;
    default:
      break;
  }
  fire_expect_arg(set1, op == SET_UNIQUE ? "set" : "set2");
}

void union_(int32_t check, const int32_t* refs) {
  check_at(check, 1, kSetArg);
  set_operation(refined(refs, 0), refs ? refs[1] : -1, SET_UNION);
}
void intersect(int32_t check, const int32_t* refs) {
  check_at(check, 1, kSetArg);
  set_operation(refined(refs, 0), refs ? refs[1] : -1, SET_INTERSECT);
}
void unique(int32_t check, const int32_t* refs) {
  if (check) check_arg_type(arg(0), arg_typeset({TYPE_BLOCK, TYPE_HASH, TYPE_STRING}).bits);
  set_operation(refined(refs, 0), refs ? refs[1] : -1, SET_UNIQUE);
}
void difference(int32_t check, const int32_t* refs) {
  if (check)
    check_arg_type(arg(1), arg_typeset({TYPE_BLOCK, TYPE_HASH, TYPE_STRING, TYPE_BITSET, TYPE_TYPESET,
                                        TYPE_DATE}).bits);
  set_operation(refined(refs, 0), refs ? refs[1] : -1, SET_DIFFERENCE);
}
void exclude(int32_t check, const int32_t* refs) {
  check_at(check, 1, kSetArg);
  set_operation(refined(refs, 0), refs ? refs[1] : -1, SET_EXCLUDE);
}

void complement_q(int32_t, const int32_t*) {
  Cell* a = arg(0);
  if (TYPE_OF(a) != TYPE_BITSET) fire_expect_arg(a, "bits");
  logic::init_cell(a, bitset::complemented_q(a));
}

void negative_q(int32_t check, const int32_t*) {
  check_at(check, 0, kSignArg);
  logic::init_cell(arg(0), sign_of(arg(0)) < 0);
}
void positive_q(int32_t check, const int32_t*) {
  check_at(check, 0, kSignArg);
  logic::init_cell(arg(0), sign_of(arg(0)) > 0);
}
void sign_q(int32_t check, const int32_t*) {
  check_at(check, 0, kSignArg);
  integer::init_cell(arg(0), sign_of(arg(0)));
}

void max_min_core(bool max) {
  Cell* a = arg(0);
  Cell* b = arg(1);
  // A NaN against another number wins, whichever side it is on.
  if (nan_number_q(a) && simple_number_q(b)) return;
  if (nan_number_q(b) && simple_number_q(a)) {
    *a = *b;
    return;
  }
  if ((composite_q(a) || composite_q(b)) && composite_max_min(a, b, max)) return;
  bool lesser = actions::compare(a, b, COMP_LESSER);
  // max: the second when the first is lesser; min: the second when the first
  // is not lesser (a tie gives max the first value and min the second).
  if (max ? lesser : !lesser) *a = *b;
}

void max(int32_t, const int32_t*) { max_min_core(true); }
void min(int32_t, const int32_t*) { max_min_core(false); }

void shift(int32_t check, const int32_t* refs) {
  check_at(check, 0, kIntegerArg);
  check_at(check, 1, kIntegerArg);
  int32_t data = integer::get(arg(0));
  int32_t bits = integer::get(arg(1));
  if (bits < 0) bits = 0;
  int32_t out;
  if (refined(refs, 0)) {
    out = bits >= 32 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) << bits);
  } else if (refined(refs, 1)) {
    out = bits >= 32 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) >> bits);
  } else {
    out = bits >= 32 ? (data < 0 ? -1 : 0) : (data >> bits);
  }
  integer::init_cell(arg(0), out);
}

}  // namespace kiv::natives
