// triple! (type id 31): an internal value of three 32-bit integers.
//
//   word 0  header, type id 31
//   words 1, 2, 3  the three signed 32-bit integers, in that order
//
// Runtime code makes triples (the lexer marks its levels with them); there is
// no literal and no constructor action. Only form and mold are supported:
// "make triple! [1 2 -3]".
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::triple {

inline Cell* init_cell(Cell* c, int32_t a, int32_t b, int32_t d) {
  *c = Cell{TYPE_TRIPLE, static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(d)};
  return c;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);

// Registers triple!.
void init();

}  // namespace kiv::triple
