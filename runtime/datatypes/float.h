// float! (type id 12): the IEEE 754 double.
//
//   word 0  header, type id 12
//   word 1  not used
//   words 2-3  the double, low half in word 2 (read and written with memcpy)
//
// percent! (38) and time! (43) keep their double in the same place and use the
// arithmetic, comparison, rounding and text routines of this module.
//
// Arithmetic follows IEEE 754 and never raises: division by zero gives an
// infinity or NaN. Equality (= and <>) is tolerant: two doubles are equal when
// they differ by less than the double epsilon or by at most 10 units in the
// last place. Strict equality and every ordering are exact, and every ordering
// test with a NaN is false.
//
// Converting a double to an integer: C++ leaves the conversion undefined for
// NaN and for values whose truncation the integer type cannot hold, so every
// such conversion in the runtime goes through truncate_checked (or
// truncate_saturated, built on it).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"
#include "runtime/float_text.h"

namespace kiv::float_ {

// ---------------------------------------------------------------------------
// Checked conversion to integers.

// Truncates toward zero into a signed integer type. Answers false, leaving
// *out alone, for NaN, the infinities and every value whose truncation lies
// outside the type's range (2^63 for int64_t, 2^31 for int32_t).
template <typename Int>
inline bool truncate_checked(double d, Int* out) {
  static_assert(std::is_integral_v<Int> && std::is_signed_v<Int>, "a signed integer type");
  // 2^(bits - 1), exact as a double: the first value above the range.
  constexpr double kLimit =
      static_cast<double>(Int{1} << (std::numeric_limits<Int>::digits - 1)) * 2.0;
  double t = std::trunc(d);
  if (!(t >= -kLimit && t < kLimit)) return false;  // NaN fails both tests
  *out = static_cast<Int>(t);
  return true;
}

// The same, clamping instead of failing: below the range gives the minimum,
// above it the maximum, NaN gives 0.
template <typename Int>
inline Int truncate_saturated(double d) {
  Int out;
  if (truncate_checked(d, &out)) return out;
  if (d != d) return 0;
  return d < 0 ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
}

// x + 0.49999999999999994 truncated toward zero and clamped to 32 bits (view
// coordinates to pixels).
int32_t to_int_truncate(double x);

// ---------------------------------------------------------------------------
// Constants.

constexpr double kEpsilon = 2.220446049250313e-16;         // the double epsilon
constexpr double kBelowHalf = 0.49999999999999994;         // the largest double below 0.5
constexpr double kPositiveInfinity = std::numeric_limits<double>::infinity();
constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();
constexpr double kLargest = std::numeric_limits<double>::max();
constexpr uint32_t kQuietNaNHigh = 0x7FF80000;  // the quiet NaN: this high word, low word 0
double quiet_nan();

// Text options, set from system/options/float (pretty? and full?). Only
// pretty_print_q changes behaviour: see to_text.
extern bool pretty_print_q;
extern bool full_support_q;

// ---------------------------------------------------------------------------
// Cells.

inline double get(const Cell* c) {
  // percent! and time! inherit float!'s handlers: the same double.
  KIV_ASSERT(TYPE_OF(c) == TYPE_FLOAT || TYPE_OF(c) == TYPE_PERCENT || TYPE_OF(c) == TYPE_TIME);
  return cell_float(c);
}
inline Cell* init_cell(Cell* c, double d, uint32_t type = TYPE_FLOAT) {
  *c = Cell{type, 0, 0, 0};
  set_cell_float(c, d);
  return c;
}
Cell* push(double d);                        // a new cell on the argument stack
Cell* push_words(uint32_t low, uint32_t high);
Cell* into_result(double d);                 // the current frame's result (base) cell
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high);

// ---------------------------------------------------------------------------
// Bit tests.

// Exponent all ones and a non-zero mantissa.
bool nan_bits_q(uint32_t low, uint32_t high);
// +infinity, -infinity or NaN.
bool not_finite_q(double d);
bool float32_nan_q(float f);
// The double with its sign bit cleared.
double abs_bits(double d);

// ---------------------------------------------------------------------------
// Arithmetic and comparison.

// The IEEE operation of an arithmetic op code (add, subtract, multiply,
// divide, remainder). The bitwise codes raise script cannot-use.
double do_op(int32_t op, double x, double y);

// Arithmetic with the result cell on the left and the next argument on the
// right, for a float!, percent! or time! left operand, or an integer! one
// handed over by integer!. The result is left in the result cell; its type:
// time! when exactly one operand is a time!, float! for an integer! left
// operand, otherwise the left operand's (percent! op number stays percent!).
void arith(int32_t op);

// Tolerant equality: never for NaN; exact equality; a difference below the
// epsilon; or at most 10 units in the last place apart.
bool nearly_equal_q(double x, double y);
// The same on single floats (vector! elements).
bool float32_nearly_equal_q(float x, float y);

// ---------------------------------------------------------------------------
// Text.

// Modes of to_text.
enum TextMode : int {
  kTextSingle = 0,         // single float of a vector! ("%.7g")
  kTextFloat = 1,          // float! ("%.16g")
  kTextSinglePercent = 2,  // percent of a single float (x * 100, "%.7g", "%")
  kTextPercent = 3,        // percent! (x * 100 by the caller, "%.13g", "%")
  kTextTime = 4,           // seconds of a time! (6 significant digits, no ".0")
  kTextPoint = 5,          // point coordinate ("%.7g", never ".0")
};

// The text of a double in a mode. NaN and the infinities give "1.#NaN",
// "1.#INF" and "-1.#INF". With pretty_print_q, magnitudes below the epsilon
// give zero, and a text whose last digits show a binary residue ("...01",
// "...99") is formatted once more with fewer digits, so 0.7 + 0.1 gives 0.8.
FloatText to_text(double x, int mode);

// ---------------------------------------------------------------------------
// Rounding.

// The rounding modes are round's refinements (RoundOptions, actions.h).
using RoundModes = RoundOptions;

// Rounds x to the nearest multiple of unit (> 0) by the modes, in the order
// down, floor, ceiling, even, half-down, half-ceiling, else half away from
// zero. A value with no fraction at that unit comes back unchanged. A result
// of the largest finite magnitude raises math overflow.
double round_value(double x, double unit, const RoundModes& modes);

// ---------------------------------------------------------------------------
// Loading text as a value.

// Loads the first value of a string value's text through the lexer into *out
// when its type is one of the accepted ones (a mask of bits 1 << type id);
// answers false, raising nothing, when the text holds no value or a value of
// another type. Used by make and to of percent! and time! from text.
bool load_text_value(Cell* text, uint64_t accepted, Cell* out);

// ---------------------------------------------------------------------------
// Handlers (shared with percent! and time! where they inherit them).

Cell* make(Cell* type, Cell* spec);  // make and to
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* negate(Cell* value);
Cell* round(Cell* value, Cell* scale, const RoundOptions& options);
// power on the first two argument cells.
void power();

// Registers float!.
void init();

}  // namespace kiv::float_

namespace kiv {

// The float text grammar of the lexer and of the text conversions: optional
// signs, digits with single apostrophes between them, an optional point with
// more digits, an optional exponent; at most 312 bytes.
bool float_text_valid_q(const uint8_t* start, const uint8_t* end);

// Reads a float from text characters in place (count characters of unit
// bytes each): "," counts as the decimal point, apostrophes between digits
// are skipped. *error is 0, or -1 for text outside the grammar (the result is
// then the quiet NaN).
double scan_float_text(const uint8_t* first, int32_t count, uint32_t unit, int32_t* error);

}  // namespace kiv
