// kiv-run: the runtime and library without a window.
//   kiv-run --eval TEXT        evaluates the text
//   kiv-run FILE [ARGS...]     runs a script file (Kiv header required);
//                              ARGS reach it as system/script/args
//   kiv-run - [ARGS...]        runs the script read from standard input
//   kiv-run --help | --version
//
// How the process ends: 0 when the script or text has run; the status given
// to quit (its low 8 bits); 254 (-2) after an error that nothing catches,
// formed on standard error; a runtime error's number after a fault or a
// fatal condition ("*** Runtime Error N: ..." on standard error); 0, quietly,
// on an interrupt; 2 for a wrong command line. A start-up failure is an
// uncaught error: status 254 with its message.
//
// The interpreter runs on a thread of its own with a large stack, so that
// deep nesting ends in the stack-overflow error of the value stack, never in
// a crash of the native stack.
#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "boot/script.h"
#include "boot/startup.h"
#include "runtime/cell.h"
#include "runtime/datatypes/error.h"
#include "runtime/fatal.h"
#include "runtime/host/files.h"
#include "runtime/print_hooks.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

#ifndef KIV_VERSION
#define KIV_VERSION "0.0.0"
#endif

namespace {

constexpr size_t kInterpreterStackBytes = size_t{256} << 20;
constexpr int kStatusUsage = 2;

const char kUsage[] =
    "usage: kiv-run FILE [ARGS...]   run a script file (it must carry a Kiv header)\n"
    "       kiv-run - [ARGS...]      run the script read from standard input\n"
    "       kiv-run --eval TEXT      evaluate source text\n"
    "       kiv-run --help           show this text\n"
    "       kiv-run --version        show the version\n"
    "ARGS reach the script as system/script/args (one text) and system/options/args (a block).\n";

struct Run {
  std::string program;
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
  return kiv::simple_io::read_whole_file(path, out);
}

int usage() {
  std::fputs(kUsage, stderr);
  return kStatusUsage;
}

int run(const Run& r) {
  const std::vector<std::string>& args = r.args;
  if (args.empty()) return usage();
  if (args[0] == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::printf("kiv-run %s\n", KIV_VERSION);
    return 0;
  }
  if (args[0] == "--eval" && args.size() != 2) return usage();
  if (args[0] != "--eval" && args[0] != "-" && args[0].size() > 1 && args[0][0] == '-') return usage();
  kiv::stack::set_uncaught_error_handler(kiv::error::report_uncaught);
  try {
    kiv::boot::start();
    kiv::dyn_print::add(print_to_stdout, nullptr);
    if (args[0] == "--eval") {
      kiv::boot::set_script_args(r.program, "", {});
      kiv::boot::run_eval(args[1]);
    } else {
      const std::string& file = args[0];
      std::vector<std::string> script_args(args.begin() + 1, args.end());
      std::string text;
      if (file == "-") {
        kiv::boot::set_script_args(r.program, "", script_args);
        if (!kiv::simple_io::read_stream(stdin, &text)) kiv::fire(kiv::ErrorCategory::kAccess, "cannot-open", "-");
      } else {
        kiv::boot::set_script_args(r.program, file, script_args);
        if (!read_file(file, &text)) kiv::fire(kiv::ErrorCategory::kAccess, "cannot-open", file);
      }
      kiv::boot::run_script(text, file);
    }
  } catch (const kiv::LanguageError& e) {
    // Raised outside the throw routines (start-up, or a low-level failure).
    kiv::error::report_uncaught(e);
  } catch (const kiv::stack::NonLocalExit&) {
    kiv::fatal_runtime_error(kiv::kRuntimeErrorNoCatch);
  } catch (const std::bad_alloc&) {
    kiv::fatal_runtime_error(kiv::kRuntimeErrorOutOfMemory);
  } catch (const std::exception& e) {
    // Any other failure of the C++ runtime: reported, never a crash.
    std::fflush(stdout);
    std::fprintf(stderr, "*** Internal Error: %s\n", e.what());
    kiv::fatal_runtime_error(kiv::kRuntimeErrorUnknown);
  }
  std::fflush(stdout);
  return 0;
}

void* thread_main(void* p) {
  kiv::install_thread_fault_stack();
  auto* r = static_cast<Run*>(p);
  r->status = run(*r);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  kiv::install_fault_handlers();
  Run r;
  r.program = argc > 0 ? argv[0] : "kiv-run";
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
