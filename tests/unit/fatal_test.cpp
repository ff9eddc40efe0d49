// Runtime errors and the fault handlers: each fault is raised for real in a
// child process, which must end with the runtime error's number as its
// status and its report on standard error (never a core dump or a silent
// death).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <string>

#include "runtime/fatal.h"

namespace kiv {
namespace {

std::string report(int code, uintptr_t address) {
  char text[160];
  int n = format_runtime_error(code, address, text);
  return std::string(text, static_cast<size_t>(n));
}

TEST(RuntimeErrorTest, ReportsNumberTextAndAddress) {
  EXPECT_EQ(report(1, 0x1234), "*** Runtime Error 1: access violation\n*** at: 00001234h\n");
  EXPECT_EQ(report(19, 0), "*** Runtime Error 19: stack overflow\n*** at: 00000000h\n");
  EXPECT_EQ(report(94, 0xDEADBEEFCAFEULL), "*** Runtime Error 94: out of memory\n*** at: DEADBEEFCAFEh\n");
  EXPECT_EQ(report(95, 0).substr(0, 40), "*** Runtime Error 95: no CATCH for THROW");
  EXPECT_STREQ(runtime_error_text(98), "assertion failed");
  EXPECT_STREQ(runtime_error_text(99), "unknown error");
  EXPECT_STREQ(runtime_error_text(100), "no value matched in CASE");
  EXPECT_STREQ(runtime_error_text(101), "no value matched in SWITCH");
  EXPECT_STREQ(runtime_error_text(30), "unknown error");
  EXPECT_STREQ(runtime_error_text(150), "unknown error code!");
  EXPECT_STREQ(runtime_error_text(0), "unknown error code!");
}

// Sanitizer builds (address and undefined behaviour, always together here)
// stop at the faulty operation before the processor faults.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

volatile int g_zero = 0;
int* volatile g_null = nullptr;

[[noreturn]] void divide_by_zero() {
  install_fault_handlers();
  volatile int x = 7 / g_zero;
  (void)x;
  _exit(0);
}

[[noreturn]] void read_null() {
  install_fault_handlers();
  volatile int x = *g_null;
  (void)x;
  _exit(0);
}

int recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  return depth > 0 ? recurse(depth + 1) + pad[0] : 0;
}

// Unbounded native recursion on a small thread of its own.
[[noreturn]] void overflow_the_stack() {
  install_fault_handlers();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{1} << 20);
  pthread_t thread;
  pthread_create(&thread, &attr,
                 [](void*) -> void* {
                   install_thread_fault_stack();
                   recurse(1);
                   return nullptr;
                 },
                 nullptr);
  pthread_join(thread, nullptr);
  _exit(0);
}

[[noreturn]] void interrupt() {
  install_fault_handlers();
  raise(SIGINT);
  _exit(3);
}

[[noreturn]] void fatal_no_catch() { fatal_runtime_error(kRuntimeErrorNoCatch, 0xAB); }

TEST(FaultHandlerDeathTest, IntegerDivisionByZeroIsRuntimeError13) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reports the division first";
#if defined(__x86_64__)
  EXPECT_EXIT(divide_by_zero(), ::testing::ExitedWithCode(13), "Runtime Error 13: integer divide by zero");
#endif
}

TEST(FaultHandlerDeathTest, NullReadIsAnAccessViolation) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reports the null read first";
  EXPECT_EXIT(read_null(), ::testing::ExitedWithCode(1), "Runtime Error 1: access violation\n\\*\\*\\* at: ");
}

TEST(FaultHandlerDeathTest, ExhaustedNativeStackIsAStackOverflow) {
  EXPECT_EXIT(overflow_the_stack(), ::testing::ExitedWithCode(19), "Runtime Error 19: stack overflow");
}

TEST(FaultHandlerDeathTest, InterruptEndsQuietlyWithZero) {
  EXPECT_EXIT(interrupt(), ::testing::ExitedWithCode(0), "^$");
}

TEST(FaultHandlerDeathTest, FatalRuntimeErrorEndsWithItsNumber) {
  EXPECT_EXIT(fatal_no_catch(), ::testing::ExitedWithCode(95), "Runtime Error 95: no CATCH for THROW\n\\*\\*\\* at: 000000ABh");
}

}  // namespace
}  // namespace kiv
