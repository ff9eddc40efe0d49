// port! (type id 48, parent object!): an object that stands for an external
// resource reached through a scheme. The cell is object!'s (context node,
// class id, hooks node); its words, in this order, are those of
// system/standard/port:
//
//   spec    the spec object (a url-parts object, or the object given to make)
//   scheme  the scheme's name, a word!
//   actor   the scheme's actor: an object! of functions named after the
//           actions, or a handle! to a native table of handlers
//   awake state data extra   left to the scheme
//
// The datatype does no input or output itself. make binds the port to the
// actor of its scheme in system/schemes (a block of name/definition pairs);
// every series and I/O action applied to a port calls the actor's function
// of the action's name with the whole frame of the action: the port, the
// action's arguments, then each refinement as a logic! followed by its
// argument (none! when the refinement is unused). read and write are made
// of open, copy, insert and close.
//
// A handle! actor points to a table of handlers for the actions from 25
// (append) on, indexed by action number less 25; the action dispatch serves
// those actions from it (a null entry: access no-port-action).
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::port {

// The number of entries of a native scheme's handler table: actions 25 to 62.
constexpr uint32_t kNativeTableSize = 38;

// The port's actor, which must be an object! (else access invalid-port).
// Raw address: good until the next allocation.
Cell* get_actor(const Cell* port);

// Calls the actor's function of the action with the cells of its frame (the
// port first). A missing or non-function member raises access
// no-port-action. Answers the function's result, pushed on the stack.
Cell* call_actor(const Cell* port, uint32_t action, const Cell* cells, uint32_t count);

// Makes a port from a spec: an object! is the spec object as it is; any
// other value extends a copy of system/standard/url-parts. The result is
// pushed on the stack.
Cell* make_from_spec(Cell* spec);

// Registers port! (parent object!) and installs the dispatch of handle!
// actors.
void init();

}  // namespace kiv::port
