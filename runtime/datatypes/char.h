// char! (type id 10, parent integer!): one Unicode code point.
//
//   word 0  header, type id 10
//   word 1  not used
//   word 2  the code point, 0 to 0x10FFFF
//   word 3  not used
//
// Arithmetic runs in the integer worker on the two 32-bit values and keeps
// the result a char!; a result outside 0 to 0x10FFFF (or a 32-bit overflow)
// raises math overflow. random, absolute, even? and odd? are integer!'s.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"

namespace kiv::char_ {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

inline Cell* init_cell(Cell* c, uint32_t code_point) {
  *c = Cell{TYPE_CHAR, 0, code_point, 0};
  return c;
}
inline uint32_t get(const Cell* c) {
  KIV_ASSERT(TYPE_OF(c) == TYPE_CHAR);
  return c->data2;
}
Cell* push(uint32_t code_point);  // a new cell on the argument stack
Cell* at_tail(const Cell* block, uint32_t code_point);

// Arithmetic with the char in the result cell on the left and the next
// argument on the right; the result is left in the result cell.
void arith(int32_t op);

// Handlers.
Cell* make(Cell* type, Cell* spec);  // make and to
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers char! (after integer!).
void init();

}  // namespace kiv::char_
