#include "runtime/fatal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>

namespace kiv {
namespace {

constexpr size_t kAltStackBytes = 64 * 1024;
// A fault this close to the end of a thread's stack (or with the stack
// pointer there) is taken for an exhausted stack.
constexpr uintptr_t kStackEndSlack = 256 * 1024;
constexpr uintptr_t kBelowStackSlack = 1024 * 1024;

const char* const kFaultTexts[] = {
    nullptr,
    "access violation",           // 1
    "datatype misalignment",      // 2
    "breakpoint",                 // 3
    "single step",                // 4
    "array bounds exceeded",      // 5
    "float denormal operand",     // 6
    "float divide by zero",       // 7
    "float inexact result",       // 8
    "float invalid operation",    // 9
    "float overflow",             // 10
    "float stack check",          // 11
    "float underflow",            // 12
    "integer divide by zero",     // 13
    "integer overflow",           // 14
    "privileged instruction",     // 15
    "in page error",              // 16
    "illegal instruction",        // 17
    "noncontinuable exception",   // 18
    "stack overflow",             // 19
    "invalid disposition",        // 20
    "guard page",                 // 21
    "invalid handle",             // 22
};

// The calling thread's stack: its lowest address (the end it grows towards).
thread_local uintptr_t t_stack_low = 0;
thread_local void* t_alt_stack = nullptr;

size_t append(char* out, size_t at, const char* text) {
  while (*text) out[at++] = *text++;
  return at;
}

size_t append_decimal(char* out, size_t at, int value) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  if (value < 0) out[at++] = '-';
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) out[at++] = digits[--n];
  return at;
}

size_t append_hex(char* out, size_t at, uintptr_t value, int min_digits) {
  char digits[2 * sizeof(uintptr_t)];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[value & 15];
    value >>= 4;
  } while (value);
  while (n < min_digits) digits[n++] = '0';
  while (n) out[at++] = digits[--n];
  return at;
}

void write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w <= 0) return;
    data += w;
    n -= static_cast<size_t>(w);
  }
}

uintptr_t fault_pc(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  if (!uc) return 0;
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  return 0;
#endif
}

uintptr_t fault_sp(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  if (!uc) return 0;
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
  return 0;
#endif
}

bool near_stack_end(uintptr_t address) {
  if (!t_stack_low || !address) return false;
  return address + kBelowStackSlack >= t_stack_low && address < t_stack_low + kStackEndSlack;
}

// The runtime error number of a signal, 0 for a quiet exit.
int runtime_error_of(int signal, const siginfo_t* info, void* context) {
  int code = info ? info->si_code : 0;
  switch (signal) {
    case SIGSEGV: {
      uintptr_t address = info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
      if (code > 0 && (near_stack_end(address) || near_stack_end(fault_sp(context))))
        return kRuntimeErrorStackOverflow;
      return 1;
    }
    case SIGBUS: return code == BUS_ADRALN ? 2 : 16;
    case SIGFPE:
      switch (code) {
        case FPE_FLTSUB: return 5;
        case FPE_FLTDIV: return 7;
        case FPE_FLTRES: return 8;
        case FPE_FLTINV: return 9;
        case FPE_FLTOVF: return 10;
        case FPE_FLTUND: return 12;
        case FPE_INTDIV: return 13;
        case FPE_INTOVF: return 14;
        default: return kRuntimeErrorUnknown;
      }
    case SIGILL: return (code == ILL_PRVOPC || code == ILL_PRVREG) ? 15 : 17;
    case SIGTRAP: return code == TRAP_TRACE ? 4 : 3;
    case SIGABRT: return kRuntimeErrorAssertion;
    case SIGINT: return 0;
    default: return kRuntimeErrorUnknown;
  }
}

// Ends the process from a signal handler: the system call itself, which no
// library (a sanitizer's leak check on _exit, for one) can hook into.
[[noreturn]] void exit_now(int status) {
  syscall(SYS_exit_group, status);
  _exit(status);
}

void on_fault(int signal, siginfo_t* info, void* context) {
  int number = runtime_error_of(signal, info, context);
  if (number == 0) exit_now(0);
  char text[160];
  int n = format_runtime_error(number, fault_pc(context), text);
  write_all(STDERR_FILENO, text, static_cast<size_t>(n));
  exit_now(number);
}

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGINT};

}  // namespace

const char* runtime_error_text(int code) {
  if (code >= 1 && code <= 22) return kFaultTexts[code];
  switch (code) {
    case kRuntimeErrorOutOfMemory: return "out of memory";
    case kRuntimeErrorNoCatch: return "no CATCH for THROW";
    case kRuntimeErrorAssertion: return "assertion failed";
    case kRuntimeErrorUnknown: return "unknown error";
    case 100: return "no value matched in CASE";
    case 101: return "no value matched in SWITCH";
    default: return (code >= 23 && code <= 34) ? "unknown error" : "unknown error code!";
  }
}

int format_runtime_error(int code, uintptr_t address, char* out) {
  size_t n = append(out, 0, "*** Runtime Error ");
  n = append_decimal(out, n, code);
  n = append(out, n, ": ");
  n = append(out, n, runtime_error_text(code));
  n = append(out, n, "\n*** at: ");
  n = append_hex(out, n, address, 8);
  n = append(out, n, "h\n");
  return static_cast<int>(n);
}

void fatal_runtime_error(int code, uintptr_t address) {
  std::fflush(stdout);
  char text[160];
  int n = format_runtime_error(code, address, text);
  write_all(STDERR_FILENO, text, static_cast<size_t>(n));
  _exit(code);
}

void install_thread_fault_stack() {
  if (!t_alt_stack) {
    void* p = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    t_alt_stack = p;
  }
  stack_t ss{};
  ss.ss_sp = t_alt_stack;
  ss.ss_size = kAltStackBytes;
  ss.ss_flags = 0;
  sigaltstack(&ss, nullptr);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* base = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0) t_stack_low = reinterpret_cast<uintptr_t>(base);
    pthread_attr_destroy(&attr);
  }
}

void install_fault_handlers() {
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  struct sigaction action{};
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : kFaultSignals) sigaction(s, &action, nullptr);
  install_thread_fault_stack();
}

}  // namespace kiv
