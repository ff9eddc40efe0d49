// The native stack limit: where the running thread's stack ends, found from
// its attributes on the first check, and the error raised when a check finds
// less than the reserve left.
#include <climits>
#include <cstddef>
#include <cstdint>

#include <pthread.h>

#include "runtime/eval/interpreter_internal.h"

namespace kiv::interpreter {

namespace internal {

constinit thread_local uintptr_t t_stack_limit = UINTPTR_MAX;

namespace {

// The stack's lowest address from the thread's attributes, plus the reserve.
[[gnu::noinline]] void compute_stack_limit() {
  pthread_attr_t attr;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
  }
  uintptr_t limit = reinterpret_cast<uintptr_t>(low) + kNativeStackReserve;
  // Without a usable answer: 1 MiB below here, the least any thread has.
  char here;
  uintptr_t h = reinterpret_cast<uintptr_t>(&here);
  if (low == nullptr || size <= kNativeStackReserve || limit >= h) limit = h > (size_t{1} << 20) ? h - (size_t{1} << 20) : 1;
  t_stack_limit = limit;
}

}  // namespace

void stack_limit_reached() {
  if (t_stack_limit == UINTPTR_MAX) {
    compute_stack_limit();
    return;
  }
  fire(ErrorCategory::kInternal, "stack-overflow");
}

}  // namespace internal

void check_native_stack() { internal::check_stack(); }

}  // namespace kiv::interpreter
