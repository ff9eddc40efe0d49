// native! (type id 21), action! (22) and op! (23): the built-in functions
// and the infix operators made from them.
//
// native! and action!:
//   word 0  header, type id
//   word 1  the index of the entry: 1-120 in the native table, 1-62 in the
//           action table (an index, never a code address)
//   word 2  node of the spec block
//   word 3  node of the two-cell auxiliary block:
//             cell 0  the context made from the spec (kind function, values
//                     on the argument stack), or none! when no context
//                     could be made
//             cell 1  the argument list once the interpreter has built it,
//                     none! until then
//
// op!: a copy of the cell of the native, action, function or routine it was
// made from, with type id 23 and the source's type id in header bits 16-23.
// Calling an operator calls the source (the cell retyped to that id).
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"
#include "runtime/type_traits.h"

namespace kiv {

// The type id an op! cell wraps.
inline uint32_t op_source_type(const Cell* op) { return (op->header & kFlagOpTypeMask) >> kFlagOpTypeShift; }

// True for native!, action!, op!, function! and routine!.
inline bool any_function_q(uint32_t type) { return any_function_type_q(type); }

namespace native {

// Auxiliary block cells.
constexpr int32_t kAuxContext = 0;
constexpr int32_t kAuxArgumentList = 1;

inline uint32_t entry_index(const Cell* fn) { return fn->data1; }
inline uint32_t spec_node(const Cell* fn) { return fn->data2; }
inline uint32_t aux_node(const Cell* fn) { return fn->data3; }

// Writes a native! or action! (type) for the spec block and the table index
// into out, making its auxiliary block. Allocates: out must be a cell that
// the collector sees (the argument stack, a RootedCell) and that does not
// move, and the spec must stay reachable through it or elsewhere.
void init_cell(Cell* out, uint32_t type, uint32_t spec_node, uint32_t index);

// Keeps a native! or action! made at start-up from the system's own spec as
// the one its entry was written for: make refuses another spec for that
// entry unless the entry can take it (see make).
void remember_builtin(const Cell* value);

// Whether the entry of a native! or action! made with init_cell can take the
// arguments its spec fetches (the rule of make below); true before start-up
// has made its values.
bool entry_accepts_q(const Cell* made);

// make native! / make action!: [spec-block index]. An entry reads its
// arguments by position, so once start-up has made the value of an index,
// the spec must take the same arguments and refinements, each refinement
// with the same arguments, in the same order (more refinements may follow);
// a native's arguments must also admit no type its own spec refuses (it
// trusts them), while an action checks its arguments' types itself. An
// entry start-up made no value for is refused.
Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* reflect(Cell* value, Cell* field);

// Registers native! (no parent).
void init();

}  // namespace native

namespace action {
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// Registers action! (parent native!).
void init();
}  // namespace action

namespace op {
// Whether a spec (node) describes exactly two arguments, the first a plain
// word: what make op! asks of the value it wraps.
bool spec_valid_q(uint32_t spec);
// make op! from a native!, action!, function! or routine! of exactly two
// arguments (the left one a plain word).
Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// Registers op! (parent native!).
void init();
}  // namespace op

}  // namespace kiv
