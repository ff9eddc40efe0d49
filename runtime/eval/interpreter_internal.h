// What the interpreter's own files share (runtime/eval/interpreter*.cpp and
// runtime/eval/native_stack.cpp): the reading of code cells, the call site,
// the quick departure on its way, the native stack check and the entry
// points they call in each other. Nothing outside the interpreter includes
// this file.
//
//   interpreter.cpp        the loop: blocks, expressions, values, set-words,
//                          departures, the error position
//   interpreter_calls.cpp  calls: argument fetching, function bodies,
//                          routines, the branch natives, call_function, apply
//   interpreter_fast.h/cpp the operator fast paths and the infix step
//   interpreter_paths.cpp  paths
//   native_stack.cpp       the native stack limit
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/argument_list.h"
#include "runtime/datatypes/native_abi.h"
#include "runtime/eval/interpreter.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter::internal {

// A quick departure on its way to its frame (interpreter.h): the throw code
// (return, exit, break or continue; 0 when none), the target frame's index
// and the value.
using detail::g_pending;
using detail::g_pending_target;
extern Cell g_pending_value;

inline bool pending() { return g_pending != 0; }

// The resolved form of code is used (on unless KIV_RESOLVED=0 at start-up):
// facts about code and functions found once and kept beside them, each
// checked where it is used, so that a run with it off answers the same.
extern bool g_resolved;

// The call shape of a function value: what a common call (no path, no apply,
// not infix) needs of its argument list, found once and kept in word 3 of
// the argument list's cell in the auxiliary block (0 there: not found yet; a
// new list starts with 0). Simple: every argument before the first
// refinement is an evaluated one, there are at most kShapeMaxArgs of them,
// a return: entry comes after them only (it is no argument: the fetch skips
// it), at most kShapeMaxLocals locals and at most
// kShapeMaxTail cells after the arguments; the tail mask says which of those
// cells are a refinement's false (bit set) or an argument's none! (bit
// clear). Default types: every argument takes any value but unset! (no type
// given in the spec), so its check needs no look at the list. The list
// never changes once built, so neither does its shape.
constexpr uint32_t kShapeKnown = 0x80000000;
constexpr uint32_t kShapeSimple = 0x40000000;
constexpr uint32_t kShapeArgsShift = 25;    // bits 25-29: the arguments
constexpr uint32_t kShapeTailShift = 20;    // bits 20-24: the tail cells
constexpr uint32_t kShapeDefaultTypes = 0x00080000;
constexpr uint32_t kShapeLocalsShift = 16;  // bits 16-18: the locals
constexpr uint32_t kShapeMaxArgs = 31;
constexpr uint32_t kShapeMaxLocals = 7;
constexpr uint32_t kShapeMaxTail = 16;      // bits 0-15: the tail mask
inline uint32_t shape_args(uint32_t shape) { return (shape >> kShapeArgsShift) & 31; }
inline uint32_t shape_tail(uint32_t shape) { return (shape >> kShapeTailShift) & 31; }
inline uint32_t shape_locals(uint32_t shape) { return (shape >> kShapeLocalsShift) & 7; }
// What an argument of default types admits: every type but unset! (and the
// id 0 no value has).
inline bool default_types_admit(uint32_t type) { return type != TYPE_UNSET && type != 0; }
uint32_t find_call_shape(const Cell* fn);
[[gnu::always_inline]] inline uint32_t call_shape(const Cell* fn) {
  const Cell* cached = series_head_cell(native::aux_node(fn)) + native::kAuxArgumentList;
  if (TYPE_OF(cached) == TYPE_BLOCK && cached->data3) [[likely]] return cached->data3;
  return find_call_shape(fn);
}

// The call shape for evaluate_word_call: a simple one, or 0 when the
// call takes evaluate_call (the resolved form off, a routine, a shape not
// simple). The caller chooses, so that either way one C++ call goes into
// each call of the code (unoptimised builds recurse deep through here).
[[gnu::always_inline]] inline uint32_t word_call_shape(const Cell* fn) {
  if (!g_resolved || TYPE_OF(fn) == TYPE_ROUTINE) return 0;
  const uint32_t shape = call_shape(fn);
  return (shape & kShapeSimple) ? shape : 0;
}

inline Cell read_at(const Cell* code, uint32_t pos) { return series_head_cell(code->data2)[pos]; }

// The number of cells of a block's series (code, argument lists, values):
// its used bytes by sixteen, with no unit to read.
inline uint32_t cells_in(uint32_t node) { return node_buffer(node)->used_bytes() >> 4; }
// The tail position of code.
inline uint32_t tail_of(const Cell* code) { return cells_in(code->data2); }

// A value that a word evaluates to as it is, and that no fast operator
// takes: anything but a number, a function of any kind, an op! or unset!.
inline bool plain_value_q(uint32_t t) {
  switch (t) {
    case TYPE_UNSET: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
    case TYPE_FUNCTION: case TYPE_ROUTINE:
      return false;
    default:
      return true;
  }
}

inline bool callable_q(uint32_t t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

inline const Cell* word_cell(words::Id id) { return words::cell_of(id); }

inline Cell datatype_of(const Cell* v) { return datatype_cell(TYPE_OF(v)); }

// The function an op! calls: the cell retyped to the wrapped type.
inline Cell op_target(const Cell* op) {
  Cell fn = *op;
  set_type(&fn, op_source_type(&fn));
  fn.header &= ~kFlagOpTypeMask;
  return fn;
}

// The native stack (native_stack.cpp): the lowest address it may reach;
// the highest address until it is known, so that the first check takes the
// slow path and computes it.
extern constinit thread_local uintptr_t t_stack_limit;
// The first check of a thread computes the limit; any other is an overflow.
[[gnu::noinline, gnu::cold]] void stack_limit_reached();

inline void check_stack() {
  char here;
  if (reinterpret_cast<uintptr_t>(&here) < t_stack_limit) [[unlikely]] stack_limit_reached();
}

struct CallSite {
  const Cell* code;      // the code the arguments come from (the block of apply)
  const Cell* name;      // the word that named the call (its frame name), never null
  const Cell* path;      // the path the call came from, or null
  uint32_t path_pos;     // the path's first refinement element
  uint32_t mode = kApplyNone;
};

inline Cell name_or_path(const CallSite& site) { return site.path ? *site.path : *site.name; }

// The function cell of a call (a copy, its line flag dropped here) pushed
// where the result will go: it stays on the stack during the call so that
// its spec, body and argument list live even when its word is set to
// something else meanwhile. Answers its position.
[[gnu::always_inline]] inline uint32_t push_function_cell(Cell* fn) {
  fn->header &= ~kFlagNewLine;
  const uint32_t slot = stack::top_index();
  stack::push_copy(fn);
  return slot;
}

// The call's result (the frame's base cell, just above the function cell)
// takes the function cell's place.
[[gnu::always_inline]] inline void result_to_function_slot(uint32_t slot) {
  *stack::at(slot) = *stack::at(slot + 1);
  stack::drop_cells(1);
}

// Calls a function value: pushes exactly one cell, its result. In infix
// position the left operand (the last pushed cell) becomes the first
// argument and the result takes its place (interpreter_calls.cpp).
uint32_t evaluate_call(const Cell& fn_value, const CallSite& site, uint32_t pos, bool infix);

// The natives that return at once after evaluating their branch block, so
// that their call frame may pass a pending departure: if, unless, either
// (runtime/eval/natives_core.cpp keeps them so).
inline bool passes_return_q(const Cell* fn) {
  static_assert(native_index(NativeId::kUnless) == native_index(NativeId::kIf) + 1 &&
                native_index(NativeId::kEither) == native_index(NativeId::kIf) + 2);
  return TYPE_OF(fn) == TYPE_NATIVE && fn->data1 >= native_index(NativeId::kIf) &&
         fn->data1 <= native_index(NativeId::kEither);
}

// evaluate_call for a call named by a word of the code (a copy of it, the
// frame's name), not in infix position, tracing off, of a function, native
// or action of simple shape (word_call_shape) but if, unless and either
// (passes_return_q); pos is after the word. A call through a path gives the
// path (on the stack, where the call's refinements are read from) and its
// first word.
uint32_t evaluate_word_call(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos, uint32_t shape,
                            const Cell* path = nullptr);
// The same for a function! (evaluate_word_call takes natives and actions).
uint32_t evaluate_function_word_call(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos,
                                     uint32_t shape, const Cell* path = nullptr);
// The one of the two for the function's type.
[[gnu::always_inline]] inline uint32_t call_by_word(const Cell* code, const Cell* word, const Cell& fn_value,
                                                    uint32_t pos, uint32_t shape, const Cell* path = nullptr) {
  return TYPE_OF(&fn_value) == TYPE_FUNCTION ? evaluate_function_word_call(code, word, fn_value, pos, shape, path)
                                             : evaluate_word_call(code, word, fn_value, pos, shape, path);
}

// return called by a word, its argument's value found without running code
// (quiet_operand) and no frame opened for it: when the departure can go
// quickly, pushes the unset! result the call would leave and marks the
// departure pending; false (nothing done) when the call must take its
// frame and the throw routine (interpreter.cpp).
bool return_without_frame(const Cell* value);

// if, unless and either called by a word, tracing off: answers 0 when the
// call must take evaluate_call (interpreter_calls.cpp).
uint32_t evaluate_branch_word(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos);

// Fetches the arguments of a call (the frame is open, the function cell sits
// at fn_slot just below its base), then calls a native or action entry, or
// pushes a function's locals. In infix position the left operand is already
// the first argument; pushed: operands the caller pushed already
// (interpreter_calls.cpp).
uint32_t fetch_arguments(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed = 0);

// evaluate_block_in with its result popped into the caller's cell and a
// scope that lets departures pass, without the native stack check: for a
// function's body, whose call has just checked it (interpreter.cpp).
void evaluate_body_block(const Cell* code);

// Evaluates a path: pushes its value (or the result of the call it ends in);
// in set mode stores new_value at its end (interpreter_paths.cpp).
uint32_t evaluate_path(const Cell* path, const Cell* code, uint32_t pos, bool set, bool get, const Cell* new_value);
// A set-path of two words whose first word's value is an object! without
// hooks and whose second names one of its fields: stores the value there,
// marks the field changed and pushes the value, as evaluate_path in set
// mode does; false, having done nothing, for any other path or case.
bool set_field_quietly(const Cell* path, const Cell* value);

}  // namespace kiv::interpreter::internal
