// The control natives: the loops while (6), until (7), loop (8), repeat (9),
// forever (10), foreach (11), forall (12) and remove-each (13), switch (18),
// case (19) and do (20) for every kind of value; and break (77) and
// continue (78), which the loops stop. They follow the native entry
// convention (runtime/eval/natives.h).
//
// Loops: every loop opens a loop frame (kind 8) above its arguments and the
// cells it keeps (the walked series, the loop words), evaluates its body
// with the result in that frame's base cell, and catches the break and
// continue throws aimed at that frame; any other departure passes through
// unchanged. The loop's result is that cell when the loop ends: the value
// of the last body evaluation, or the value break/return gave.
//
// Truth tests: while, until and case use the strict test (an unset! value
// raises script no-return); remove-each uses the lenient one.
//
// The loop steps below are the per-round work of foreach, remove-each,
// forall and repeat. They work on cells kept on the argument stack, named by
// their stack index: for foreach and remove-each the walked series at
// `slot` and the word or block of words at slot + 1; for forall the saved
// series at `slot` and the loop word at slot + 1.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/eval/natives.h"

namespace kiv::natives {

// ---------------------------------------------------------------------------
// Loop steps and conversions.

// An integer! as it is; a float! truncated toward zero. A NaN or a float
// outside the 32-bit range raises script type-limit naming integer!.
int32_t number_to_integer(const Cell* value);
// A float! cell becomes an integer! (number_to_integer); other types stay.
void count_to_integer(Cell* value);

// True while the series' index is before its tail (an image! counts its
// pixels).
bool series_more_q(Cell* series);

// When the series at slot has values left and n > 0: sets the word(s) at
// slot + 1 from the next n values (none! past the tail) and advances the
// series by n. Answers whether it did. A map! walks key and value pairs
// (n must be 2). A words block holding anything but word kinds raises
// script invalid-arg.
bool foreach_step(uint32_t slot, int32_t n);
// The one-word form: sets the word to the value at the index, advances by 1.
bool foreach_step_one(uint32_t slot);
// Sets word i of the words (a block, or one word for n = 1) to value i of
// the series from its index, for i from 1 to n.
void set_words_from_series(const Cell* words, const Cell* series, int32_t n);
// After a round of remove-each: when the result cell (the current base) is
// neither none! nor false, removes the n values just visited from the
// series at slot and leaves its index where they began.
void remove_each_step(uint32_t slot, int32_t n);
// With advance, checks that the loop word still refers to the buffer of the
// series saved at slot (else script bad-loop-series with the word's value)
// and moves its index on by 1. Answers whether the word's series is at its
// tail.
bool forall_step(uint32_t slot, bool advance);
// Sets the loop word back to the saved series.
void forall_restore(uint32_t slot);
// Adds 1 to the integer! of the counter word (through its context's set
// routine, so an object's change hook sees it).
void repeat_step(Cell* word);

// ---------------------------------------------------------------------------
// Hooks for the parts that other modules provide.

// do/trace: runs evaluate(state) once with the callback installed as the
// tracer (the init event before, the end event after, the tracer removed on
// every exit), or just runs it when a trace is already running. evaluate
// reads do's arguments at the current base and leaves the result in the
// base cell, so the runner calls it with the stack as it found it. Without
// a runner do/trace raises internal not-done.
using TraceRunner = void (*)(const Cell* callback, void (*evaluate)(void* state), void* state);
void set_do_trace_runner(TraceRunner runner);

}  // namespace kiv::natives
