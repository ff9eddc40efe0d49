// integer! (type id 11): the 32-bit signed whole number.
//
//   word 0  header, type id 11
//   word 2  the value, 32-bit signed
//   words 1 and 3 carry nothing
//
// Arithmetic never wraps: a sum, difference or product outside the 32-bit
// range, and a division that is not exact, give a float!. The minimum value
// -2147483648 has no positive counterpart: negating it, taking its absolute
// value or dividing it by -1 raises math overflow.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"

namespace kiv::integer {

void init();

// Constructors: each writes header 11 and the value into word 2.
inline Cell* init_cell(Cell* c, int32_t value) {
  *c = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
  return c;
}
Cell* push(int32_t value);         // a new cell on the argument stack
Cell* into_result(int32_t value);  // the current frame's result (base) cell
Cell* at_tail(const Cell* block, int32_t value);

// Accessors.
inline int32_t get(const Cell* c) {
  // char! inherits integer!'s handlers: its code point is the same word.
  KIV_ASSERT(TYPE_OF(c) == TYPE_INTEGER || TYPE_OF(c) == TYPE_CHAR);
  return static_cast<int32_t>(c->data2);
}
int32_t result_value();
int32_t result_or_zero();  // 0 when the result cell is not an integer!

// The exact sum, difference or product (op OP_ADD, OP_SUBTRACT or
// OP_MULTIPLY) of two integers, in 64 bits; it is an integer! when
// fits_q, a float! otherwise.
inline int64_t exact_op(int32_t op, int32_t l, int32_t r) {
  return op == OP_ADD ? int64_t{l} + r : op == OP_SUBTRACT ? int64_t{l} - r : int64_t{l} * r;
}
inline bool fits_q(int64_t n) { return n >= INT32_MIN && n <= INT32_MAX; }

inline int32_t sign(int32_t n) { return (n > 0) - (n < 0); }
// |n|; -2147483648 raises math overflow.
int32_t abs(int32_t n);

// True when a float! or percent! cell's double does not fit an integer!
// (above 2147483647.0, below -2147483648.0, or NaN).
bool float_out_of_int_range_q(const Cell* c);

// The decimal text of a value; the text lives in the returned object.
struct DecimalText {
  char text[12];  // "-2147483648" and its terminator fill it exactly
  int32_t length;
};
DecimalText to_decimal(int32_t n);

// The most bytes write_decimal writes: "-2147483648".
constexpr int32_t kMaxDecimalLength = 11;
// Writes the decimal text of n (no terminator) at out, which has room for
// kMaxDecimalLength bytes, and answers its length.
int32_t write_decimal(int32_t n, uint8_t* out);

// The arithmetic worker (op codes of ArithOp). With a target, a result that
// leaves the 32-bit range (or an inexact division) turns the target into a
// float!; otherwise the result goes into the target's word 2 and its header is
// kept (a char! target stays a char!). Divide and remainder by 0 raise math
// zero-divide; -2147483648 divided by -1 raises math overflow.
int32_t do_op(int32_t op, int32_t left, int32_t right, Cell* target);

// Arithmetic with the result cell (an integer!) on the left and the next
// argument on the right; the result is left in the result cell.
void arith(int32_t op);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* negate(Cell* value);
Cell* round(Cell* value, Cell* scale, const RoundOptions& options);

}  // namespace kiv::integer

namespace kiv {

// Reads a decimal integer from text characters in place: an optional sign,
// digits, apostrophes anywhere after the sign. *error is 0, -1 for invalid
// text or -2 for a value outside the 32-bit range (the result is then 0).
// Reads count characters of unit bytes each from first.
int32_t scan_integer_text(const uint8_t* first, int32_t count, uint32_t unit, int32_t* error);

}  // namespace kiv
