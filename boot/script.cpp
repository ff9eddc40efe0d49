#include "boot/script.h"

#include "boot/startup.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/host/os.h"
#include "runtime/eval/interpreter.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::boot {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool word_named(const Cell* v, std::string_view name) {
  return TYPE_OF(v) == TYPE_WORD && symbol::utf8_of(v->data2) == name;
}

// Evaluates the loaded block from the index in the cell (on the stack).
void evaluate_loaded(Cell* code) {
  Cell block = *code;
  interpreter::evaluate_block(&block, false);
}

// The value cell of a member of an object held in a member of system (or of
// system itself when object is null); null when one of them is missing.
Cell* system_member(const char* object, const char* member) {
  Cell* value = _context::value_of_symbol(symbol::intern("system"), _context::global());
  for (const char* name : {object, member}) {
    if (!name) continue;
    if (!value || TYPE_OF(value) != TYPE_OBJECT) return nullptr;
    uint32_t ctx = value->data1;
    int32_t i = _context::find_symbol(ctx, symbol::intern(name));
    if (i < 0) return nullptr;
    value = _context::value_at(ctx, static_cast<uint32_t>(i));
  }
  return value;
}

// Pushes a new string! of the UTF-8 text.
Cell* push_text(const std::string& text, uint32_t type = TYPE_STRING) {
  Cell* cell = string::load_encoded_push(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                         string::kEncodingUtf8);
  cell->header = (cell->header & ~0xFFu) | type;
  return cell;
}

void set_member(const char* object, const char* member, const Cell* value) {
  Cell copy = *value;
  if (Cell* slot = system_member(object, member)) *slot = copy;
}

}  // namespace

void set_script_args(const std::string& program, const std::string& script,
                     const std::vector<std::string>& args) {
  stack::TopGuard guard;
  set_member("script", "args", push_text(os::join_command_line(args)));
  Cell* list = block::push_only_star(static_cast<int32_t>(args.size()));
  for (const std::string& a : args) {
    Cell* s = push_text(a);
    Cell copy = *s;
    Cell held = *list;
    *series_new_tail_cell(held.data2) = copy;
    stack::drop_cells(1);
  }
  set_member("options", "args", list);
  Cell none{TYPE_NONE, 0, 0, 0};
  set_member("options", "script", script.empty() ? &none : push_text(script, TYPE_FILE));
  set_member("options", "boot", push_text(program));
}

size_t find_header(std::string_view text) {
  for (size_t at = text.find("Kiv"); at != std::string_view::npos; at = text.find("Kiv", at + 1)) {
    size_t p = at + 3;
    if (text.compare(p, 7, "/System") == 0) p += 7;
    while (p < text.size() && blank(text[p])) ++p;
    if (p < text.size() && text[p] == '[') return at;
  }
  return std::string_view::npos;
}

void run_eval(std::string_view text) {
  stack::FrameGuard guard;
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  load_text(text, code);
  evaluate_loaded(code);
  stack::pop_frame_drop();
}

void run_script(std::string_view text, const std::string& file_name) {
  if (text.size() >= 3 && static_cast<uint8_t>(text[0]) == 0xEF && static_cast<uint8_t>(text[1]) == 0xBB &&
      static_cast<uint8_t>(text[2]) == 0xBF)
    text.remove_prefix(3);
  size_t at = find_header(text);
  if (at == std::string_view::npos) fire(ErrorCategory::kSyntax, "no-header", file_name);
  stack::FrameGuard guard;
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  load_text(text.substr(at), code);
  uint32_t node = code->data2;
  uint32_t length = series_length(node);
  if (length > 0) {
    Cell first = series_head_cell(node)[0];
    if (TYPE_OF(&first) == TYPE_PATH && series_length(first.data2) >= 2) {
      Cell a = series_head_cell(first.data2)[0];
      Cell b = series_head_cell(first.data2)[1];
      if (word_named(&a, "Kiv") && word_named(&b, "System")) fire(ErrorCategory::kInternal, "kiv-system");
    }
    if (length > 1 && word_named(&first, "Kiv") && TYPE_OF(series_head_cell(node) + 1) == TYPE_BLOCK)
      code->data1 = 2;
  }
  evaluate_loaded(code);
  stack::pop_frame_drop();
}

}  // namespace kiv::boot
