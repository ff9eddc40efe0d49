// typeset! (type id 33): a set of datatypes held in the cell itself.
//
//   word 0  header, type id 33
//   words 1-3  96 bits, one per type id, taken as 12 bytes in memory order
//              (byte 0 is the lowest byte of word 1): type t is bit
//              0x80 >> (t & 7) of byte t >> 3, the layout the argument checks
//              read (support.h typeset_has_q). Bit 0 means nothing.
//
// Function specs describe the types an argument accepts with typesets, the
// language names type families with them (any-string! ...), and the set
// natives combine them. Typesets are equal when their bits are; they have no
// order except by member count for sorting.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"
#include "runtime/member_bits.h"

namespace kiv::typeset {

constexpr uint32_t kBitCount = 96;

// The 12 bytes of bits (an alias of words 1-3).
inline uint8_t* bits(Cell* c) { return reinterpret_cast<uint8_t*>(&c->data1); }
inline const uint8_t* bits(const Cell* c) { return reinterpret_cast<const uint8_t*>(&c->data1); }

inline bool has_q(const Cell* c, uint32_t type) { return type < kBitCount && has_member(bits(c), type); }
inline void set_bit(Cell* c, uint32_t type) {
  if (type < kBitCount) add_member(bits(c), type);
}
inline void clear_bit(Cell* c, uint32_t type) {
  if (type < kBitCount) remove_member(bits(c), type);
}

// The cell as an empty typeset.
inline Cell* init_cell(Cell* c) {
  *c = Cell{TYPE_TYPESET, 0, 0, 0};
  return c;
}
// Zeroes the three words.
inline void clear_bits(Cell* c) { c->data1 = c->data2 = c->data3 = 0; }

// Copies a typeset cell onto the argument stack.
Cell* push(const Cell* typeset);
// Appends a typeset of the three words to a block (the Kivbin decoder).
Cell* at_tail(const Cell* block, uint32_t word1, uint32_t word2, uint32_t word3);
// Appends the typeset of every type but unset!: an argument without a type
// list.
Cell* at_tail_default(const Cell* block);
// Appends the typeset a function spec's type block describes: words are
// looked up; a datatype! sets its bit, a typeset! is merged, a word whose
// value is a word adds object!, a nested block is skipped; any other value
// raises script invalid-type-spec.
Cell* at_tail_from_block(const Cell* block, const Cell* spec);

// The number of member types among the registered ones.
int32_t count(const Cell* typeset);

// Adds a value: a bound word stands for its value; a typeset! is merged, a
// datatype! sets its bit; anything else raises script invalid-arg.
void set_type(Cell* typeset, const Cell* value);
// Appends the datatype! of every member to a block, lowest id first.
void to_block(const Cell* typeset, const Cell* block);

// Bitwise and set operations on the first two argument cells (the second a
// typeset! or a datatype!): or (5, union 9), and (6, intersect 10), xor (7,
// difference 12), first and not second (exclude 11). The result replaces the
// first argument.
void do_bitwise(int32_t op);

// The names of the members, separated by spaces; without only inside
// "make typeset! [" and "]". Answers the limit less what it wrote.
int32_t form_body(const Cell* typeset, Cell* buffer, bool only, int32_t limit);

// Handlers.
Cell* make(Cell* type, Cell* spec);  // make and to
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* complement(Cell* value);

// Registers typeset!.
void init();

}  // namespace kiv::typeset
