#include "runtime/checks.h"

#include <cstdio>

#include "runtime/fatal.h"

namespace kiv {

void assertion_failed(const char* what, const char* file, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "*** Assertion failed: %s\n*** in %s:%d\n", what, file, line);
  fatal_runtime_error(kRuntimeErrorAssertion);
}

}  // namespace kiv
