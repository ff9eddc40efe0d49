// Tests that boot the whole runtime run in a child process (a death test) on
// a thread of their own: the runtime's state is process-wide, a deep
// evaluation needs a larger native stack than the test runner's, and the
// parent learns the outcome from the exit status alone.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "boot/startup.h"
#include "runtime/collector.h"
#include "runtime/eval/interpreter.h"
#include "runtime/stack.h"

namespace kiv::testing {

// The native stack of a child's thread unless a test asks for another.
inline constexpr size_t kChildStackBytes = size_t{64} << 20;

// Runs body on a thread with a stack of stack_bytes and ends the process:
// status 0 when body answers true, 1 when it answers false, 2 when no thread
// could be made. Standard output and error are flushed first.
template <typename Body>
[[noreturn]] void run_on_thread(size_t stack_bytes, Body body) {
  struct State {
    Body* body;
    bool ok = false;
  } state{&body};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  auto entry = [](void* p) -> void* {
    auto* s = static_cast<State*>(p);
    s->ok = (*s->body)();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, entry, &state) != 0) std::_Exit(2);
  pthread_join(thread, nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(state.ok ? 0 : 1);
}

template <typename Body>
[[noreturn]] void run_on_thread(Body body) {
  run_on_thread(kChildStackBytes, body);
}

// run_on_thread with the runtime booted first and uncaught errors left to
// the body. Under the collector's torture mode the boot runs untortured
// (other tests torture it) and the body's own work is tortured.
template <typename Body>
[[noreturn]] void run_booted(Body body) {
  run_on_thread([&body] {
    stack::set_uncaught_error_handler(nullptr);
    int torture = collector::torture_interval();
    collector::set_torture_interval(0);
    boot::start();
    collector::set_torture_interval(torture);
    return body();
  });
}

// Loads Kiv source text and evaluates it in a call frame of its own, then
// hands its value (a cell on the argument stack, reachable until the frame
// goes) to use and answers what use answers. A language error passes out.
template <typename Use>
auto evaluate_text(std::string_view text, Use use) {
  stack::FrameGuard guard;
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  boot::load_text(text, code);
  Cell block = *code;
  interpreter::evaluate_block(&block, false);
  auto answer = use(stack::push_copy(stack::last_pushed()));
  stack::pop_frame_drop();
  return answer;
}

}  // namespace kiv::testing
