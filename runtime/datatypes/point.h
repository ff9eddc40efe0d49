// point2D! (type id 51) and point3D! (type id 52): points of 32-bit floats,
// written (1.5, 2) and (1, 2, 3). One family: the same handlers with two or
// three coordinates.
//
//   word 0  header, type id 51 or 52
//   word 1  x, a 32-bit float
//   word 2  y, a 32-bit float
//   word 3  point3D!: z, a 32-bit float; point2D!: 0
//
// All computation is done in doubles and stored back as 32-bit floats.
// Equality (= and <>) is tolerant per coordinate (within 10 units in the last
// place of a 32-bit float; NaN never equal); strict equality is exact and
// same? compares the bits. A pair! met by a point2D! counts as a point2D!.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/cell.h"

namespace kiv::point {

// The number of coordinates of a point type: 2 or 3.
inline int dimensions(uint32_t type) { return type == TYPE_POINT3D ? 3 : 2; }

// Coordinate i (0 x, 1 y, 2 z) of a point cell.
inline float coordinate(const Cell* c, int i) {
  float f;
  std::memcpy(&f, &(&c->data1)[i], sizeof f);
  return f;
}
inline void set_coordinate(Cell* c, int i, double d) {
  float f = static_cast<float>(d);
  std::memcpy(&(&c->data1)[i], &f, sizeof f);
}

// A point of the type from doubles (z is ignored for point2D!).
Cell* make_in(Cell* c, uint32_t type, double x, double y, double z = 0);

// Arithmetic on the frame's first two cells with a point on the left and a
// number, a pair! (point2D! only) or a point of the same type on the right;
// the result is left in the first cell. Other right operands raise script
// invalid-type; the bitwise op codes raise script cannot-use.
void do_math(int32_t op);

// Every coordinate negated, in place (both types).
Cell* negate(Cell* value);

// The compare handler of both types.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers point2D! and point3D!.
void init();

}  // namespace kiv::point

namespace kiv::point2D {
inline Cell* make_in(Cell* c, double x, double y) { return point::make_in(c, TYPE_POINT2D, x, y); }
Cell* push(double x, double y);
Cell* at_tail(const Cell* block, double x, double y);
inline void do_math(int32_t op) { point::do_math(op); }
Cell* negate(Cell* value);
}  // namespace kiv::point2D

namespace kiv::point3D {
inline Cell* make_in(Cell* c, double x, double y, double z) { return point::make_in(c, TYPE_POINT3D, x, y, z); }
Cell* push(double x, double y, double z);
Cell* at_tail(const Cell* block, double x, double y, double z);
inline void do_math(int32_t op) { point::do_math(op); }
Cell* negate(Cell* value);
}  // namespace kiv::point3D
