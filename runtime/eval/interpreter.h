// The interpreter: evaluates code held as values.
//
// A block (or paren) is walked expression by expression; each expression
// yields one value and the last one is the block's result. Everything lives
// on the value stack: every call opens a call frame, pushes its arguments
// above the frame's base and leaves its result in the base cell; a block
// moves the base to the top as a frame would (a frame record is kept only
// where it changes what a walk of the frames finds).
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
// Calls: every function-kind value has an argument list cached in its
// auxiliary block (built once from its spec, runtime/datatypes/argument_list.h):
// one typeset per argument (evaluated, literal for a get-word in the spec,
// quoted for a lit-word), the refinements, the locals count. Natives and actions get their
// arguments pushed in spec order and one integer per refinement (-1 when
// absent, else the position of its first argument from the frame's base).
// A function! gets one stack cell per word of its context in spec order:
// arguments, refinements (true or false), the refinements' arguments (none!
// when unused), /local (false) and the locals (none!); its context's values
// point at that image while the body runs. Operators apply strictly left to
// right after each expression that allows infix; their right operand is one
// expression without operators.
//
// Frames of a function call: the 0x81 frame is opened before the arguments
// are fetched with kind 2 (a call), and turns into kind 1 (a function)
// only when its body starts. So `return` and `exit` met while fetching an
// argument (f: func [] [g (return 1)]) leave the function whose body runs,
// never the one being called.
//
// Departures: errors travel as LanguageError, and break, continue, return,
// exit and throw as stack::NonLocalExit, both C++ exceptions; the throw
// routines of the value stack reset the stacks to the target frame first.
// A function body stops return and exit aimed at its own frame.
//
// The quick departures: a C++ throw costs some microseconds per frame it
// crosses, so `return`, `exit`, `break` and `continue` take another road
// whenever every frame between them and their target (the function's frame,
// the loop's frame) lets them pass (stack::kFramePassesReturn): the blocks
// of function bodies, of loop bodies and of parens (these run with no frame
// record), and the call frames of if, unless and either once their
// arguments are fetched, as they return at once after evaluating their
// branch (while an argument is fetched, their frame stops departures like
// any other call's). The departure is then only noted (pending); the
// interpreter's loops stop at a pending departure, the frames are popped in
// the ordinary way, and the function's body or the loop (LoopBody) takes the
// value. Any other frame on the way (try, catch, another native, an
// argument being fetched, a function between a break and its loop) makes
// the departure unwind and throw as before. Native code that runs Kiv code
// through call_function has a pending departure put aside meanwhile.
//
// Native stack: every block evaluation and every call checks the native
// stack of the running thread; when less than kNativeStackReserve bytes are
// left it raises internal stack-overflow, so deep recursion ends in an error
// the script can catch, never in a crash. Run the interpreter on a thread
// with a large stack (kiv-run uses 256 MiB): the value stack's own limits
// (12,000 frames) then come first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::interpreter {

// Apply modes of fetch-arguments (apply): the arguments come from a block of
// values; kApplyAll: every argument and refinement in spec order, each
// refinement a logic!; kApplyRefinements: the mandatory arguments, then
// refinement! values each followed by a logic! and its arguments;
// kApplySafer: arguments of unused refinements are skipped, not evaluated.
enum ApplyMode : uint32_t {
  kApplyNone = 0,
  kApplyAll = 1,
  kApplyRefinements = 2,
  kApplySafer = 4,
};

constexpr size_t kNativeStackReserve = size_t{256} << 10;

// Resets the interpreter's state (current code cell, tracing off) and
// registers the interpreter's roots with the collector; installs the
// function invoker of the sort comparators.
void init();

// Evaluates every expression of the block or paren from its index to its
// tail above a base of its own. With pop_with_result the result goes into
// the caller's result cell; otherwise it is pushed (one cell). Unless
// passes_return is set, a block frame named <body> stops pending
// departures; with it set the block would have a frame that every walk of
// the frames passes over, so it runs with no frame record at all. The code
// cell is read once, on entry: it may lie in a series that the evaluation
// moves.
void evaluate_block_in(const Cell* code, bool pop_with_result, bool passes_return);
// The same, called by a native: its block frame passes a pending departure
// only when the native's own frame does.
inline void evaluate_block(const Cell* code, bool pop_with_result) {
  const stack::CallFrame* caller = stack::current_frame();
  evaluate_block_in(code, pop_with_result, caller && (caller->header & stack::kFramePassesReturn));
}

// Evaluates one expression of the code block starting at cell index pos;
// answers the index after it. Flags: no_infix (the right operand of an
// operator: no operator after it is applied), keep (push the value instead
// of making it the result), no_call (a function value is pushed, not called).
uint32_t evaluate_expression(const Cell* code, uint32_t pos, bool no_infix, bool keep, bool no_call);

// One expression inside a frame named <body> (any, all, reduce ...): the
// value is pushed with keep, else made the current frame's result (the
// argument top then returns to base + 1). Answers the index after it.
uint32_t evaluate_next(const Cell* code, uint32_t pos, bool keep);

// do/next: evaluates one expression from the value's index (clamped to its
// tail) and pushes its value; at the tail pushes unset!. Answers the index
// after the expression.
uint32_t evaluate_next_position(const Cell* code);

// The number of cells of the code's series (its current tail).
uint32_t code_tail(const Cell* code);

// Calls any function value (native!, action!, op!, function!, routine!)
// with count arguments given as cells, from native code (sort comparators,
// the tracer): missing arguments are none!, refinements unused. The call
// frame is named by the word (nullptr: <anon>); callback_kind is the
// callback's kind bit for tracing (0: none). The function's result is
// written to *result. Errors and departures pass through.
void call_function(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, uint32_t callback_kind,
                   Cell* result);
// The same, and afterwards args[1] to args[count - 1] hold the values the
// function!'s argument words had when its body ended (a callback that moves
// a position it was given by setting its argument). Other kinds of function
// leave args alone.
void call_function_reading_back(const Cell* fn, Cell* args, uint32_t count, const Cell* name,
                                uint32_t callback_kind, Cell* result);

// Calls a function! with its whole frame given as cells in spec order:
// each argument, then each refinement as a flag (true unless none! or
// false) followed by its arguments, none! when the refinement is unused.
// Values past the frame are dropped, missing ones are none!; the mandatory
// arguments and those of a used refinement are checked against their
// types. The result is written to *result.
void call_function_frame(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, Cell* result);

// Runs a language function whose frame is open (kind 1) and whose stack
// image is pushed; leaves the result in the frame's base cell. With a
// callback kind, tracing stays on inside only when the kind is enabled.
void invoke_function_value(const Cell* fn, const Cell* name, uint32_t callback_kind);

// return (value) and exit (nullptr): leaves the function whose body runs,
// quickly when the frames between allow it, else through
// stack::throw_return (which raises throw/return when there is no function).
void leave_function(const Cell* value);

// break (value: break/return's, or nullptr) and continue: leaves the round
// of the innermost loop, quickly when the frames between allow it, else
// through stack::throw_break (which raises throw/break or throw/continue
// when there is no loop).
void leave_loop(bool continue_loop, const Cell* value);

namespace detail {
// The quick departure on its way (interpreter.cpp): its throw code (0 when
// none) and the index of the frame it goes to.
extern uint32_t g_pending;
extern uint32_t g_pending_target;
}  // namespace detail

// The scope of one evaluation of a loop's body in its loop frame (the frame
// index): the block frames opened directly inside let a break or continue
// pass quickly. After the evaluation take_exit() answers the code of a
// quick break or continue aimed at the loop (THROW_BREAK, THROW_CONTINUE),
// its value written into the current result cell (the loop frame's base),
// or 0. Leaving the scope drops a quick departure aimed at the loop that was
// not taken (an error overtook it).
class LoopBody {
 public:
  explicit LoopBody(uint32_t frame) : frame_(frame) {
    stack::frame_at(frame)->header |= stack::kFramePassesReturn;
  }
  ~LoopBody() {
    if (frame_ < stack::frame_count()) stack::frame_at(frame_)->header &= ~stack::kFramePassesReturn;
    if (loop_exit_q() && detail::g_pending_target == frame_) detail::g_pending = 0;
  }
  uint32_t take_exit() {
    if (!loop_exit_q() || detail::g_pending_target != frame_) [[likely]] return 0;
    return take_pending();
  }
  LoopBody(const LoopBody&) = delete;
  LoopBody& operator=(const LoopBody&) = delete;

 private:
  static bool loop_exit_q() {
    return detail::g_pending == stack::THROW_BREAK || detail::g_pending == stack::THROW_CONTINUE;
  }
  // Takes the pending break or continue: its code; its value becomes the
  // current result.
  static uint32_t take_pending();
  uint32_t frame_;
};

// apply: calls the function (a function value; with a path, the path's
// refinements apply) with its arguments taken from the block from its
// index; pushes the result.
void apply(const Cell* fn, const Cell* block, const Cell* path, uint32_t mode);

// The name of any type id ("integer!"), registered or not; null outside 1-54.
const char* type_name(uint32_t type);

// The block being evaluated, its index at the start of the current
// expression; false when no evaluation runs.
bool current_code(Cell* out);

// Where the last raised error happened: the block and index of the
// expression that was being evaluated when it was raised (the error's near
// field); false when there was none.
bool error_position(Cell* out);

// Checks the native stack: raises internal stack-overflow when less than
// the reserve is left.
void check_native_stack();

}  // namespace kiv::interpreter
