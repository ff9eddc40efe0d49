// percent! (type id 38, parent float!): a float written and read as a
// percentage.
//
//   word 0  header, type id 38
//   word 1  not used
//   words 2-3  the fraction as a double (50% holds 0.5), as float! keeps it
//
// Everything but the text is float!'s: make, to, random, compare and the
// arithmetic are inherited (a percent! left operand keeps its type).
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::percent {

inline Cell* init_cell(Cell* c, double fraction) {
  *c = Cell{TYPE_PERCENT, 0, 0, 0};
  set_cell_float(c, fraction);
  return c;
}
Cell* push(double fraction);  // a new cell on the argument stack
Cell* make_in(Cell* c, uint32_t low, uint32_t high);
void set_float(Cell* c, double fraction);
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high);

// The fraction times 100 with 13 significant digits, then "%".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);

// Registers percent! (after float!).
void init();

}  // namespace kiv::percent
