// Evaluation tracing: do/trace runs code while the interpreter reports each
// step to a language function, the tracer.
//
// State (process globals, reset at start-up): tracing on (events are fired
// only while it is set), a trace run active (a do/trace is running), the
// tracer function, its event mask and the number of its extra slots
// (locals and refinements beyond its six arguments).
//
// The tracer is called with six arguments: event (the event's word), code
// (the block being evaluated or none!), offset (integer!: the position's
// index from the code's head, -1 when there is none or it lies outside the
// code's head and tail), value, ref (only for set, prolog, epilog, return
// and call; none! otherwise) and frame (pair!: the argument-stack indexes of
// the current base and top). Tracing is off while the tracer runs, so the
// code it runs reports nothing. A spec that starts with a block of event
// words selects those events; otherwise every event is reported.
//
// With tracing off each firing point costs one flag test.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/scope_guard.h"

namespace kiv::trace {

enum Event : uint32_t {
  EV_INIT = 0x1,
  EV_END = 0x2,
  EV_PROLOG = 0x4,
  EV_EPILOG = 0x8,
  EV_ENTER = 0x10,
  EV_EXIT = 0x20,
  EV_OPEN = 0x40,
  EV_RETURN = 0x80,
  EV_FETCH = 0x100,
  EV_PUSH = 0x200,
  EV_SET = 0x400,
  EV_CALL = 0x800,
  EV_ERROR = 0x1000,
  EV_THROW = 0x2000,
  EV_CATCH = 0x4000,
  EV_EXPR = 0x8000,
};
constexpr uint32_t kAllEvents = 0x1FFFF;

// Callback kinds of natives calling a language function back: tracing stays
// on inside the callback only when system/state/callbacks/bits has the bit.
enum CallbackKind : uint32_t {
  CB_NONE = 0,
  CB_LEXER = 1,
  CB_PARSE = 2,
  CB_SORT = 4,
  CB_CHANGE = 8,
  CB_DEEP = 16,
  CB_PORT = 32,
};

extern bool g_on;
extern bool g_active;
// A switch of delivery asked for from the library (trace with a logic
// value): -1 none, 0 off, 1 on. The next tracing scope to end, that of the
// library function that asked, leaves it in place of the state it saved, so
// the switch holds in the code that called it.
extern int g_switch;

inline bool on() { return g_on; }
// A do/trace is running.
inline bool active() { return g_active; }

// Resets the state (no tracer, tracing off).
void init();
// Marks the tracer cell (the interpreter's collector roots call it).
void mark_roots();

// Calls the tracer when tracing is on and the event is in its mask. code
// may be nullptr (none!), value and ref too. pos is the position's cell
// index in code's buffer (ignored without code; -1: none).
void fire_event(uint32_t event, const Cell* code, int64_t pos, const Cell* value, const Cell* ref);

inline void event(uint32_t ev, const Cell* code, int64_t pos, const Cell* value, const Cell* ref = nullptr) {
  if (g_on) fire_event(ev, code, pos, value, ref);
}

// The mask a tracer asks for: the event words of a block at the head of its
// spec, else every event.
uint32_t mask_of(const Cell* tracer);

// Sets tracing on or off for a scope and puts the previous state back on
// every exit.
class Scope {
 public:
  explicit Scope(bool on) : saved_(g_on) { g_on = on; }
  ~Scope() {
    g_on = g_switch >= 0 ? g_switch != 0 : saved_;
    g_switch = -1;
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  bool saved_;
};

// Whether tracing stays on inside a callback of the kind: only when a run is
// active and system/state/callbacks/bits has the kind's bit.
bool callback_traced_q(uint32_t kind);

// do/trace: when no trace run is active, installs the callback (a
// function!; anything else raises script invalid-arg) as the tracer, fires
// init, runs evaluate(state), fires end and removes the tracer on every
// exit; while a run is active it only runs evaluate(state).
void run(const Cell* callback, void (*evaluate)(void* state), void* state);

}  // namespace kiv::trace
