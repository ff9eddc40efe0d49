// none! (type id 3): the explicit "no value"; false in conditions, and the
// answer of most series actions that find nothing.
//
//   word 0  header, type id 3
//   words 1-3  0
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv {

// The shared none value. Handlers that answer none return its address;
// nobody writes into it.
extern Cell none_value;

namespace none {

void init();

Cell* into_result();  // the current frame's result (base) cell becomes none
Cell* push();         // a new none cell on the argument stack
Cell* at_tail(const Cell* block);

Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

}  // namespace none
}  // namespace kiv
