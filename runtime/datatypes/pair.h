// pair! (type id 37): two signed 32-bit integers, written 640x480 or -1x5.
//
//   word 0  header, type id 37
//   word 1  not used
//   word 2  x, signed 32-bit
//   word 3  y, signed 32-bit
//
// Arithmetic is integer arithmetic per component; when a component's result
// is not an integer (an overflowing sum, difference or product, an inexact
// division) the whole operation is redone on points and gives a point2D!.
// A pair times or divided by a float! or percent! is a point2D! too.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::pair {

inline int32_t x(const Cell* c) { return static_cast<int32_t>(c->data2); }
inline int32_t y(const Cell* c) { return static_cast<int32_t>(c->data3); }
inline Cell* make_in(Cell* c, int32_t x, int32_t y) {
  *c = Cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
  return c;
}
Cell* push(int32_t x, int32_t y);
Cell* at_tail(const Cell* block, int32_t x, int32_t y);

// Component 1 (x) or 2 (y) named by a path element or pick index: the word
// x or y, or the integer 1 or 2; 0 for anything else.
int32_t field_index(const Cell* element);

// Arithmetic on the frame's first two cells with a pair! on the left (op
// codes of ArithOp); the result is left in the first cell.
void do_math(int32_t op);
Cell* negate(Cell* value);

// Registers pair!.
void init();

}  // namespace kiv::pair
