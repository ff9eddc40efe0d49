// The interpreter: evaluates code held as values.
//
// A block (or paren) is walked expression by expression; each expression
// yields one value and the last one is the block's result. Everything lives
// on the value stack: every evaluation opens a call frame, pushes its
// arguments above the frame's base and leaves its result in the base cell.
//
// Positions are cell indexes into the code block's series, never addresses:
// any evaluation may allocate and so move the buffer, and code may even
// change the block it runs from. Each read fetches the cell again from the
// node and stops at the series' current tail.
//
// The "keep" convention: an expression evaluated with keep pushes exactly
// one cell (its value) on the argument stack; without keep its value is
// written into the current frame's result cell and the argument top is reset
// to base + 1.
//
// Calls: natives and actions get their arguments fetched according to the
// argument list cached in their auxiliary block (built once from the spec):
// evaluated, literal (get-word in the spec) or quoted (lit-word) arguments,
// each checked against its typeset, then one integer per refinement (-1 when
// absent, else the position of its first argument from the frame's base).
// Operators apply strictly left to right after each expression that allows
// infix; their right operand is one expression without operators.
//
// Refinements arrive through paths (type?/word): the path's elements after
// the function are looked up among the argument list's refinements, in path
// order; a get-word element uses its refinement when its value is truthy, and
// the refinement's arguments are evaluated either way.
//
// Not here yet: calls of function! and routine! values (evaluate_call raises
// internal not-done for them; their argument slots and invoke-function-value
// come with functions), apply modes and the tracing events.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::interpreter {

// Typeset header bits 20-21 of an argument-list entry: the argument kind.
constexpr uint32_t kArgKindShift = 20;
constexpr uint32_t kArgKindMask = 0x00300000;
enum ArgKind : uint32_t {
  kArgEvaluated = 0,
  kArgLiteral = 1,  // get-word in the spec: the next value as it is
  kArgQuoted = 2,   // lit-word in the spec: parens and get-words still evaluated
  kArgReturn = 3,   // the return: type spec
};

// Resets the interpreter's state (current code cell, tracing off) and
// registers the interpreter's roots with the collector.
void init();

// Evaluates every expression of the block or paren from its index to its
// tail in a block frame named <body>. With pop_with_result the result goes
// into the caller's result cell; otherwise it is pushed (one cell).
void evaluate_block(const Cell* code, bool pop_with_result);

// Evaluates one expression of the code block starting at cell index pos;
// answers the index after it. Flags: no_infix (the right operand of an
// operator: no operator after it is applied), keep (push the value instead
// of making it the result), no_call (a function value is pushed, not called).
uint32_t evaluate_expression(const Cell* code, uint32_t pos, bool no_infix, bool keep, bool no_call);

// One expression inside a frame named <body> (any, all, reduce ...): the
// value is pushed with keep, else made the current frame's result (the
// argument top then returns to base + 1). Answers the index after it.
uint32_t evaluate_next(const Cell* code, uint32_t pos, bool keep);

// The number of cells of the code's series (its current tail).
uint32_t code_tail(const Cell* code);

// The argument list of a native!, action! or op! (built and cached on first
// use): the node of its block.
uint32_t argument_list(const Cell* fn);

// The name of any type id ("integer!"), registered or not; null outside 1-54.
const char* type_name(uint32_t type);

// The block being evaluated, its index at the start of the current
// expression; false when no evaluation runs. After an uncaught error it
// still names the expression that raised it (for the error report).
bool current_code(Cell* out);

}  // namespace kiv::interpreter
