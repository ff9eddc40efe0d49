#include "runtime/datatypes/integer.h"

#include <cmath>
#include <utility>
#include <cstring>
#include <limits>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/vector.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv {

int32_t scan_integer_text(const uint8_t* first, int32_t count, uint32_t unit, int32_t* error) {
  auto char_at = [&](int32_t i) -> uint32_t {
    const uint8_t* p = first + static_cast<size_t>(i) * unit;
    if (unit == 1) return *p;
    if (unit == 2) return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
    uint32_t c;
    std::memcpy(&c, p, 4);
    return c;
  };
  *error = 0;
  int32_t i = 0;
  bool negative = false;
  if (count > 0 && (char_at(0) == '+' || char_at(0) == '-')) {
    negative = char_at(0) == '-';
    i = 1;
  }
  // Accumulate the magnitude; the minimum value's magnitude is one more than
  // the maximum's, so the limit depends on the sign.
  const uint32_t limit = negative ? 2147483648u : 2147483647u;
  uint32_t magnitude = 0;
  for (; i < count; ++i) {
    uint32_t c = char_at(i);
    if (c == '\'') continue;
    if (c < '0' || c > '9') {
      *error = -1;
      return 0;
    }
    uint32_t digit = c - '0';
    if (magnitude > (limit - digit) / 10) {
      *error = -2;
      return 0;
    }
    magnitude = magnitude * 10 + digit;
  }
  return negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
}

namespace integer {

namespace {

Cell datatype_of(uint32_t type) {
  Cell c;
  datatype::init_cell(&c, type);
  return c;
}

[[noreturn]] void fire_overflow() { fire(ErrorCategory::kMath, "overflow"); }

// float! values are made here only as results (overflow, inexact division);
// the float module owns everything else about them.
void make_float(Cell* target, double d) { float_::init_cell(target, d); }

// Hands an operation over to the float module: the integer in `value`
// becomes a float!.
void to_float_in_place(Cell* value) { float_::init_cell(value, static_cast<double>(get(value))); }

[[noreturn]] void fire_not_related(uint32_t type) {
  Cell word;
  stack::calling_word(&word);
  fire(ErrorCategory::kScript, "not-related", datatype_of(type), word);
}

}  // namespace

Cell* push(int32_t value) { return init_cell(stack::push_new_cell(), value); }
Cell* into_result(int32_t value) { return init_cell(stack::arguments(), value); }
Cell* at_tail(const Cell* block, int32_t value) { return init_cell(alloc_tail(block), value); }
int32_t result_value() { return get(stack::arguments()); }
int32_t result_or_zero() {
  const Cell* r = stack::arguments();
  return TYPE_OF(r) == TYPE_INTEGER ? get(r) : 0;
}

int32_t abs(int32_t n) {
  if (n == std::numeric_limits<int32_t>::min()) fire_overflow();
  return n < 0 ? -n : n;
}

bool float_out_of_int_range_q(const Cell* c) {
  double d = cell_float(c);
  return !(d <= 2147483647.0 && d >= -2147483648.0);  // NaN fails both tests
}

namespace {

// The number of decimal digits of v: the bit length scaled by log10(2)
// (1233 / 4096) is the count or one less, and one comparison decides.
int32_t digit_count(uint32_t v) {
  static constexpr uint32_t kPowers[] = {1,      10,      100,      1000,      10000,
                                         100000, 1000000, 10000000, 100000000, 1000000000};
  const uint32_t t = (32 - static_cast<uint32_t>(__builtin_clz(v | 1))) * 1233 >> 12;
  return static_cast<int32_t>(t) + ((v | 1) >= kPowers[t] ? 1 : 0);
}

}  // namespace

int32_t write_decimal(int32_t n, uint8_t* out) {
  // Digits are written from the right, two at a time from a table of pairs,
  // straight into their place: the length is counted first.
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  // Work on the magnitude as unsigned so -2147483648 needs no special case.
  uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
  const int32_t sign = n < 0 ? 1 : 0;
  const int32_t length = sign + digit_count(magnitude);
  out[0] = '-';  // overwritten by the first digit when n is not negative
  uint8_t* p = out + length;
  while (magnitude >= 100) {
    const uint32_t pair = (magnitude % 100) * 2;
    magnitude /= 100;
    p -= 2;
    std::memcpy(p, kPairs + pair, 2);
  }
  if (magnitude >= 10) {
    p -= 2;
    std::memcpy(p, kPairs + magnitude * 2, 2);
  } else {
    *--p = static_cast<uint8_t>('0' + magnitude);
  }
  return length;
}

DecimalText to_decimal(int32_t n) {
  DecimalText out{};
  out.length = write_decimal(n, reinterpret_cast<uint8_t*>(out.text));
  out.text[out.length] = 0;
  return out;
}

int32_t do_op(int32_t op, int32_t left, int32_t right, Cell* target) {
  int64_t a = left, b = right;
  int64_t wide;
  switch (op) {
    case OP_ADD:
      wide = a + b;
      break;
    case OP_SUBTRACT:
      wide = a - b;
      break;
    case OP_MULTIPLY:
      wide = a * b;
      break;
    case OP_DIVIDE:
      if (right == 0) fire(ErrorCategory::kMath, "zero-divide");
      if (right == -1 && left == std::numeric_limits<int32_t>::min()) fire_overflow();
      if (target && left % right != 0) {
        make_float(target, static_cast<double>(left) / static_cast<double>(right));
        return 0;
      }
      wide = a / b;
      break;
    case OP_REMAINDER:
      if (right == 0) fire(ErrorCategory::kMath, "zero-divide");
      if (right == -1 && left == std::numeric_limits<int32_t>::min()) fire_overflow();
      wide = a % b;  // truncating: the sign of the left operand
      break;
    case OP_OR:
      wide = left | right;
      break;
    case OP_AND:
      wide = left & right;
      break;
    case OP_XOR:
      wide = left ^ right;
      break;
    default:
      fatal_runtime_error(101);
  }
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    // Only add, subtract and multiply get here; the exact result fits a double.
    if (target) {
      make_float(target, static_cast<double>(wide));
      return 0;
    }
  }
  int32_t r = static_cast<int32_t>(static_cast<uint32_t>(wide));
  if (target) target->data2 = static_cast<uint32_t>(r);
  return r;
}

void arith(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t type = TYPE_OF(right);
  switch (type) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      do_op(op, get(left), static_cast<int32_t>(right->data2), left);
      return;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      // float! arithmetic converts the integer left operand itself (and
      // refuses the bitwise ops with cannot-use).
      float_::arith(op);
      return;
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
      if (op == OP_DIVIDE) fire_not_related(TYPE_INTEGER);
      if (op == OP_REMAINDER) {
        // n % p does not commute: n becomes a pair/point with n in every
        // component, so each of n's copies is divided by p's component.
        const int32_t n = get(left);
        if (type == TYPE_PAIR) pair::make_in(left, n, n);
        else point::make_in(left, type, n, n, n);
        if (type == TYPE_PAIR) pair::do_math(op);
        else point::do_math(op);
        return;
      }
      // n op p is p op n, and n - p is (negate p) + n.
      std::swap(*left, *right);
      if (op == OP_SUBTRACT) {
        if (type == TYPE_PAIR) pair::negate(left);
        else point::negate(left);
        op = OP_ADD;
      }
      if (type == TYPE_PAIR) pair::do_math(op);
      else point::do_math(op);
      return;
    case TYPE_TUPLE:
      // n % t does not commute, and a tuple cannot hold n per component.
      if (op == OP_SUBTRACT || op == OP_DIVIDE || op == OP_REMAINDER) fire_not_related(TYPE_INTEGER);
      tuple::do_math(op);
      return;
    case TYPE_DATE: {
      if (op != OP_ADD) fire_not_related(TYPE_INTEGER);
      // n + date: the date plus n days.
      Cell n = *left;
      *left = *right;
      *right = n;
      date::do_math(OP_ADD);
      return;
    }
    case TYPE_MONEY:
      money::do_math(op);
      return;
    case TYPE_VECTOR:
      vector::scalar_math(op);
      return;
    default:
      fire(ErrorCategory::kScript, "invalid-type", datatype_of(type));
  }
}

Cell* to(Cell* type, Cell* spec) {
  int32_t n = 0;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_INTEGER:
      n = get(spec);
      break;
    case TYPE_CHAR:
      n = static_cast<int32_t>(spec->data2);
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      if (float_out_of_int_range_q(spec) || !float_::truncate_checked(cell_float(spec), &n))
        fire(ErrorCategory::kScript, "type-limit", datatype_of(TYPE_INTEGER));
      break;
    case TYPE_TIME:
      // Seconds rounded half up, without a range check; a value the 32-bit
      // range cannot hold is clamped rather than left undefined.
      n = float_::truncate_saturated<int32_t>(cell_float(spec) + 0.5);
      break;
    case TYPE_STRING: {  // every any-string! kind
      int32_t count = string::length(spec);
      int32_t error = 0;
      n = scan_integer_text(string::head_pointer(spec), count, string::unit_of(spec), &error);
      if (error != 0)
        fire(ErrorCategory::kScript, "bad-to-arg", datatype_of(TYPE_INTEGER), *spec);
      break;
    }
    case TYPE_BINARY: {
      // The first bytes from the head, big-endian, at most four.
      n = static_cast<int32_t>(static_cast<uint32_t>(binary::head_big_endian(spec, 4)));
      break;
    }
    case TYPE_DATE: {
      // Seconds since 1970; an instant the 32-bit range cannot hold (before
      // 1901 or after 2038) is refused rather than wrapped.
      int64_t seconds = date::to_unix_time(spec);
      if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
        fire(ErrorCategory::kScript, "type-limit", datatype_of(TYPE_INTEGER));
      n = static_cast<int32_t>(seconds);
      break;
    }
    case TYPE_MONEY:
      n = money::to_integer(spec);
      break;
    case TYPE_ISSUE: {
      // The issue's text read as at most eight hex digits, most significant
      // first (#FFFFFFFF is -1).
      constexpr size_t kMaxHexDigits = 8;
      std::string_view text = symbol::utf8_of(spec->data2);
      if (text.size() > kMaxHexDigits) fire(ErrorCategory::kScript, "invalid-data", *spec);
      uint32_t bits = 0;
      for (char c : text) {
        int digit = (c >= '0' && c <= '9') ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) fire(ErrorCategory::kScript, "invalid-data", *spec);
        bits = (bits << 4) | static_cast<uint32_t>(digit);
      }
      n = static_cast<int32_t>(bits);
      break;
    }
    default:
      fire(ErrorCategory::kScript, "bad-to-arg", datatype_of(TYPE_INTEGER), *spec);
  }
  // The result replaces the first argument: the frame's base cell.
  return init_cell(type, n);
}

Cell* make(Cell* type, Cell* spec) {
  if (TYPE_OF(spec) == TYPE_LOGIC) return init_cell(type, spec->data1 != 0 ? 1 : 0);
  return to(type, spec);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<uint32_t>(get(value)));
    return &unset_value;
  }
  int32_t n = get(value);
  if (n != 0) n = random::integer(secure ? random::Source::secure : random::Source::generator, n);
  // The header stays: char! inherits this handler and keeps its type.
  value->data2 = static_cast<uint32_t>(n);
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  DecimalText t = to_decimal(get(value));
  string::append_text(buffer, t.text);
  return limit - t.length;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

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
      // float equality applies (1 = 1.0).
      Cell as_float;
      float_::init_cell(&as_float, static_cast<double>(get(value1)));
      return float_::compare(&as_float, value2, op);
    }
    case TYPE_MONEY: {
      Cell m;
      money::from_integer(&m, get(value1));
      return money::compare(&m, value2, op);
    }
    default:
      return kNotComparable;
  }
}

Cell* negate(Cell* value) {
  int32_t n = get(value);
  if (n == std::numeric_limits<int32_t>::min()) fire_overflow();
  value->data2 = static_cast<uint32_t>(-n);
  return value;
}

Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  if (scale && TYPE_OF(scale) == TYPE_MONEY) fire_not_related(TYPE_MONEY);
  int32_t n = get(value);
  if (n == std::numeric_limits<int32_t>::min()) return value;
  if (scale && TYPE_OF(scale) != TYPE_INTEGER) {
    // A float!, percent! or time! scale: the value is rounded as a float!.
    to_float_in_place(value);
    return float_::round(value, scale, options);
  }
  if (!scale) return value;  // a scale of 1 changes nothing
  int32_t s = abs(get(scale));
  if (s == 0) return value;
  int64_t a = n < 0 ? -static_cast<int64_t>(n) : n;
  int64_t r = a % s;
  if (r == 0) return value;
  int64_t d = s - r;
  int64_t up = a + d;  // the next multiple away from zero
  int64_t dn = a - r;  // the next multiple toward zero
  int64_t sg = sign(n);
  auto check_up = [&] {
    if (up > std::numeric_limits<int32_t>::max()) fire_overflow();
  };
  int64_t out;
  if (options.down) {
    out = sg * dn;
  } else if (options.floor) {
    check_up();
    out = n > 0 ? dn : -up;
  } else if (options.ceiling) {
    check_up();
    out = n > 0 ? up : -dn;
  } else if (r < d) {
    out = sg * dn;
  } else if (r > d) {
    check_up();
    out = sg * up;
  } else if (options.even) {
    check_up();
    out = ((a / s) % 2 == 0) ? sg * dn : sg * up;
  } else if (options.half_down) {
    out = sg * dn;
  } else if (options.half_ceiling) {
    check_up();
    out = n > 0 ? up : -dn;
  } else {
    check_up();
    out = sg * up;
  }
  value->data2 = static_cast<uint32_t>(static_cast<int32_t>(out));
  return value;
}

namespace {

int32_t even_q(Cell* value) { return (get(value) & 1) == 0; }
int32_t odd_q(Cell* value) { return (get(value) & 1) != 0; }

Cell* complement(Cell* value) {
  value->data2 = ~value->data2;
  return value;
}

void absolute() {
  Cell* v = stack::arguments();
  v->data2 = static_cast<uint32_t>(abs(get(v)));
}

// Exponentiation by squaring in 32 bits; an overflow anywhere abandons it and
// float! power takes over, as it does for float and negative exponents.
void power() {
  Cell* base = stack::arguments();
  Cell* exponent = base + 1;
  uint32_t etype = TYPE_OF(exponent);
  if (etype != TYPE_INTEGER && etype != TYPE_FLOAT) {
    Cell word;
    stack::calling_word(&word);
    fire(ErrorCategory::kScript, "expect-arg", word, datatype_of(etype), word::load("exponent"));
  }
  if (etype == TYPE_INTEGER && get(exponent) >= 0) {
    int64_t result = 1;
    int64_t b = get(base);
    uint32_t e = static_cast<uint32_t>(get(exponent));
    bool overflow = false;
    auto fits = [](int64_t v) {
      return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
    };
    while (e != 0) {
      if (e & 1) {
        result *= b;
        if (!fits(result)) {
          overflow = true;
          break;
        }
      }
      e >>= 1;
      if (e != 0) {
        b *= b;
        if (!fits(b)) {
          overflow = true;
          break;
        }
      }
    }
    if (!overflow) {
      init_cell(base, static_cast<int32_t>(result));
      return;
    }
  }
  to_float_in_place(base);
  float_::power();
}

}  // namespace

void init() {
  datatype::register_type(TYPE_INTEGER, 0, "integer!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute),
      own_math<ACT_ADD, arith>(), own_math<ACT_DIVIDE, arith>(), own_math<ACT_MULTIPLY, arith>(),
      own<ACT_NEGATE>(negate), own<ACT_POWER>(power), own_math<ACT_REMAINDER, arith>(),
      own<ACT_ROUND>(round), own_math<ACT_SUBTRACT, arith>(), own<ACT_EVEN_Q>(even_q),
      own<ACT_ODD_Q>(odd_q), own_math<ACT_AND_T, arith>(), own<ACT_COMPLEMENT>(complement),
      own_math<ACT_OR_T, arith>(), own_math<ACT_XOR_T, arith>(),
  });
}

}  // namespace integer
}  // namespace kiv
