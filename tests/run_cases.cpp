// The Kiv case-table runner: runs every case of one file and reports the
// cases whose outcome differs from the expectation.
//
// A case is one line (a line ending in a backslash continues on the next,
// joined by a line feed) made of Kiv source and an expectation:
//   source ==> mold        the molded result of evaluating the source
//   source !!> cat/id ...  the error raised: category/id, optionally followed
//                          by its arguments (texts as they are, values
//                          molded), compared as a prefix of the whole
//   source --> text        what print and prin wrote (\n for a line feed)
//   source **> text        the error raised, formed as kiv-run prints it
//                          (\n for a line feed)
// Lines starting with ";" and blank lines are skipped. All cases of a file
// run in one runtime, in order, so a case sees the words earlier ones set.
// With --in-temp-dir the cases run in a new empty directory, removed with
// everything in it at the end, so cases of the file services touch no other
// files.
#include <pthread.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "boot/startup.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/trace.h"
#include "runtime/eval/interpreter.h"
#include "runtime/print_hooks.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace {

// A value molded; a value that cannot be molded (its type has no mold yet)
// shows as ?type-name?.
std::string mold_text(const kiv::Cell& value) {
  uint32_t top = kiv::stack::top_index();
  uint32_t frames = kiv::stack::frame_count();
  try {
    kiv::Cell* v = kiv::stack::push_copy(&value);
    v->header &= ~kiv::kFlagNewLine;
    kiv::Cell* out = kiv::stack::push_new_cell();
    kiv::string::init_cell(out, 16);
    kiv::dispatch_mold(v, out, {}, nullptr, kiv::kNoPartLimit, 0);
    int32_t length = -1;
    const char* text = kiv::to_utf8_cstring(out, &length);
    std::string s(text, static_cast<size_t>(length));
    kiv::stack::drop_cells(kiv::stack::top_index() - top);
    return s;
  } catch (const kiv::LanguageError&) {
    kiv::stack::unwind_to(frames);
    if (kiv::stack::top_index() > top) kiv::stack::drop_cells(kiv::stack::top_index() - top);
    const char* name = kiv::interpreter::type_name(TYPE_OF(&value));
    return name ? std::string("?") + name + "?" : "?value?";
  }
}

// An error argument: a text as it is, a value molded.
std::string argument_text(const kiv::ErrorArgument& argument) {
  switch (argument.kind) {
    case kiv::ErrorArgument::Kind::kText:
      return argument.text;
    case kiv::ErrorArgument::Kind::kValue:
      return mold_text(*argument.value.get());
    default:
      return "none";
  }
}

struct Case {
  int line;
  std::string source;
  std::string kind;  // "==>", "!!>" or "-->"
  std::string expected;
};

std::string g_printed;

void capture_print(const kiv::Cell* value, int new_line) {
  kiv::Cell text = *value;
  int32_t length = -1;
  const char* bytes = kiv::to_utf8_cstring(&text, &length);
  g_printed.append(bytes, static_cast<size_t>(length));
  if (new_line) g_printed.push_back('\n');
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string escape_lines(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += "\\n";
    else out.push_back(c);
  }
  return out;
}

bool read_cases(const char* path, std::vector<Case>* cases) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line, pending;
  int number = 0, start = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (pending.empty()) {
      start = number;
      std::string t = trim(line);
      if (t.empty() || t[0] == ';') continue;
    }
    if (!line.empty() && line.back() == '\\') {
      line.pop_back();
      pending += line + "\n";
      continue;
    }
    std::string text = pending + line;
    pending.clear();
    size_t at = std::string::npos;
    std::string kind;
    for (const char* k : {"==>", "!!>", "-->", "**>"}) {
      size_t p = text.rfind(k);
      if (p != std::string::npos && (at == std::string::npos || p > at)) {
        at = p;
        kind = k;
      }
    }
    if (at == std::string::npos) {
      std::fprintf(stderr, "%s:%d: no expectation (==>, !!>, --> or **>)\n", path, start);
      return false;
    }
    cases->push_back(Case{start, text.substr(0, at), kind, trim(text.substr(at + 3))});
  }
  return true;
}

std::string error_text(const kiv::LanguageError& e) {
  std::string s = std::string(kiv::error_category_name(e.category)) + "/" + e.id;
  for (const kiv::ErrorArgument& a : e.args)
    if (a.present()) s += " " + argument_text(a);
  return s;
}

// The formed text of the last uncaught error, made by the uncaught-error
// handler as kiv-run makes it: before the stacks unwind.
std::string g_formed;
void record_formed(const kiv::LanguageError& e) { g_formed = kiv::error::form_language_error(e); }

// Installs record_formed for one case.
struct FormedErrorScope {
  explicit FormedErrorScope(bool on) {
    g_formed.clear();
    if (on) kiv::stack::set_uncaught_error_handler(record_formed);
  }
  ~FormedErrorScope() { kiv::stack::set_uncaught_error_handler(nullptr); }
};

// Set by --traced: every case runs with tracing on.
bool g_traced = false;

// Runs one case; answers the outcome in the form of its expectation.
std::string run_case(const Case& c, std::string* kind) {
  g_printed.clear();
  FormedErrorScope formed(c.kind == "**>");
  try {
    kiv::stack::FrameGuard guard;
    kiv::stack::open_call_frame(nullptr);
    kiv::Cell* code = kiv::stack::push_new_cell();
    kiv::boot::load_text(c.source, code);
    kiv::Cell block = *code;
    // Traced runs take the interpreter's ordinary call path everywhere (no
    // operator fast paths); no tracer is installed, so nothing is reported.
    kiv::trace::Scope tracing(g_traced);
    kiv::interpreter::evaluate_block(&block, false);
    kiv::Cell result = *kiv::stack::last_pushed();
    std::string molded = mold_text(result);
    kiv::stack::pop_frame_drop();
    *kind = c.kind == "-->" ? "-->" : "==>";
    return c.kind == "-->" ? escape_lines(g_printed) : molded;
  } catch (const kiv::LanguageError& e) {
    if (c.kind == "**>") {
      *kind = "**>";
      return trim(escape_lines(g_formed.empty() ? kiv::error::form_language_error(e) : g_formed));
    }
    *kind = "!!>";
    return error_text(e);
  } catch (const kiv::stack::NonLocalExit& t) {
    *kind = "!!>";
    return "throw " + std::to_string(t.code);
  }
}

struct Run {
  const char* path;
  int status = 0;
};

void* run_file(void* p) {
  auto* r = static_cast<Run*>(p);
  std::vector<Case> cases;
  if (!read_cases(r->path, &cases)) {
    std::fprintf(stderr, "%s: cannot read the cases\n", r->path);
    r->status = 2;
    return nullptr;
  }
  kiv::stack::set_uncaught_error_handler(nullptr);
  kiv::boot::start();
  kiv::dyn_print::add(capture_print, nullptr);
  int passed = 0, failed = 0;
  for (const Case& c : cases) {
    std::string kind;
    std::string actual = run_case(c, &kind);
    // Every case, raising or not, must leave the value stack as it found it.
    if (kiv::stack::top_index() != 0 || kiv::stack::frame_count() != 0) {
      kind = "stack";
      actual = "left " + std::to_string(kiv::stack::top_index()) + " cells and " +
               std::to_string(kiv::stack::frame_count()) + " frames";
      kiv::stack::unwind_to(0);
      kiv::stack::drop_cells(kiv::stack::top_index());
    }
    bool ok = kind == c.kind &&
              (actual == c.expected || (kind == "!!>" && actual.compare(0, c.expected.size() + 1, c.expected + " ") == 0));
    if (ok) {
      ++passed;
      continue;
    }
    ++failed;
    std::printf("%s:%d: FAILED\n  source:   %s\n  expected: %s %s\n  actual:   %s %s\n", r->path, c.line,
                escape_lines(c.source).c_str(), c.kind.c_str(), c.expected.c_str(), kind.c_str(), actual.c_str());
  }
  if (kiv::collector::torture_interval() > 0) {
    kiv::collector::HeapReport report = kiv::collector::verify_heap();
    if (!report.ok) {
      std::printf("heap verification failed: %s\n", report.problems.empty() ? "" : report.problems[0].c_str());
      ++failed;
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  r->status = failed ? 1 : 0;
  return nullptr;
}

}  // namespace

// A new empty directory made current for the run, removed at the end.
class TempDirScope {
 public:
  bool enter() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kiv-cases-XXXXXX";
    if (!mkdtemp(pattern.data())) return false;
    dir_ = pattern;
    return chdir(dir_.c_str()) == 0;
  }
  ~TempDirScope() {
    if (dir_.empty()) return;
    if (chdir("/") != 0) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string dir_;
};

int main(int argc, char** argv) {
  bool in_temp_dir = false;
  while (argc >= 3 && (std::string(argv[1]) == "--traced" || std::string(argv[1]) == "--in-temp-dir")) {
    if (std::string(argv[1]) == "--traced") g_traced = true;
    else in_temp_dir = true;
    ++argv;
    --argc;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: kiv-cases [--traced] [--in-temp-dir] FILE\n");
    return 2;
  }
  std::error_code ignored;
  std::string path = std::filesystem::absolute(argv[1], ignored).string();
  TempDirScope temp_dir;
  if (in_temp_dir && !temp_dir.enter()) {
    std::fprintf(stderr, "kiv-cases: cannot make a temporary directory\n");
    return 2;
  }
  Run r{path.c_str()};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{256} << 20);
  pthread_t thread;
  if (pthread_create(&thread, &attr, run_file, &r) != 0) return 2;
  pthread_join(thread, nullptr);
  return r.status;
}
