// kiv-run: the runtime and library without a window.
//   kiv-run --eval TEXT        evaluates the text
//   kiv-run FILE [ARGS...]     runs a script file (Kiv header required)
// print writes to standard output; an error that nothing catches is formed to
// standard error and ends the process with status 254.
//
// The interpreter runs on a thread of its own with a large stack, so that
// deep nesting ends in the stack-overflow error of the value stack, never in
// a crash of the native stack.
#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/script.h"
#include "boot/startup.h"
#include "runtime/cell.h"
#include "runtime/datatypes/error.h"
#include "runtime/print_hooks.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace {

constexpr size_t kInterpreterStackBytes = size_t{256} << 20;

struct Run {
  std::vector<std::string> args;
  int status = 0;
};

void print_to_stdout(const kiv::Cell* value, int new_line) {
  kiv::Cell text = *value;
  int32_t length = -1;
  const char* bytes = kiv::to_utf8_cstring(&text, &length);
  std::fwrite(bytes, 1, static_cast<size_t>(length), stdout);
  if (new_line) std::fputc('\n', stdout);
}

// The whole content of a regular file; false when it cannot be read (missing,
// a directory, unreadable).
bool read_file(const std::string& path, std::string* out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

int usage() {
  std::fprintf(stderr, "usage: kiv-run --eval TEXT\n       kiv-run FILE [ARGS...]\n");
  return 2;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) return usage();
  kiv::stack::set_uncaught_error_handler(kiv::error::report_uncaught);
  try {
    kiv::boot::start();
    kiv::dyn_print::add(print_to_stdout, nullptr);
    if (args[0] == "--eval") {
      if (args.size() != 2) return usage();
      kiv::boot::run_eval(args[1]);
    } else {
      const std::string& file = args[0];
      std::string text;
      if (!read_file(file, &text)) kiv::fire(kiv::ErrorCategory::kAccess, "cannot-open", file);
      kiv::boot::run_script(text, file);
    }
  } catch (const kiv::LanguageError& e) {
    // Raised outside the throw routines (start-up, or a low-level failure).
    kiv::error::report_uncaught(e);
  } catch (const kiv::stack::NonLocalExit&) {
    std::fflush(stdout);
    std::fprintf(stderr, "*** Throw Error: no catch for throw\n");
    return 254;
  } catch (const std::exception& e) {
    // A failure of the C++ runtime (memory exhausted ...): reported, never a crash.
    std::fflush(stdout);
    std::fprintf(stderr, "*** Internal Error: %s\n", e.what());
    return 254;
  }
  std::fflush(stdout);
  return 0;
}

void* thread_main(void* p) {
  auto* r = static_cast<Run*>(p);
  r->status = run(r->args);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Run r;
  for (int i = 1; i < argc; ++i) r.args.emplace_back(argv[i]);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kInterpreterStackBytes);
  pthread_t thread;
  if (pthread_create(&thread, &attr, thread_main, &r) != 0) {
    std::fprintf(stderr, "*** kiv-run: cannot start the interpreter thread\n");
    return 1;
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return r.status;
}
