// function! (type id 24, parent context!): a function written in the
// language. routine! (29) shares the layout (runtime/datatypes/routine.h).
//
//   word 0  header: type id; bit 10 (kFlagTrace) when the spec's attribute
//           block holds `trace`, bit 9 (kFlagNoTrace) when it holds
//           `no-trace`
//   word 1  node of the function's context: made from the spec (its word!,
//           get-word!, lit-word! and refinement! values in order), kind
//           function, values on the argument stack while a call runs
//   word 2  node of the spec block (the spec from its head: a spec whose
//           head index is above 0 is copied first)
//   word 3  node of the five-cell block, shared by the value and its copies:
//             0 the body: a deep copy of the body block bound to the
//               context, or none!
//             1 the argument list the interpreter caches, unset! until built
//             2 the index of a native implementation as integer!, or unset!
//             3 unset!; an op! made from the function keeps the function
//               cell here
//             4 a second native entry as integer!, or unset!
//
// The context's self cell holds a copy of the function cell.
//
// A call's stack image: one cell per context word in spec order, so that
// argument N, refinement R and local L sit at base + their context index:
// arguments their values, refinements true or false, a refinement's
// arguments their values or none!, /local false and the locals none!.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::function {

constexpr uint32_t kFlagTrace = 0x400;
constexpr uint32_t kFlagNoTrace = 0x200;

// Cells of the five-cell block.
constexpr uint32_t kAuxBody = 0;
constexpr uint32_t kAuxArgumentList = 1;
constexpr uint32_t kAuxNative = 2;
constexpr uint32_t kAuxOpSource = 3;
constexpr uint32_t kAuxSecondEntry = 4;
constexpr uint32_t kAuxCells = 5;

inline uint32_t context_node(const Cell* fn) { return fn->data1; }
inline uint32_t spec_node(const Cell* fn) { return fn->data2; }
inline uint32_t aux_node(const Cell* fn) { return fn->data3; }
// Cell N of the five-cell block (raw).
Cell* aux_cell(const Cell* fn, uint32_t n);

// Checks the spec block from its head; answers the attribute flags. A bad
// spec raises script bad-func-def (the spec), invalid-type-spec (a type
// block value that is not a datatype, typeset or word), dup-vars (the later
// of two words with one canonical symbol), or no-value (a type word
// without a value).
uint32_t check_spec(const Cell* spec);

// Pushes a new function! cell made from the spec and the body (nullptr:
// none), with the context given (0: made from the spec), the native index
// and the second entry (0: none) and the header flags; answers the context
// node. spec and body must be cells the collector sees (the argument stack).
uint32_t push(const Cell* spec, const Cell* body, uint32_t context, int32_t native, int32_t second,
              uint32_t flags);

// The local collector of the `function` native: spec is a copy of the
// spec on the argument stack (its /extern part is cut off); the set-words of
// the body and the words of its repeat, foreach and remove-each loops that
// the spec does not name are appended after /local.
void collect_locals(Cell* spec, const Cell* body);

// 1 + the number of word! values after the first /local from start (the
// marker counts itself); 0 without /local, or -1 when required is set.
int32_t count_locals(uint32_t spec_node, uint32_t start, bool required);
// Pushes false (the /local slot) then n - 1 none! values.
void init_locals(int32_t n);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* reflect(Cell* value, Cell* field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers function! (parent context!).
void init();

}  // namespace kiv::function
