// Tests that boot the whole runtime run in a child process (a death test) on
// a thread of their own: the runtime's state is process-wide, a deep
// evaluation needs a larger native stack than the test runner's, and the
// parent learns the outcome from the exit status alone.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "boot/startup.h"
#include "runtime/collector.h"
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

}  // namespace kiv::testing
