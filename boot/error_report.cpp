#include "boot/error_report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::boot {
namespace {

struct Template {
  const char* category;
  const char* id;
  const char* text;
};

const Template kTemplates[] = {
#include "boot/error_messages.inc"
};

constexpr int32_t kNearLimit = 40;

bool g_installed = false;

// The first n characters of UTF-8 text.
std::string utf8_prefix(const std::string& s, size_t n, bool* cut) {
  size_t chars = 0, i = 0;
  while (i < s.size() && chars < n) {
    i += static_cast<size_t>(utf8_lead_length(static_cast<uint8_t>(s[i])) > 0 ? utf8_lead_length(static_cast<uint8_t>(s[i])) : 1);
    ++chars;
  }
  *cut = i < s.size();
  return s.substr(0, i < s.size() ? i : s.size());
}

const char* find_template(const LanguageError& error) {
  const char* category = error_category_name(error.category);
  for (const Template& t : kTemplates)
    if (error.id == t.id && std::strcmp(category, t.category) == 0) return t.text;
  return nullptr;
}

}  // namespace

const char* category_title(ErrorCategory category) {
  static const char* const titles[] = {"Throw Error", "note",         "Syntax Error",    "Script Error",
                                       "Math Error",  "Access Error", "Reserved1 Error", "Reserved2 Error",
                                       "User Error",  "Internal Error"};
  auto i = static_cast<unsigned>(category);
  return i < 10 ? titles[i] : "Internal Error";
}

// While a report is being made, an error raised by molding comes back here
// as a C++ exception instead of reaching the uncaught-error handler again.
class QuietErrors {
 public:
  QuietErrors() { stack::set_uncaught_error_handler(nullptr); }
  ~QuietErrors() { stack::set_uncaught_error_handler(g_installed ? report_uncaught : nullptr); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;
};

std::string mold_text(const Cell& value, int32_t limit) {
  QuietErrors quiet;
  uint32_t top = stack::top_index();
  uint32_t frames = stack::frame_count();
  try {
    Cell* v = stack::push_copy(&value);
    v->header &= ~kFlagNewLine;
    Cell* out = stack::push_new_cell();
    string::init_cell(out, 16);
    dispatch_mold(v, out, false, false, false, nullptr, kNoPartLimit, 0);
    int32_t length = -1;
    const char* text = to_utf8_cstring(out, &length);
    std::string s(text, static_cast<size_t>(length));
    stack::drop_cells(stack::top_index() - top);
    if (limit > 0) {
      bool cut = false;
      std::string prefix = utf8_prefix(s, static_cast<size_t>(limit), &cut);
      if (cut) s = prefix + "...";
    }
    return s;
  } catch (const LanguageError&) {
    stack::unwind_to(frames);
    if (stack::top_index() > top) stack::drop_cells(stack::top_index() - top);
    const char* name = interpreter::type_name(TYPE_OF(&value));
    return name ? std::string("?") + name + "?" : "?value?";
  }
}

std::string argument_text(const ErrorArgument& argument) {
  switch (argument.kind) {
    case ErrorArgument::Kind::kText:
      return argument.text;
    case ErrorArgument::Kind::kValue:
      return mold_text(*argument.value.get(), 0);
    default:
      return "none";
  }
}

std::string error_message(const LanguageError& error) {
  const char* tpl = find_template(error);
  if (!tpl) {
    std::string s = error.id;
    for (const ErrorArgument& a : error.args)
      if (a.present()) s += " " + argument_text(a);
    return s;
  }
  std::string s;
  for (const char* p = tpl; *p; ++p) {
    if (p[0] == '{' && p[1] >= '1' && p[1] <= '3' && p[2] == '}') {
      s += argument_text(error.args[static_cast<size_t>(p[1] - '1')]);
      p += 2;
      continue;
    }
    s.push_back(*p);
  }
  return s;
}

std::string form_uncaught(const LanguageError& error) {
  // A mold or form that the error interrupted left its entries behind.
  support::cycle_stack::reset();
  std::string where = "???";
  uint32_t body = words::symbol_of(words::WORD_BODY);
  uint32_t anon = words::symbol_of(words::WORD_ANON);
  for (uint32_t i = stack::error_frame_top(); i-- > 0;) {
    const stack::CallFrame* f = stack::frame_at(i);
    if (f->symbol == 0 || f->symbol == body || f->symbol == anon) continue;
    where = std::string(symbol::utf8_of(f->symbol));
    break;
  }
  std::string report = std::string("*** ") + category_title(error.category) + ": " + error_message(error);
  report += "\n*** Where: " + where;
  Cell near;
  if (interpreter::current_code(&near)) report += "\n*** Near : " + mold_text(near, kNearLimit);
  return report;
}

void install_report_handler() {
  g_installed = true;
  stack::set_uncaught_error_handler(report_uncaught);
}

void report_uncaught(const LanguageError& error) {
  std::string text = form_uncaught(error);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::_Exit(254);
}

}  // namespace kiv::boot
