// logic! (type id 4): true and false.
//
//   word 0  header, type id 4
//   word 1  1 for true, 0 for false
//   words 2-3  0
//
// Truth rule of the language: none and false are false; every other value
// except unset is true, 0 and empty series included.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv {

// The shared true and false values. Handlers that answer a logic constant
// return their address; nobody writes into them.
extern Cell true_value;
extern Cell false_value;

namespace logic {

void init();

inline uint32_t get(const Cell* c) { return c->data1; }
inline Cell* init_cell(Cell* c, bool flag) {
  *c = Cell{TYPE_LOGIC, flag ? 1u : 0u, 0, 0};
  return c;
}
inline Cell* constant(bool flag) { return flag ? &true_value : &false_value; }

// False for none! and false, true otherwise; no unset check.
inline bool falsy(const Cell* c) {
  return TYPE_OF(c) == TYPE_NONE || (TYPE_OF(c) == TYPE_LOGIC && c->data1 == 0);
}

Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* complement(Cell* value);

}  // namespace logic
}  // namespace kiv
