// The ends of the process that are not an ordinary return: numbered runtime
// errors and the fault handlers that turn processor faults and signals into
// them.
//
// A runtime error prints "*** Runtime Error N: text\n*** at: ADDRESSh" on
// standard error and ends the process with status N (1-22 processor and
// system faults, 94 out of memory, 95 no CATCH for THROW, 98 assertion
// failed, 99 unknown error, 100 and 101 no value matched). An interrupt
// (SIGINT) ends the process quietly with status 0. SIGPIPE is ignored: a
// write to a closed pipe fails with EPIPE instead of killing the process.
//
// The fault handlers run on an alternate signal stack, so a fault caused by
// an exhausted native stack is still reported (as runtime error 19, stack
// overflow); they use only write(2) and the exit system call. Each thread that runs Kiv
// code needs its own alternate stack (install_thread_fault_stack).
#pragma once

#include <cstdint>

namespace kiv {

constexpr int kRuntimeErrorStackOverflow = 19;
constexpr int kRuntimeErrorOutOfMemory = 94;
constexpr int kRuntimeErrorNoCatch = 95;
constexpr int kRuntimeErrorAssertion = 98;
constexpr int kRuntimeErrorUnknown = 99;

// The text of a runtime error number ("unknown error code!" for numbers
// without one).
const char* runtime_error_text(int code);

// Writes the report of a runtime error into out (at least 128 bytes);
// answers its length. Async-signal-safe.
int format_runtime_error(int code, uintptr_t address, char* out);

// Flushes standard output, reports the runtime error on standard error and
// ends the process with the error number as its status.
[[noreturn]] void fatal_runtime_error(int code, uintptr_t address = 0);

// Installs the fault handlers for the whole process and ignores SIGPIPE;
// gives the calling thread its alternate stack. Safe to call again.
void install_fault_handlers();

// Gives the calling thread an alternate signal stack and records its stack
// bounds (a fault near the stack's end is a stack overflow). Call at the
// start of every thread that runs Kiv code.
void install_thread_fault_stack();

}  // namespace kiv
