// vector! (type id 35, parent string!): a packed series of numbers or
// characters, all of one element type and one width.
//
//   word 0  header, type id 35
//   word 1  head index, in elements from the buffer's first element
//   word 2  node of the series buffer; its unit is the element width in
//           bytes (1, 2, 4 or 8)
//   word 3  the element type id: TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT or
//           TYPE_PERCENT
//
//   element type   widths (bits)   storage
//   char!          8, 16, 32       unsigned code point, low bits stored
//   integer!       8, 16, 32       two's complement, low bits stored; read
//                                  back sign-extended
//   float!         32, 64          IEEE single or double
//   percent!       64              IEEE double (the fraction, 1.0 = 100%)
//
// Elements are stored in the machine's byte order. Integer arithmetic is done
// on 32-bit values and the result stored truncated to the element width, so
// an 8-bit element holding 127 plus 1 holds -128.
//
// The navigation and most editing come from series! and string! (through
// pick_value and the element checks below); vector! has its own make, text
// forms, comparison, insertion, change, search, sort and arithmetic.
//
// Moving buffers: every routine that may allocate may move any buffer. The
// routines hold node ids and element indexes, and the values to store are
// converted to raw elements in C++ memory before the target changes.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::vector {

// The default widths in bytes: 4 for char! and integer!, 8 for float! and
// percent!.
uint32_t default_width(uint32_t element_type);

inline uint32_t element_type_of(const Cell* vector) { return vector->data3; }
// The element width in bytes.
uint32_t width_of(const Cell* vector);

// The cell as an empty vector with room for count elements of the type and
// width (bytes); a size the series cannot hold raises internal/no-memory.
Cell* make_at(Cell* cell, int64_t count, uint32_t element_type, uint32_t width);

// Elements from the head to the tail (clamps a head past the tail).
int32_t length(Cell* vector);

// The 1, 2 or 4-byte element at the address, sign-extended.
int32_t get_integer_element(const uint8_t* at, uint32_t width);
// The 4 or 8-byte float element at the address as a double.
double get_float_element(const uint8_t* at, uint32_t width);

// The element at index (from the buffer's first element) as a value of the
// element type.
Cell pick_value(const Cell* vector, int32_t index);

// Raises the error for a value that cannot be stored in a vector of the
// element type: script/invalid-type (its datatype) for a value that is not a
// char!, integer!, float! or percent!, script/invalid-arg (the value) for one
// of these of another type than the element type.
void check_element(const Cell* value, uint32_t element_type);
// Stores a checked value (check_element) in the element at the address.
void store_element(uint8_t* at, const Cell* value, uint32_t width, uint32_t element_type);
// check_element, then store_element.
void set_element(uint8_t* at, const Cell* value, uint32_t width, uint32_t element_type);

// Appends one value (checked as check_element says) at the tail.
void append_value(Cell* vector, const Cell* value);
// Appends a raw 32-bit element (the vector's width must be 4).
void append_int32(Cell* vector, int32_t value);
// Sets the tail to the head.
void truncate_at_head(Cell* vector);
// Appends each value of the block from its head (all checked first).
void load_block(Cell* vector, const Cell* block);
// A new block! of the elements from the head, written to out.
Cell* to_block(Cell* vector, Cell* out);

// A scalar (char!, integer!, float! or percent!) in the frame's base cell
// with a vector in the next argument: the vector changed in place, each
// element set to scalar op element, is left in the base cell. The integer!,
// char!, float! and percent! arithmetic hands a vector right operand here.
void scalar_math(int32_t op);

// Pushes a copy of the vector cell (the buffer is shared).
Cell* push(const Cell* vector);

// Registers vector! (parent string!).
void init();

}  // namespace kiv::vector
