// tuple! (type id 39): 3 to 12 unsigned bytes written with dots (1.2.3,
// 255.0.0.128): colours, versions, IPv4 addresses.
//
//   word 0  header: type id 39 in bits 0-7, the component count (3-12) in
//           bits 19-22
//   bytes 4-15  the components in order, one byte each; bytes past the count
//           are 0
//
// A tuple never has fewer than 3 components: constructors pad with zeros.
// Arithmetic works byte by byte and clamps every result to 0-255; a missing
// component counts as 0, so 1.2.3 equals 1.2.3.0.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::tuple {

constexpr uint32_t kCountShift = 19;
constexpr uint32_t kCountMask = 0xF;
constexpr int32_t kMinCount = 3;
constexpr int32_t kMaxCount = 12;

inline int32_t count(const Cell* c) { return static_cast<int32_t>((c->header >> kCountShift) & kCountMask); }
inline uint8_t* bytes(Cell* c) { return reinterpret_cast<uint8_t*>(&c->data1); }
inline const uint8_t* bytes(const Cell* c) { return reinterpret_cast<const uint8_t*>(&c->data1); }

// A tuple of n bytes (n up to 12; fewer than 3 are padded with zeros).
Cell* make_in(Cell* c, const uint8_t* components, int32_t n);
Cell* push_bytes(const uint8_t* components, int32_t n);
Cell* at_tail(const Cell* block, const uint8_t* components, int32_t n);

// True when every component is 0.
bool zero_q(const Cell* c);

// Arithmetic on the frame's first two cells (op codes of ArithOp). A number
// on the left is swapped to the right first; subtract and divide refuse it
// with script not-related. The result is left in the first cell.
void do_math(int32_t op);

// The compare handler.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Sets component n (1-based): an integer! is clamped to 0-255; none cuts the
// tuple before n (never below 3 components). n outside 1 to the count raises
// script out-of-range.
void set_component(Cell* tuple, int32_t n, const Cell* value);

// Registers tuple!.
void init();

}  // namespace kiv::tuple
