// datatype! (type id 1): a value that names a type.
//
//   word 0  header, type id 1
//   word 1  the type id it names
//   words 2-3  0
//
// Datatypes compare only for equality (equal, not-equal, strict-equal, same
// and find's equality); any ordering is "not comparable".
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::datatype {

void init();

inline Cell* init_cell(Cell* c, uint32_t type) {
  *c = Cell{TYPE_DATATYPE, type, 0, 0};
  return c;
}
inline uint32_t named_type(const Cell* c) { return c->data1; }

Cell* push(uint32_t type);  // a new cell on the argument stack
Cell* at_tail(const Cell* block, uint32_t type);

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

}  // namespace kiv::datatype
