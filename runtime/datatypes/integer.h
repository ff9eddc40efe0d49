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

namespace kiv::integer {

void init();

inline int32_t get(const Cell* c) { return static_cast<int32_t>(c->data2); }
inline Cell* init_cell(Cell* c, int32_t value) {
  *c = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
  return c;
}

inline int32_t sign(int32_t n) { return (n > 0) - (n < 0); }

// True when a float! or percent! cell's double does not fit an integer!
// (above 2147483647.0, below -2147483648.0, or NaN).
bool float_out_of_int_range_q(const Cell* c);

// The decimal text of a value; the text lives in the returned object.
struct DecimalText {
  char text[12];  // "-2147483648" and its terminator fill it exactly
  int32_t length;
};
DecimalText to_decimal(int32_t n);

int32_t compare(Cell* value1, Cell* value2, int32_t op);

}  // namespace kiv::integer
