// The value stack: the argument stack of cells and the call stack of frames.
//
// Every call of a native, action or function passes its arguments and result
// on the argument stack and records itself in a call frame:
//   argument 1 is at the base, argument 2 one cell above, and so on; the
//   result is left in the base cell. top is the next free cell.
//   A frame remembers the caller's base (restored when the frame is popped),
//   its own base, the called word (symbol and context, for error reports and
//   call traces), the called function's context and the values reference that
//   context had before the call (a recursive call overwrites it).
//
// Invariants: 0 <= base <= top <= kArgumentStackCells; the top frame's base
// is the current base, except inside the interpreter's block scopes (a base
// moved with no record: open_block_scope); every frame's saved base is the
// base of the frame or block scope below it (or the bottom). Positions are cell indexes from the bottom and
// frames hold indexes and node ids only, never addresses. The argument stack
// is a heap series (it never moves), so a Cell* into it stays valid; it is
// still only good while the cell lies below top.
//
// Departures: errors travel as the C++ exception LanguageError, and break,
// continue, return, exit and throw as NonLocalExit carrying their throw code.
// The throw_* routines first unwind the call stack to the target frame, then
// throw; a native that must stop a departure runs its body through
// catch_throws with its catch code: it stops every throw whose code is at
// most its own (the error code is the highest, so an error catcher stops
// everything). FrameGuard pops a frame that an exception leaves behind.
//
// Overflow: the last kOverflowReserveCells cells and kOverflowReserveFrames
// frames are kept back. Pushing or opening into them raises
// internal/stack-overflow, and the reserve stays open until that error has
// unwound, so that building and reporting the error has room.
#pragma once

#include <cstdint>
#include <exception>

#include "runtime/cell.h"
#include "runtime/language_error.h"
#include "runtime/series.h"

namespace kiv::stack {

constexpr uint32_t kArgumentStackCells = 20000;
constexpr uint32_t kCallStackFrames = 12000;
constexpr uint32_t kOverflowReserveCells = 200;
constexpr uint32_t kOverflowReserveFrames = 40;

// Frame header: bits 24-27 the kind, bit 28 the body flag, bit 31 the
// interpreter flag; the symbol has a field of its own.
constexpr uint32_t kFrameKindMask = 0x0F000000;
constexpr uint32_t kFrameKindShift = 24;
constexpr uint32_t kFrameBodyFlag = 0x10000000;
constexpr uint32_t kFrameInterpretedFlag = 0x80000000;
// The saved values reference was an argument-stack index (the function's
// context had its values on the stack), not a node.
constexpr uint32_t kFrameSavedValuesOnStack = 0x00000001;
// Set by the interpreter on frames whose opener lets a return or exit pass
// through without unwinding (runtime/eval/interpreter.h); never read here.
constexpr uint32_t kFramePassesReturn = 0x00000002;

// Kinds as pushed: the top byte of the header.
enum FrameKind : uint32_t {
  FRAME_FUNCTION = 0x01,         // function call (compiled caller)
  FRAME_CALL = 0x02,             // native or action call
  FRAME_BODY = 0x12,             // compiled function body: kind 2 with the body flag
  FRAME_TRY = 0x04,
  FRAME_TRY_ALL = 0x05,
  FRAME_CATCH = 0x06,
  FRAME_LOOP = 0x08,
  FRAME_INTERP_FUNCTION = 0x81,  // function call from the interpreter
  FRAME_INTERP_CALL = 0x82,      // native or action call from the interpreter
  FRAME_EVAL_BLOCK = 0x87,       // block evaluation by the interpreter
};

struct CallFrame {
  uint32_t header;            // top byte as pushed, plus kFrameSavedValuesOnStack
  uint32_t symbol;            // symbol id of the called word, 0 for none
  uint32_t saved_base;        // the caller's base
  uint32_t base;              // this frame's base
  uint32_t word_context;      // context node of the called word (its word 1), or 0
  uint32_t function_context;  // the called function's context node, or 0
  uint32_t saved_values;      // that context's values reference before the call
  uint32_t saved_count;       // and the number of values of its stack image

  // 1 function, 2 call, 4 try, 5 try/all, 6 catch, 7 block, 8 loop.
  uint32_t kind() const { return (header & kFrameKindMask) >> kFrameKindShift; }
};

// Low-level throw codes.
enum ThrowCode : uint32_t {
  THROW_ERROR = 0x7FFFFFFF,
  THROW_BREAK = 0x7FFFFFFE,
  THROW_CONTINUE = 0x7FFFFFFD,
  THROW_RETURN = 0x7FFFFFFC,
  THROW_EXIT = 0x7FFFFFFB,
  THROW_THROW = 0x7FFFFFFA,
};

// break, continue, return, exit or throw on its way to its catcher; the
// stacks have already been reset to the target frame.
struct NonLocalExit : std::exception {
  uint32_t code;
  explicit NonLocalExit(uint32_t c) : code(c) {}
  const char* what() const noexcept override { return "non-local exit"; }
};

// Makes both stacks (once) and empties them; registers the argument-stack and
// call-frame roots with the collector.
void init();

// The stacks' state, read by the inline accessors below (the interpreter's
// hot path); only stack.cpp writes it. The cells never move. The positions
// are 64-bit although they fit in 32: a store into a cell or a frame (32-bit
// words) then cannot alias them, so inlined code keeps them in registers
// across such stores instead of reading them again.
namespace detail {
extern Cell* g_cells;
extern uint64_t g_base;
extern uint64_t g_top;
extern uint64_t g_cell_limit;
extern CallFrame* g_frame_cells;
extern uint64_t g_frame_top;
extern uint64_t g_frame_limit;  // frames less the reserve, or all while overflowing
[[noreturn]] void overflow();

// Pushes a frame of the kind naming the word (nullptr: no word); the current
// top becomes its base. The result cell at the new base is cleared: a callee
// that pushes nothing returns unset!, and the collector never reads a stale
// node from it. Inline: every call and block of the interpreter opens one.
// A function frame also carries the function's context and that context's
// values reference before the call (flags: kFrameSavedValuesOnStack).
inline CallFrame* push_frame(const Cell* word, uint32_t kind, uint32_t function_context = 0,
                             uint32_t saved_values = 0, uint32_t saved_count = 0, uint32_t flags = 0) {
  if (g_frame_top >= g_frame_limit) [[unlikely]] overflow();
  CallFrame* f = &g_frame_cells[g_frame_top];
  // Field by field: frames are read by field, never whole on the hot path.
  f->header = (kind << kFrameKindShift) | flags;
  f->symbol = word ? word->data2 : 0;
  f->saved_base = g_base;
  f->base = g_top;
  f->word_context = word ? word->data1 : 0;
  f->function_context = function_context;
  f->saved_values = saved_values;
  f->saved_count = saved_count;
  g_frame_top++;
  g_base = g_top;
  if (g_top < kArgumentStackCells) [[likely]] set_unset(&g_cells[g_top]);
  return f;
}

// Pops the top frame, leaving the result: top = base + 1, base = the
// frame's saved base. Does nothing without a frame.
inline void pop_keeping_result() {
  if (!g_frame_top) [[unlikely]] return;
  const CallFrame& f = g_frame_cells[--g_frame_top];
  g_top = f.base + 1;
  g_base = f.saved_base;
}
}  // namespace detail

// ---------------------------------------------------------------------------
// Positions.
inline Cell* bottom() { return detail::g_cells; }
inline Cell* at(uint32_t index) { return detail::g_cells + index; }  // the cell at a position
// The current base cell: argument 1, the result.
inline Cell* arguments() { return detail::g_cells + detail::g_base; }
inline Cell* top() { return detail::g_cells + detail::g_top; }  // the next free cell
inline uint32_t base_index() { return detail::g_base; }
inline uint32_t top_index() { return detail::g_top; }
// The node of the argument stack's block.
uint32_t argument_block_node();

// Frames are numbered from 0 at the bottom; frame_count() is the call-stack top.
inline uint32_t frame_count() { return detail::g_frame_top; }
inline CallFrame* frame_at(uint32_t index) { return &detail::g_frame_cells[index]; }
// The top frame, nullptr when none.
inline CallFrame* current_frame() {
  return detail::g_frame_top ? &detail::g_frame_cells[detail::g_frame_top - 1] : nullptr;
}

// ---------------------------------------------------------------------------
// Opening frames. Each pushes a frame naming the word (nullptr: no word) and
// makes the current top the new base, which it returns.
Cell* open_frame(const Cell* word, uint32_t kind);
// Kind 0x01, remembering the function context's values reference.
Cell* open_function_frame(const Cell* word, uint32_t function_context);
// Points the function context's values at the current base (arguments and
// locals live on the stack), then opens a 0x12 frame.
Cell* open_body_frame(const Cell* word, uint32_t function_context);
Cell* open_call_frame(const Cell* word);
Cell* open_try_frame(const Cell* word);
Cell* open_try_all_frame(const Cell* word);
Cell* open_catch_frame(const Cell* word);
Cell* open_loop_frame(const Cell* word);
// Kind 0x81; with a function context it is remembered as for kind 0x01.
// The interpreter may open it as kind 0x82 while the arguments are fetched.
inline Cell* open_interp_function_frame(const Cell* word, uint32_t function_context = 0,
                                        uint32_t kind = FRAME_INTERP_FUNCTION) {
  if (function_context) {
    HeldPtr<const Cell> rec = series_head_cell(function_context);  // the context's record
    detail::push_frame(word, kind, function_context, rec->data2, rec->data3,
                       (rec->header & kFlagContextOnStack) ? kFrameSavedValuesOnStack : 0);
  } else {
    detail::push_frame(word, kind);
  }
  return detail::g_cells + detail::g_base;
}
// Kind 0x82 for a function call from the interpreter while its arguments are
// fetched: names the function's context, whose values reference is
// remembered only when the body starts (start_function_body). Nothing in
// between changes that reference for good: a call of the same function
// fetched meanwhile puts it back when its frame is popped or unwound.
inline void open_interp_fetch_frame(const Cell* word, uint32_t function_context) {
  CallFrame* f = detail::push_frame(word, FRAME_INTERP_CALL);
  f->function_context = function_context;
}
// Turns the top frame, opened for a call of the function whose context is
// given, into a running body (kind 0x81 with the body flag, the target of
// return and exit): remembers the context's values reference in the frame,
// then points it at the frame's cells from the base to the top, the
// arguments and locals.
inline void start_function_body(uint32_t function_context) {
  CallFrame& f = detail::g_frame_cells[detail::g_frame_top - 1];
  HeldPtr<Cell> rec = series_head_cell(function_context);  // the context's record
  f.saved_values = rec->data2;
  f.saved_count = rec->data3;
  f.header = (f.header & ~(kFrameKindMask | kFrameSavedValuesOnStack)) | (FRAME_INTERP_FUNCTION << kFrameKindShift) |
             kFrameBodyFlag | ((rec->header & kFlagContextOnStack) ? kFrameSavedValuesOnStack : 0);
  rec->data2 = detail::g_base;
  rec->data3 = detail::g_top - detail::g_base;
  rec->header |= kFlagContextOnStack;
}
inline Cell* open_interp_call_frame(const Cell* word) {
  detail::push_frame(word, FRAME_INTERP_CALL);
  return detail::g_cells + detail::g_base;
}
// flags: kFramePassesReturn, or 0.
inline Cell* open_eval_block_frame(const Cell* word, uint32_t flags = 0) {
  detail::push_frame(word, FRAME_EVAL_BLOCK, 0, 0, 0, flags);
  return detail::g_cells + detail::g_base;
}

// A block scope without a frame record: the interpreter evaluates a block
// whose frame would let every departure pass and is named by the hidden
// <body> word, so a record would change nothing that the frame walks see
// (departures, error reports, calling words). The stack looks as under a
// frame: the current top becomes the base, its cell cleared as the result.
// Answers the base it replaced, for close_block_scope.
inline uint32_t open_block_scope() {
  uint32_t saved = detail::g_base;
  detail::g_base = detail::g_top;
  if (detail::g_top < kArgumentStackCells) [[likely]] set_unset(&detail::g_cells[detail::g_top]);
  return saved;
}
// Closes the scope opened at base: top = base + 1 (the result stays), the
// saved base comes back; with_result also copies the result into the saved
// base's cell, as pop_frame_return does.
inline void close_block_scope(uint32_t base, uint32_t saved, bool with_result) {
  if (with_result) copy_cell(&detail::g_cells[base], &detail::g_cells[saved]);
  detail::g_top = base + 1;
  detail::g_base = saved;
}

// Frame flags.
void set_frame_top(uint32_t count);  // the tracer restores the call-stack top
// Bit 28 of the top frame.
inline void set_body_flag(bool on) {
  if (!detail::g_frame_top) return;
  CallFrame& f = detail::g_frame_cells[detail::g_frame_top - 1];
  if (on) f.header |= kFrameBodyFlag;
  else f.header &= ~kFrameBodyFlag;
}
void mark_top_interpreted();         // bit 31 of the top frame
// Sets bit 28 of the frame below the top unless set; true when it set it.
bool set_caller_body_flag();
void clear_body_flag(uint32_t frame_index);

// ---------------------------------------------------------------------------
// Closing frames. Each does nothing when there is no frame.
void clear_arguments();  // top = base
inline void keep_first() { detail::g_top = detail::g_base + 1; }  // top = base + 1
// top = base + 1 (the result stays), base = the frame's saved base.
inline void pop_frame() { detail::pop_keeping_result(); }
// The same, first restoring the function context's values from the frame.
inline void pop_function_frame() {
  if (!detail::g_frame_top) [[unlikely]] return;
  const CallFrame& f = detail::g_frame_cells[--detail::g_frame_top];
  if (f.kind() == 1 && f.function_context != 0) {
    HeldPtr<Cell> rec = series_head_cell(f.function_context);
    rec->data2 = f.saved_values;
    rec->data3 = f.saved_count;
    if (f.header & kFrameSavedValuesOnStack) rec->header |= kFlagContextOnStack;
    else rec->header &= ~kFlagContextOnStack;
  }
  detail::g_top = f.base + 1;
  detail::g_base = f.saved_base;
}
// pop_function_frame for a frame whose body was started by
// start_function_body: it is a kind-1 frame with a function context.
inline void pop_body_frame() {
  if (!detail::g_frame_top) [[unlikely]] return;
  const CallFrame& f = detail::g_frame_cells[--detail::g_frame_top];
  HeldPtr<Cell> rec = series_head_cell(f.function_context);
  rec->data2 = f.saved_values;
  rec->data3 = f.saved_count;
  rec->header = (f.header & kFrameSavedValuesOnStack) ? rec->header | kFlagContextOnStack
                                                      : rec->header & ~kFlagContextOnStack;
  detail::g_top = f.base + 1;
  detail::g_base = f.saved_base;
}
// Pop, then copy the popped call's result into the caller's result cell.
inline void pop_frame_return() {
  if (!detail::g_frame_top) [[unlikely]] return;
  const CallFrame& f = detail::g_frame_cells[--detail::g_frame_top];
  copy_cell(&detail::g_cells[f.base], &detail::g_cells[f.saved_base]);
  detail::g_top = f.base + 1;
  detail::g_base = f.saved_base;
}
void pop_function_frame_return();
// Pop and drop every cell of the frame: top = the frame's base, base = saved base.
void pop_frame_drop();
void pop_function_frame_drop();
// Pop (restoring a kind-1 frame's function context); when the call stack is
// then empty, base and top go back to the bottom, else top = the frame's
// base and base = its saved base.
void pop_frame_safe();

// Pops frames (restoring the function context of kind-1 frames) until the
// call stack is empty, the top frame has the kind (low four bits of kind), or
// the top frame is a try/all frame. With keep the frame reached stays and
// base = its base, top = base + 1; without keep it is popped too and
// base = its saved base, top = its base. Returns the index of the frame
// reached, -1 when the call stack was emptied (base and top at the bottom).
int unwind_to_kind(uint32_t kind, bool keep);
// unwind_to_kind with keep, and the current result copied into the reached
// frame's result cell.
int unwind_to_kind_return(uint32_t kind);
int unwind_to_loop();

// ---------------------------------------------------------------------------
// Cells.
// Into the base cell; returns it.
inline Cell* set_last(const Cell* value) { return copy_cell(value, arguments()); }
// top = base + 1, then set_last.
inline Cell* set_only_result(const Cell* value) {
  detail::g_top = detail::g_base + 1;
  return set_last(value);
}
// When the last pushed cell is an error!, copies it to the base; top = base + 1.
void keep_result();
// unset!, at top; top advances.
inline Cell* push_new_cell() {
  if (detail::g_top >= detail::g_cell_limit) detail::overflow();
  Cell* c = &detail::g_cells[detail::g_top++];
  set_unset(c);
  return c;
}
[[gnu::always_inline]] inline Cell* push_copy(const Cell* value) {
  // The value may live on the stack itself; copy it before anything moves.
  Cell v = *value;
  if (detail::g_top >= detail::g_cell_limit) detail::overflow();
  Cell* c = &detail::g_cells[detail::g_top++];
  *c = v;
  return c;
}
// Never below the bottom.
inline void drop_cells(uint32_t n) { detail::g_top = n > detail::g_top ? 0 : detail::g_top - n; }
// Type of the last pushed cell (unset! when empty).
inline uint32_t top_type() {
  return detail::g_top ? TYPE_OF(&detail::g_cells[detail::g_top - 1]) : uint32_t(TYPE_UNSET);
}
// The bottom when empty.
inline Cell* last_pushed() { return detail::g_top ? &detail::g_cells[detail::g_top - 1] : detail::g_cells; }

// ---------------------------------------------------------------------------
// Frame walks.
// True when a frame from `from` down (the top frame for -1) has bit 31;
// with one_only only that frame is looked at.
bool in_interpreted_frame_q(int from = -1, bool one_only = false);
// The word of the first frame, walking down from the frame recorded by the
// last throw_value (the record is cleared) or else the top frame, that is
// not named <body> or <anon>; none! when there is none.
void calling_word(Cell* out);
// Appends to the block node, for every frame from the top down to the second
// frame that is not named <body> or <anon>, the called word (bound to the
// frame's function context, else to the word's own context) and an integer!
// with the frame's saved base.
void collect_calls(uint32_t block_node);
// The call-stack top when the last error was thrown (for the error's stack
// field); the frames up to it stay readable until new frames overwrite them.
uint32_t error_frame_top();

// ---------------------------------------------------------------------------
// Departures. None returns.

// Unwinds to the nearest try or try/all frame and drops it (top = its base),
// then throws the error. When no such frame exists the error is uncaught:
// both stacks are emptied and the uncaught-error handler runs; when the
// handler returns, the error is thrown to the C++ caller.
[[noreturn]] void throw_error(const LanguageError& error);
// break (continue = false) or continue; the value becomes the loop's result
// (nullptr: unset!). Without a loop frame below the nearest try/all frame:
// throw/break or throw/continue, with the stacks unchanged.
[[noreturn]] void throw_break(bool continue_loop, const Cell* value = nullptr);
// return with the value, or exit (nullptr). Without a function frame:
// throw/return.
[[noreturn]] void throw_return(const Cell* value);
// throw: to the nearest catch frame, with the value and the name (nullptr:
// unset!) pushed at its base. Without one: throw/throw with the value.
[[noreturn]] void throw_value(const Cell* value, const Cell* name, uint32_t catch_code = THROW_THROW);

// Called by throw_error before anything unwinds (the interpreter notes where
// the error happened and reports it to the tracer); nullptr for none.
using ErrorHook = void (*)(const LanguageError& error);
void set_error_hook(ErrorHook hook);

using UncaughtErrorHandler = void (*)(const LanguageError& error);
// nullptr (the default) throws the error to the C++ caller.
void set_uncaught_error_handler(UncaughtErrorHandler handler);
// The handler of the executables: writes "*** " and the error to standard
// error and ends the process with status -2 (254).
[[noreturn]] void report_uncaught_and_exit(const LanguageError& error);

// Runs body inside a native catch frame of catch_code. Returns 0 when the
// body completed, else the code of the throw it stopped. A throw whose code
// is above catch_code passes on; a LanguageError counts as THROW_ERROR (the
// caught error is written to *error when error is given).
template <typename Body>
uint32_t catch_throws(uint32_t catch_code, Body&& body, LanguageError* error = nullptr) {
  try {
    body();
    return 0;
  } catch (const NonLocalExit& t) {
    if (t.code > catch_code) throw;
    return t.code;
  } catch (const LanguageError& e) {
    if (THROW_ERROR > catch_code) throw;
    if (error) *error = e;
    return THROW_ERROR;
  }
}

// Pops frames until only `count` remain, restoring the function context of
// kind-1 frames; base and top become those of the caller of the lowest frame
// popped (base = its saved base, top = its base). Does nothing when no more
// than count frames are open.
void unwind_to(uint32_t count);

// Guards the frame opened next: when the scope is left while that frame is
// still open (an exception that did not go through the throw routines, or
// a forgotten pop), it is popped with everything above it. Normal exits pop
// explicitly and the guard does nothing.
class FrameGuard {
 public:
  FrameGuard() : count_(detail::g_frame_top) {}
  ~FrameGuard() {
    if (detail::g_frame_top > count_) unwind_to(count_);
  }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

 private:
  uint32_t count_;
};

// Drops the cells pushed above the argument top it saw when made, on every
// exit from its scope.
class TopGuard {
 public:
  TopGuard() : top_(top_index()) {}
  ~TopGuard() {
    if (top_index() > top_) drop_cells(top_index() - top_);
  }
  TopGuard(const TopGuard&) = delete;
  TopGuard& operator=(const TopGuard&) = delete;

 private:
  uint32_t top_;
};

}  // namespace kiv::stack
