// The parse dialect: matches a rules block against an input series (any
// string kind, binary! or any-block) and copies, sets, removes, inserts,
// changes and collects parts of the input as it goes.
//
// The engine is one loop over a small state machine. Nested rule blocks and
// pending commands never recurse on the native stack: they are frames on the
// rule stack, so the depth of a grammar costs stack cells only (at most
// kStackLimit cells per run, else script parse-stack).
//
// The two stacks are block series shared by every run (a paren or a trace
// callback may run parse again; the inner run works above the outer one's
// cells). Each run remembers where its region starts and cuts both stacks
// back there on every exit: a normal end, a trace callback that stops the
// run, an error, or a break/continue/return/exit/throw leaving a paren.
//
// Input stack: one cell per input level; the bottom is the parse input,
// `into` pushes the nested series (after storing the current index in the
// cell below).
//
// Rule stack: frames of exactly three cells, the newest on top, told apart
// by the type of their third cell.
//   block frame    none! | triple!: index of the sub-rule item in the
//                  enclosing block, input index and input length at entry
//                  | block!: the enclosing rule block
//   command frame  triple!: minimum, maximum (-1: none), iteration number
//                  (copy and set: the target word; case: the case mode to
//                  restore in the maximum; collect into/after: the target's
//                  index at the start in the maximum)
//                  | triple!: index of the last item read before the
//                  sub-rule, input index and input length at the start
//                  | pair!: command code (x), pick flag (y); word 1 of the
//                  pair holds the code of the command completed just inside
//                  this one (keep reads it to keep what a copy set)
//
// Positions are cell and unit indexes; nothing here holds a buffer address
// across a paren, a callback, an action or an allocation.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::parse {

// Cells a run may hold on either stack before parse-stack is raised.
constexpr uint32_t kStackLimit = 10000;
constexpr uint32_t kInputStackCells = 8;
constexpr uint32_t kRuleStackCells = 100;

// Command codes of command frames.
enum Command : int32_t {
  CMD_REPEAT = -1,
  CMD_TO = -2,
  CMD_THRU = -3,
  CMD_COPY = -4,
  CMD_SET = -5,
  CMD_NOT = -6,
  CMD_INTO = -7,
  CMD_REMOVE = -9,
  CMD_WHILE = -11,
  CMD_COLLECT = -12,
  CMD_KEEP = -13,
  CMD_KEEP_PAREN = -14,
  CMD_AHEAD = -16,
  CMD_CHANGE = -17,
  CMD_CHANGE_ONLY = -18,
  CMD_CASE = -19,
};

// The callback kind bit of parse trace callbacks.
constexpr uint32_t kCallbackParse = 2;

struct Options {
  int32_t case_op = 0;  // 0 case-insensitive, 2 case-sensitive
  int32_t limit = -1;   // absolute input index from /part; -1: none
  // The trace callback (a function value on the argument stack), or null. It
  // gets five arguments: the event word, match? as logic!, the rule block at
  // the current rule position, the input at its index, and a copy of this
  // run's rule stack frames. none! or false stops the run at once.
  const Cell* callback = nullptr;
};

// Makes the two stacks (once) and registers them with the collector.
void init();

// Runs the rules over the input and writes the result (logic!, or the block
// of a top-level collect) into result, a cell that does not move. input and
// rules must be reachable (the argument stack).
void run(const Cell* input, const Cell* rules, const Options& options, Cell* result);

}  // namespace kiv::parse
