// bitset! (type id 30): a set of non-negative integers (in practice code
// points) kept as a bit array.
//
//   word 0  header, type id 30
//   word 1  0
//   word 2  node of a byte series (unit 1) holding the bits
//   word 3  0
//
// Member n is bit 0x80 >> (n & 7) of byte n >> 3 (most significant bit
// first). The stored bytes always hold the membership of the numbers they
// cover. The buffer flag kComplemented says what lies beyond them: set, every
// larger number is a member; clear, none is. So a set of every character but
// a few stays small.
//
// Set operations follow the set rule of each operation, complemented
// operands included: or, either; and, both; xor, exactly one; exclude, the
// first and not the second. remove/key and clear remove membership, whether
// the bitset is complemented or not.
//
// append, insert, poke, remove and clear tell the bitset's owner (series
// ownership) before and after they change it.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv {

// Set operation codes, shared by the set natives and the modules that answer
// them (block, string, bitset, typeset).
enum SetOp : int32_t {
  SET_UNIQUE = 8,
  SET_UNION = 9,
  SET_INTERSECT = 10,
  SET_EXCLUDE = 11,
  SET_DIFFERENCE = 12,
};

}  // namespace kiv

namespace kiv::bitset {

// Buffer flag of a complemented bitset.
constexpr uint32_t kComplemented = 0x00080000;

inline uint32_t node_of(const Cell* c) { return c->data2; }
bool complemented_q(const Cell* bitset);
// Stored bytes.
uint32_t byte_count(const Cell* bitset);
// True when n is a member (beyond the stored bytes: the complement flag).
bool member_q(const Cell* bitset, uint32_t n);

// Makes the cell a bitset of count stored bytes, every stored bit clear
// (set for a complemented bitset, which then has no member at all).
Cell* init_cell(Cell* cell, uint32_t count, bool complemented);

// Spec processing.
enum Mode : int32_t {
  kMeasure = 0,  // answers the largest member named + 1 (0 when none)
  kSet = 1,
  kTest = 2,     // answers 1 when every named number is a member, else 0
  kClear = 3,
};
// Which error a value that names no members raises: bad-make-arg, bad-to-arg
// or invalid-arg.
enum Caller : int32_t { kCallerMake, kCallerTo, kCallerOther };

// Walks a spec value (char!, integer!, float!, any string, block! with
// "a - b" ranges) in a mode. Set and clear grow the bitset as needed.
int64_t process(const Cell* value, Cell* bitset, Mode mode, Caller caller);

// and~, or~, xor~ (op codes 6, 5, 7) and the set operations union,
// intersect, exclude and difference (9 to 12) on the first two argument
// cells; the second must be a bitset!. The new bitset replaces the first.
void bitwise(int32_t op);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* complement(Cell* value);

// Registers bitset!.
void init();

}  // namespace kiv::bitset
