#include "runtime/datatypes/float.h"

#include <charconv>
#include <cmath>
#include <utility>
#include <cstring>
#include <string>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/vector.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv {
namespace float_ {

bool pretty_print_q = true;
bool full_support_q = false;

namespace {

uint64_t bits_of(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
double from_bits(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

constexpr uint64_t kSignBit = 0x8000000000000000ull;

Cell calling_word() {
  Cell word;
  stack::calling_word(&word);
  return word;
}

// The word of the action an arithmetic op code stands for, for not-related.
Cell op_word(int32_t op) {
  switch (op) {
    case OP_ADD:
      return *words::cell_of(words::WORD_ADD);
    case OP_SUBTRACT:
      return *words::cell_of(words::WORD_SUBTRACT);
    case OP_MULTIPLY:
      return *words::cell_of(words::WORD_MULTIPLY);
    case OP_DIVIDE:
      return *words::cell_of(words::WORD_DIVIDE);
    default:
      return calling_word();
  }
}

[[noreturn]] void fire_not_related(uint32_t type, int32_t op) {
  fire(ErrorCategory::kScript, "not-related", datatype_cell(type), op_word(op));
}

[[noreturn]] void fire_invalid_type(uint32_t type) {
  fire(ErrorCategory::kScript, "invalid-type", datatype_cell(type));
}

[[noreturn]] void fire_bad_to_arg(uint32_t type, const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(type), *spec);
}

// The double of a number cell: integer!, char!, or one of the double kinds.
double number_of(const Cell* c) {
  switch (TYPE_OF(c)) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      return static_cast<double>(static_cast<int32_t>(c->data2));
    default:
      return cell_float(c);
  }
}

}  // namespace

double quiet_nan() { return from_bits(static_cast<uint64_t>(kQuietNaNHigh) << 32); }

int32_t to_int_truncate(double x) { return truncate_saturated<int32_t>(x + kBelowHalf); }

// ---------------------------------------------------------------------------
// Cells.

Cell* push(double d) { return init_cell(stack::push_new_cell(), d); }
Cell* push_words(uint32_t low, uint32_t high) {
  Cell* c = stack::push_new_cell();
  *c = Cell{TYPE_FLOAT, 0, low, high};
  return c;
}
Cell* into_result(double d) { return init_cell(stack::arguments(), d); }
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high) {
  Cell* c = alloc_tail(block);
  *c = Cell{TYPE_FLOAT, 0, low, high};
  return c;
}

// ---------------------------------------------------------------------------
// Bit tests.

bool nan_bits_q(uint32_t low, uint32_t high) {
  return (high & 0x7FF00000) == 0x7FF00000 && ((high & 0x000FFFFF) != 0 || low != 0);
}
bool not_finite_q(double d) { return (bits_of(d) & 0x7FF0000000000000ull) == 0x7FF0000000000000ull; }
bool float32_nan_q(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return (u & 0x7F800000) == 0x7F800000 && (u & 0x007FFFFF) != 0;
}
double abs_bits(double d) { return from_bits(bits_of(d) & ~kSignBit); }

// ---------------------------------------------------------------------------
// Arithmetic.

double do_op(int32_t op, double x, double y) {
  switch (op) {
    case OP_ADD:
      return x + y;
    case OP_SUBTRACT:
      return x - y;
    case OP_MULTIPLY:
      return x * y;
    case OP_DIVIDE:
      return x / y;
    case OP_REMAINDER:
      if (std::isnan(y)) return y;
      if (std::isinf(y)) return std::isfinite(x) ? x : quiet_nan();
      return std::fmod(x, y);  // y = 0 gives NaN, as IEEE says
    case OP_OR:
    case OP_AND:
    case OP_XOR:
      fire(ErrorCategory::kScript, "cannot-use", calling_word(), datatype_cell(TYPE_FLOAT));
    default:
      fatal_runtime_error(101);
  }
}

void arith(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t lt = TYPE_OF(left), rt = TYPE_OF(right);
  switch (rt) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      break;
    case TYPE_TUPLE:
      // f % t does not commute either, and a tuple cannot hold f per component.
      if (op == OP_SUBTRACT || op == OP_DIVIDE || op == OP_REMAINDER) fire_not_related(lt, op);
      tuple::do_math(op);
      return;
    case TYPE_MONEY:
      money::do_math(op);
      return;
    case TYPE_VECTOR:
      vector::scalar_math(op);
      return;
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
      if (lt != TYPE_TIME) {
        if (op == OP_SUBTRACT || op == OP_DIVIDE) fire_not_related(lt, op);
        if (op == OP_REMAINDER) {
          // f % p does not commute: f goes into every component of the left
          // operand (truncated for a pair, as pair % f truncates f).
          const double f = number_of(left);
          int32_t n;
          if (rt == TYPE_PAIR && float_::truncate_checked(f, &n)) {
            pair::make_in(left, n, n);
            pair::do_math(op);
          } else {
            point::make_in(left, rt == TYPE_PAIR ? TYPE_POINT2D : rt, f, f, f);
            point::do_math(op);
          }
          return;
        }
        // f op p is p op f: the number keeps its type on the right.
        std::swap(*left, *right);
        if (rt == TYPE_PAIR) pair::do_math(op);
        else point::do_math(op);
        return;
      }
      fire_invalid_type(rt);
    default:
      fire_invalid_type(rt);
  }
  if (rt == TYPE_CHAR && (lt == TYPE_TIME || lt == TYPE_PERCENT)) fire_invalid_type(rt);

  uint32_t result_type;
  if ((lt == TYPE_TIME) != (rt == TYPE_TIME)) result_type = TYPE_TIME;
  else if (lt == TYPE_INTEGER) result_type = TYPE_FLOAT;
  else result_type = lt;  // percent! op anything stays percent!
  double r = do_op(op, number_of(left), number_of(right));
  init_cell(left, r, result_type);
}

// ---------------------------------------------------------------------------
// Comparison.

namespace {

// The 64-bit pattern mapped so that unsigned order is numeric order: negative
// values below the sign bit, non-negative ones above it; both zeros meet.
uint64_t ordered_bits(double d) {
  uint64_t u = bits_of(d);
  return (u & kSignBit) ? (0 - u) : (u | kSignBit);
}

uint32_t ordered_bits32(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return (u & 0x80000000u) ? (0 - u) : (u | 0x80000000u);
}

constexpr uint64_t kMaxUlps = 10;

}  // namespace

bool nearly_equal_q(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return false;
  if (x == y) return true;
  // An infinity is near no finite number, however large: its bit pattern
  // lies one step above the largest double.
  if (std::isinf(x) || std::isinf(y)) return false;
  if (std::fabs(x - y) < kEpsilon) return true;
  uint64_t a = ordered_bits(x), b = ordered_bits(y);
  return (a > b ? a - b : b - a) <= kMaxUlps;
}

bool float32_nearly_equal_q(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return false;
  if (x == y) return true;  // both zeros included
  if (std::isinf(x) || std::isinf(y)) {
    // Beyond the largest single: the same sign and magnitudes close in bits.
    if (std::signbit(x) != std::signbit(y)) return false;
    uint32_t a, b;
    std::memcpy(&a, &x, 4);
    std::memcpy(&b, &y, 4);
    a &= 0x7FFFFFFF;
    b &= 0x7FFFFFFF;
    return (a > b ? a - b : b - a) < 0x100000;
  }
  uint32_t a = ordered_bits32(x), b = ordered_bits32(y);
  return (a > b ? a - b : b - a) <= kMaxUlps;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t2 = TYPE_OF(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && t2 != TYPE_OF(value1))
    return 1;
  double x = cell_float(value1);
  double y;
  switch (t2) {
    case TYPE_INTEGER:
      y = static_cast<double>(integer::get(value2));
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      y = cell_float(value2);
      break;
    case TYPE_MONEY: {
      // Beyond what an amount holds the float is simply larger or smaller;
      // a magnitude below its last digit compares as a float.
      if (std::isnan(x)) return op == COMP_EQUAL || op == COMP_NOT_EQUAL ? 1 : kNotComparable;
      if (std::fabs(x) >= 1e17) return x > 0 ? 1 : -1;
      if (x != 0.0 && std::fabs(x) < 1e-5) {
        y = money::to_float(value2);
        break;
      }
      Cell m;
      money::from_float(&m, x);
      return money::compare(&m, value2, op);
    }
    default:
      return kNotComparable;
  }
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
      return nearly_equal_q(x, y) ? 0 : 1;
    case COMP_STRICT_EQUAL:
      return x == y ? 0 : 1;
    case COMP_SAME:
      return bits_of(x) == bits_of(y) ? 0 : 1;
    default:
      break;
  }
  if (std::isnan(x) || std::isnan(y)) {
    // Every ordering test with a NaN is false.
    switch (op) {
      case COMP_LESSER:
      case COMP_LESSER_EQUAL:
        return 1;
      case COMP_GREATER:
      case COMP_GREATER_EQUAL:
        return -1;
      case COMP_SORT:
      case COMP_CASE_SORT:
        // A sort needs a total order: NaN goes after every number (an
        // answer of "equal" to everything left the other values unsorted).
        return three_way(std::isnan(x), std::isnan(y));
      case COMP_FIND:
        return 1;  // NaN matches nothing, as with equality
      default:
        return 0;
    }
  }
  return three_way(x, y);
}

// ---------------------------------------------------------------------------
// Text.

namespace {

// printf's %.<precision>g, in the C locale whatever the process locale is.
std::string format_g(double x, int precision) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, precision);
  return std::string(buf, r.ptr);
}

std::string format_mode(double x, int mode, bool reduced) {
  if (reduced) {
    bool short_mode = mode == kTextSingle || mode == kTextTime || mode == kTextPoint;
    return format_g(x, short_mode ? 5 : 14);
  }
  switch (mode) {
    case kTextSingle:
    case kTextSinglePercent:
    case kTextPoint:
      return format_g(x, 7);
    case kTextPercent:
      return format_g(x, 13);
    case kTextTime: {
      FloatText t = form_float(x, 6, false);
      std::string s(t.view());
      if (!s.empty() && s.back() == '.') s.pop_back();
      return s;
    }
    default:
      return format_g(x, 16);
  }
}

// True when the text's last digits look like a binary residue ("01" or
// "99" at the end of a long mantissa).
bool residue_q(const std::string& s) {
  size_t e = s.find('e');
  std::string tail;
  if (e == std::string::npos) {
    size_t first = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (s.size() > 16 && (s[first] != '0' || s.size() > 17)) tail = s.substr(s.size() - 2);
  } else if (e > 16) {
    tail = s.substr(e - 2, 2);
  }
  return tail == "01" || tail == "99";
}

// After "e": "-" stays, "+" and leading zeros go (1e+020 -> 1e20).
void tidy_exponent(std::string& s) {
  size_t e = s.find('e');
  if (e == std::string::npos) return;
  std::string out = s.substr(0, e + 1);
  size_t i = e + 1;
  if (i < s.size() && s[i] == '-') out += s[i++];
  else if (i < s.size() && s[i] == '+') ++i;
  while (i + 1 < s.size() && s[i] == '0') ++i;
  out += s.substr(i);
  s = out;
}

FloatText text_of(const std::string& s) {
  FloatText t;
  size_t n = s.size() < sizeof t.text - 1 ? s.size() : sizeof t.text - 1;
  std::memcpy(t.text, s.data(), n);
  t.text[n] = 0;
  t.length = static_cast<int>(n);
  return t;
}

}  // namespace

FloatText to_text(double x, int mode) {
  if (std::isnan(x)) return text_of("1.#NaN");
  if (std::isinf(x)) return text_of(x > 0 ? "1.#INF" : "-1.#INF");
  bool percent = mode == kTextSinglePercent || mode == kTextPercent;
  if (mode == kTextSinglePercent) x *= 100.0;
  if (pretty_print_q && std::fabs(x) < kEpsilon)
    return text_of(percent ? "0%" : mode == kTextPoint ? "0" : "0.0");
  std::string s = format_mode(x, mode, false);
  if (pretty_print_q && residue_q(s)) s = format_mode(x, mode, true);
  tidy_exponent(s);
  if (percent) {
    s += '%';
  } else if (s.find('.') == std::string::npos && mode != kTextTime && mode != kTextPoint) {
    size_t e = s.find('e');
    if (e == std::string::npos) s += ".0";
    else s.insert(e, ".0");
  }
  return text_of(s);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  FloatText t = to_text(cell_float(value), kTextFloat);
  string::append_text(buffer, t.c_str());
  return limit - t.length;
}

// The shortest digits that read back as the same double, ".0" after a whole
// number: mold is meant to be loaded again.
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell*, int32_t limit, int32_t) {
  FloatText t = form_float(cell_float(value), 0, true);
  string::append_text(buffer, t.c_str());
  return limit - t.length;
}

// ---------------------------------------------------------------------------
// Rounding.

namespace {

// 2^-53: a value whose magnitude times this exceeds the unit has no fraction
// at that unit.
constexpr double kTwoToMinus53 = 1.0 / 9007199254740992.0;
// Units below 1 are applied through their reciprocal; a unit so small that
// its reciprocal overflows is first scaled up by 2^kTinyShift.
constexpr int kTinyShift = 128;

double round_scaled(double y, const RoundModes& m) {
  double v = std::fabs(y);
  double f = std::floor(v);
  double half = f + 0.5;
  if (m.down) return std::copysign(f, y);
  if (m.floor) return std::floor(y);
  if (m.ceiling) return std::ceil(y);
  if (v < half) return std::copysign(f, y);
  if (v > half) return std::copysign(std::ceil(v), y);
  if (m.even) return std::fmod(f, 2.0) >= 1.0 ? std::copysign(std::ceil(v), y) : std::copysign(f, y);
  if (m.half_down) return std::copysign(f, y);
  if (m.half_ceiling) return std::ceil(y);
  return std::copysign(std::ceil(v), y);
}

}  // namespace

double round_value(double x, double unit, const RoundModes& modes) {
  if (!(unit > 0) || std::isinf(unit)) return x;  // 0, NaN: nothing to round to
  if (std::fabs(x) * kTwoToMinus53 > unit || std::isnan(x)) return x;
  double r;
  if (unit >= 1.0) {
    r = round_scaled(x / unit, modes) * unit;
  } else {
    double reciprocal = 1.0 / unit;
    if (std::isfinite(reciprocal)) {
      r = round_scaled(x * reciprocal, modes) / reciprocal;
    } else {
      // x is tiny here too (it has a fraction at this unit), so scaling both
      // by the same power of two loses nothing.
      double scaled_reciprocal = 1.0 / std::ldexp(unit, kTinyShift);
      r = std::ldexp(round_scaled(std::ldexp(x, kTinyShift) * scaled_reciprocal, modes) /
                         scaled_reciprocal,
                     -kTinyShift);
    }
  }
  if (std::fabs(r) == kLargest) fire(ErrorCategory::kMath, "overflow");
  return r;
}

Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  uint32_t vt = TYPE_OF(value);
  uint32_t result_type = vt;
  double unit = vt == TYPE_PERCENT ? 0.01 : 1.0;
  if (scale) {
    uint32_t st = TYPE_OF(scale);
    switch (st) {
      case TYPE_MONEY:
        fire(ErrorCategory::kScript, "not-related", datatype_cell(TYPE_MONEY), calling_word());
      case TYPE_INTEGER:
      case TYPE_FLOAT:
      case TYPE_PERCENT:
      case TYPE_TIME:
        break;
      default:
        fire(ErrorCategory::kScript, "invalid-arg", *scale);
    }
    unit = std::fabs(number_of(scale));
    if (vt == TYPE_PERCENT) unit /= 100.0;
    if (st != TYPE_TIME) result_type = st;
  }
  const RoundModes modes = options;
  double r = round_value(cell_float(value), unit, modes);
  if (result_type == TYPE_INTEGER) {
    int32_t n;
    if (!truncate_checked(r, &n)) fire(ErrorCategory::kMath, "overflow");
    return integer::init_cell(value, n);
  }
  return init_cell(value, r, result_type);
}

// ---------------------------------------------------------------------------
// make and to.

bool load_text_value(Cell* text, uint64_t accepted, Cell* out) {
  lexer::LexRequest request;
  request.mode = lexer::Mode::kScan;
  lexer::LexResult scanned = lexer::transcode_string(text, -1, request);
  if (scanned.type == 0 || scanned.type >= 64 || !(accepted & (uint64_t{1} << scanned.type)))
    return false;
  request.mode = lexer::Mode::kLoad;
  request.one = true;
  lexer::LexResult loaded = lexer::transcode_string(text, -1, request);
  // The block is not rooted: read it before anything allocates.
  if (loaded.block == 0 || series_length(loaded.block) == 0) return false;
  Cell first = *series_head_cell(loaded.block);
  if (TYPE_OF(&first) >= 64 || !(accepted & (uint64_t{1} << TYPE_OF(&first)))) return false;
  *out = first;
  out->header &= ~kFlagNewLine;
  return true;
}

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  double d;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      // [mantissa exponent]: mantissa x 10 ^ exponent, the exponent truncated.
      HeldPtr<Cell> head = series_head_cell(spec->data2) + spec->data1;
      int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      if (count != 2) fire_bad_to_arg(target, spec);
      Cell m = head[0], e = head[1];
      bool m_ok = TYPE_OF(&m) == TYPE_INTEGER || TYPE_OF(&m) == TYPE_FLOAT;
      bool e_ok = TYPE_OF(&e) == TYPE_INTEGER || TYPE_OF(&e) == TYPE_FLOAT;
      if (!m_ok || !e_ok) fire_bad_to_arg(target, spec);
      d = number_of(&m) * std::pow(10.0, std::trunc(number_of(&e)));
      break;
    }
    case TYPE_STRING: {  // every any-string! kind
      if (string::length(spec) == 0) fire_bad_to_arg(target, spec);
      if (target == TYPE_PERCENT) {
        Cell loaded;
        constexpr uint64_t kNumbers = (uint64_t{1} << TYPE_INTEGER) | (uint64_t{1} << TYPE_FLOAT) |
                                      (uint64_t{1} << TYPE_PERCENT);
        if (!load_text_value(spec, kNumbers, &loaded)) fire_bad_to_arg(target, spec);
        d = number_of(&loaded);
      } else {
        int32_t error = 0;
        d = scan_float_text(string::head_pointer(spec), string::length(spec), string::unit_of(spec),
                            &error);
        if (error != 0) fire_bad_to_arg(target, spec);
      }
      break;
    }
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      d = number_of(spec);
      break;
    case TYPE_BINARY: {
      // Up to 8 bytes from the head, big-endian, in the low-order bits of the
      // pattern: 8 bytes are the big-endian double itself.
      d = from_bits(binary::head_big_endian(spec, 8));
      break;
    }
    case TYPE_MONEY:
      d = money::to_float(spec);
      break;
    default:
      fire_bad_to_arg(target, spec);
  }
  // The result replaces the first argument: the frame's base cell.
  return init_cell(type, d, target == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
}

// ---------------------------------------------------------------------------
// Other handlers.

Cell* random(Cell* value, bool seed, bool secure, bool) {
  double x = cell_float(value);
  if (seed) {
    random::seed(value->data2 ^ value->data3);
    return &unset_value;
  }
  double r;
  if (secure) {
    double a = random::secure(), b = random::secure();
    r = x * (b + a / 2147483647.0) / 2147483648.0;
  } else {
    r = random::next() / 2147483647.0 * x;
  }
  set_cell_float(value, r);
  return value;
}

Cell* negate(Cell* value) {
  set_cell_float(value, 0.0 - cell_float(value));
  return value;
}

void power() {
  Cell* base = stack::arguments();
  Cell* exponent = base + 1;
  uint32_t et = TYPE_OF(exponent);
  if (et != TYPE_INTEGER && et != TYPE_FLOAT)
    fire(ErrorCategory::kScript, "expect-arg", calling_word(), datatype_cell(et), word::load("exponent"));
  uint32_t type = TYPE_OF(base) == TYPE_INTEGER ? TYPE_FLOAT : TYPE_OF(base);
  init_cell(base, std::pow(number_of(base), number_of(exponent)), type);
}

namespace {

// The parity of the value truncated toward zero; NaN and the infinities
// have none. fmod is exact, so this holds for every magnitude.
int32_t parity(double d) {
  if (!std::isfinite(d)) return -1;
  return std::fmod(std::trunc(d), 2.0) != 0.0 ? 1 : 0;
}
int32_t even_q(Cell* value) { return parity(cell_float(value)) == 0; }
int32_t odd_q(Cell* value) { return parity(cell_float(value)) == 1; }

void absolute() {
  Cell* v = stack::arguments();
  set_cell_float(v, abs_bits(cell_float(v)));
}

}  // namespace

namespace {

// Lexer loaders. A float token: the float text grammar, apostrophes removed,
// "," as the decimal point.
int load_float_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  int32_t error = 0;
  double d = scan_float_text(t.start, static_cast<int32_t>(t.end - t.start), 1, &error);
  if (error != 0) return TYPE_FLOAT;
  if (load) {
    Cell c;
    lexer::store_value(lx, *init_cell(&c, d));
  }
  return lexer::kLexOk;
}

// 1.#INF, +1.#INF, -1.#INF and 1.#NaN, the letters in either case.
int load_special_float(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  const uint8_t* p = t.start;
  const uint8_t* e = t.end;
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (e - p != 6 || p[0] != '1' || p[1] != '.' || p[2] != '#') return TYPE_FLOAT;
  char rest[4] = {};
  for (int i = 0; i < 3; ++i) rest[i] = static_cast<char>(p[3 + i] | 0x20);  // lower case
  double d;
  if (std::strcmp(rest, "inf") == 0) d = negative ? kNegativeInfinity : kPositiveInfinity;
  else if (std::strcmp(rest, "nan") == 0 && !negative) d = quiet_nan();
  else return TYPE_FLOAT;
  if (load) {
    Cell c;
    lexer::store_value(lx, *init_cell(&c, d));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalFloat] = load_float_token;
  lexer::default_loaders()[lexer::kFinalSpecialFloat] = load_special_float;
  datatype::register_type(TYPE_FLOAT, 0, "float!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare), own<ACT_ABSOLUTE>(absolute),
      own_math<ACT_ADD, arith>(), own_math<ACT_DIVIDE, arith>(), own_math<ACT_MULTIPLY, arith>(),
      own<ACT_NEGATE>(negate), own<ACT_POWER>(power), own_math<ACT_REMAINDER, arith>(),
      own<ACT_ROUND>(round), own_math<ACT_SUBTRACT, arith>(), own<ACT_EVEN_Q>(even_q),
      own<ACT_ODD_Q>(odd_q),
  });
}

}  // namespace float_

// ---------------------------------------------------------------------------
// The float text grammar and scanner.

namespace {

constexpr size_t kMaxFloatText = 312;

enum CharKind { kOther, kSign, kDigit, kExponent, kPoint, kApostrophe, kEnd };

CharKind kind_of(uint32_t c) {
  if (c >= '0' && c <= '9') return kDigit;
  switch (c) {
    case '+':
    case '-':
      return kSign;
    case 'e':
    case 'E':
      return kExponent;
    case '.':
      return kPoint;
    case '\'':
      return kApostrophe;
    default:
      return kOther;
  }
}

enum State {
  kStart,
  kInteger,
  kIntegerApostrophe,
  kAfterPoint,
  kFraction,
  kFractionApostrophe,
  kExponentMark,
  kExponentSign,
  kExponentDigits,
  kAccept,
  kFail,
};

State step(State s, CharKind k) {
  switch (s) {
    case kStart:
      return k == kSign ? kStart : k == kDigit ? kInteger : k == kPoint ? kAfterPoint : kFail;
    case kInteger:
      switch (k) {
        case kDigit: return kInteger;
        case kApostrophe: return kIntegerApostrophe;
        case kPoint: return kAfterPoint;
        case kExponent: return kExponentMark;
        case kEnd: return kAccept;
        default: return kFail;
      }
    case kIntegerApostrophe:
      return k == kDigit ? kInteger : k == kEnd ? kAccept : kFail;
    case kAfterPoint:  // also the point-first state: both go on the same way
      return k == kDigit ? kFraction : k == kEnd ? kAccept : kFail;
    case kFraction:
      switch (k) {
        case kDigit: return kFraction;
        case kApostrophe: return kFractionApostrophe;
        case kExponent: return kExponentMark;
        case kEnd: return kAccept;
        default: return kFail;
      }
    case kFractionApostrophe:
      return k == kDigit ? kFraction : k == kEnd ? kAccept : kFail;
    case kExponentMark:
      return k == kSign ? kExponentSign : k == kDigit ? kExponentDigits : kFail;
    case kExponentSign:
      return k == kDigit ? kExponentDigits : kFail;
    case kExponentDigits:
      return k == kDigit ? kExponentDigits : k == kEnd ? kAccept : kFail;
    default:
      return kFail;
  }
}

}  // namespace

bool float_text_valid_q(const uint8_t* start, const uint8_t* end) {
  if (static_cast<size_t>(end - start) > kMaxFloatText) return false;
  State s = kStart;
  for (const uint8_t* p = start; p < end && s != kFail; ++p) s = step(s, kind_of(*p));
  return step(s, kEnd) == kAccept;
}

double scan_float_text(const uint8_t* first, int32_t count, uint32_t unit, int32_t* error) {
  *error = 0;
  if (count < 0 || static_cast<size_t>(count) > kMaxFloatText) {
    *error = -1;
    return float_::quiet_nan();
  }
  char bytes[kMaxFloatText] = {};
  for (int32_t i = 0; i < count; ++i) {
    uint32_t c = string::get_char(first + static_cast<size_t>(i) * unit, unit);
    // A character outside ASCII can only fail the grammar; 'x' stands for it.
    bytes[i] = c == ',' ? '.' : c < 128 ? static_cast<char>(c) : 'x';
  }
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes);
  if (!float_text_valid_q(b, b + count)) {
    *error = -1;
    return float_::quiet_nan();
  }
  char digits[kMaxFloatText];
  size_t n = 0;
  for (int32_t i = 0; i < count; ++i)
    if (bytes[i] != '\'') digits[n++] = bytes[i];
  ptrdiff_t unread = 0;
  double d = string_to_float(digits, digits + n, 0, &unread);
  // The grammar admits a lone ".", which holds no number to read.
  if (unread != 0) {
    *error = -1;
    return float_::quiet_nan();
  }
  return d;
}

}  // namespace kiv
