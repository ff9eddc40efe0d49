// unset! (type id 2): the absence of a value, and the state of every fresh
// cell.
//
//   word 0  header, type id 2
//   words 1-3  0
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv {

// The shared unset value. Handlers that answer unset return its address;
// nobody writes into it.
extern Cell unset_value;

namespace unset {

void init();

Cell* into_result();  // the current frame's result (base) cell becomes unset
Cell* push();         // a new unset cell on the argument stack
Cell* at_tail(const Cell* block);

Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

}  // namespace unset
}  // namespace kiv
