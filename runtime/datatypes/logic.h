// logic! (type id 4): true and false.
//
//   word 0  header, type id 4
//   word 1  1 for true, 0 for false
//   words 2-3  0
//
// Truth rule of the language: none and false are false; every other value is
// true, 0 and empty series included. Unset is neither: the lenient tests take
// it as true, the tests with an unset check raise an error on it.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"

namespace kiv {

// The shared true and false values. Handlers that answer a logic constant
// return their address; nobody writes into them.
extern Cell true_value;
extern Cell false_value;

namespace logic {

void init();

inline uint32_t get(const Cell* c) {
  KIV_ASSERT(TYPE_OF(c) == TYPE_LOGIC);
  return c->data1;
}
inline Cell* init_cell(Cell* c, bool flag) {
  *c = Cell{TYPE_LOGIC, flag ? 1u : 0u, 0, 0};
  return c;
}
inline Cell* constant(bool flag) { return flag ? &true_value : &false_value; }

// Constructors.
Cell* box(bool flag);   // into the current frame's result (base) cell
Cell* push(bool flag);  // a new cell on the argument stack
Cell* at_tail(const Cell* block, bool flag);

// False for none! and false, true otherwise (unset! included): the lenient
// test.
inline bool falsy(const Cell* c) {
  return TYPE_OF(c) == TYPE_NONE || (TYPE_OF(c) == TYPE_LOGIC && c->data1 == 0);
}

// Truth tests.
// The lenient test of a cell; with check, an unset! cell raises script
// no-value naming the word.
bool cell_true_q(const Cell* cell, bool check, const Cell* word);
// The strict test of the result cell: an unset! result raises script
// no-return.
bool result_true_q();
// The lenient test's negation on the result cell, without the unset check.
bool result_false_q();
// The last pushed cell (the frame's base cell when nothing is pushed above
// it) is none! or false.
bool top_false_q();
bool top_true_q();

// and~, or~, xor~ (op codes 6, 5, 7) on the first two argument cells; the
// second must be a logic! too.
void do_op(int32_t op);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* complement(Cell* value);

}  // namespace logic
}  // namespace kiv
