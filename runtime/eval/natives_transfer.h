// The natives that make functions and the natives that leave code early or
// stop such a departure: func (14), function (15), does (16), has (17), try
// (70), exit (79), return (80), throw (81), catch (82) and apply (107). They
// follow the native entry convention (runtime/eval/natives.h): arguments
// from the frame's base, one integer per refinement, the result left in the
// base cell. break (77) and continue (78) live with the loops
// (runtime/eval/natives_control.h).
//
// Departures: exit and return go through stack::throw_return, throw through
// stack::throw_value; each first resets the stacks to its target frame (or
// raises its throw error when there is none, or when a try/all frame lies
// between), then throws stack::NonLocalExit.
//
// Catching: try opens a try frame (try/all: a try/all frame, which turns
// every departure that would cross it into an error) and stops the errors
// that unwind to it, turning them into error! values at once (before any
// new frame overwrites the ones the error left); catch opens a catch frame
// and stops the throws aimed at it, passing a named throw that it does not
// accept on to the next catch outward.
#pragma once

#include <cstdint>

namespace kiv::natives {

void func(int32_t check, const int32_t* refinements);
void function(int32_t check, const int32_t* refinements);
void does(int32_t check, const int32_t* refinements);
void has(int32_t check, const int32_t* refinements);
void try_(int32_t check, const int32_t* refinements);
void exit_(int32_t check, const int32_t* refinements);
void return_(int32_t check, const int32_t* refinements);
void throw_(int32_t check, const int32_t* refinements);
void catch_(int32_t check, const int32_t* refinements);
void apply(int32_t check, const int32_t* refinements);

// Stores the natives above at their indexes of the native table (after
// natives_init has filled it).
void install_transfer_natives();

}  // namespace kiv::natives
