#include "runtime/eval/natives_further.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/datatypes/string_case.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/lexer.h"
#include "runtime/eval/trace.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/natives_value.h"
#include "runtime/host/files.h"
#include "runtime/host/process.h"
#include "runtime/ownership.h"
#include "runtime/platform.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

extern char** environ;

namespace kiv::natives {
namespace {

EventPass g_event_pass = nullptr;

inline Cell* arg(int32_t n) { return stack::arguments() + n; }
inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
Cell logic_cell(bool v) { return Cell{TYPE_LOGIC, v ? 1u : 0u, 0, 0}; }
Cell integer_cell(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

void result(const Cell& v) {
  Cell c = v;
  stack::set_only_result(&c);
}

bool any_block_q(uint32_t t) { return any_block_type_q(t) && t != TYPE_HASH; }

bool any_string_q(uint32_t t) { return any_string_type_q(t); }

// The refinement's word for error reports (/part, /skip ...).
Cell refinement_word(const char* text) {
  Cell w = word::load(text, TYPE_REFINEMENT);
  return w;
}

// The text of a name argument: a word's spelling or a string's UTF-8.
std::string name_text(Cell* name) {
  if (word::any_word_q(TYPE_OF(name))) return std::string(symbol::utf8_of(name->data2));
  int32_t length = -1;
  const char* text = to_utf8_cstring(name, &length);
  return std::string(text, static_cast<size_t>(length));
}

// A new string! holding UTF-8 text, pushed.
Cell* push_text(const std::string& text) {
  Cell* s = stack::push_new_cell();
  string::init_cell(s, static_cast<int32_t>(text.size()));
  string::append_utf8(s, text);
  return s;
}

// The end of a /part limit for a series value: a count from its index, or a
// position in its own series; answers the index one past the last unit.
int32_t part_end(Cell* series, const Cell* limit, int32_t length_from_head) {
  int32_t head = static_cast<int32_t>(series->data1);
  int32_t end = head + length_from_head;
  if (TYPE_OF(limit) == TYPE_INTEGER) {
    int32_t n = static_cast<int32_t>(limit->data2);
    if (n < 0) n = 0;
    return head + n < end ? head + n : end;
  }
  if (TYPE_OF(limit) == TYPE_OF(series) && limit->data2 == series->data2) {
    int32_t at = static_cast<int32_t>(limit->data1);
    if (at < head) at = head;
    return at < end ? at : end;
  }
  Cell name = refinement_word("part");
  Cell l = *limit;
  fire(ErrorCategory::kScript, "invalid-refine-arg", name, l);
}

// uppercase and lowercase.
void change_case(const int32_t* refs, bool upper) {
  Cell* value = arg(0);
  if (TYPE_OF(value) == TYPE_CHAR) {
    value->data2 = static_cast<uint32_t>(case_map_char(static_cast<int32_t>(value->data2), upper));
    stack::keep_first();
    return;
  }
  int32_t length = string::length(value);
  int32_t end = static_cast<int32_t>(value->data1) + length;
  if (refined(refs, 0)) end = part_end(value, arg(refs[0]), length);
  uint32_t node = string::node_of(value);
  int32_t head = static_cast<int32_t>(value->data1);
  for (int32_t i = head; i < end; ++i) {
    uint32_t c = string::char_at_index(value, i);
    uint32_t mapped = static_cast<uint32_t>(case_map_char(static_cast<int32_t>(c), upper));
    if (mapped != c) string::put_char(node, i, mapped);
  }
  ownership::check(value, upper ? words::WORD_UPPERCASE : words::WORD_LOWERCASE, head, end - head);
  stack::keep_first();
}

// A number argument as a double (integer! or float!).
double number_of(const Cell* v) {
  return TYPE_OF(v) == TYPE_INTEGER ? static_cast<double>(static_cast<int32_t>(v->data2)) : cell_float(v);
}

[[noreturn]] void not_yet() { fire(ErrorCategory::kInternal, "not-done"); }

}  // namespace

void set_wait_event_pass(EventPass pass) { g_event_pass = pass; }

// value?: whether a word has a value; any other value but unset is one.
void value_q(int32_t, const int32_t*) {
  Cell* v = arg(0);
  uint32_t t = TYPE_OF(v);
  bool set = t != TYPE_UNSET;
  if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
    set = false;
    uint32_t ctx = v->data1;
    if (ctx && v->data3 != kUnresolved && _context::has_values_q(ctx)) {
      Cell* slot = _context::value_at(ctx, v->data3);
      set = slot && TYPE_OF(slot) != TYPE_UNSET && TYPE_OF(slot) != 0;
    } else if (ctx && v->data3 == kUnresolved) {
      // The self word of an object spec names the object.
      set = symbol::canonical(v->data2) == symbol::canonical(words::symbol_of(words::SYM_SELF));
    }
  }
  result(logic_cell(set));
}

void uppercase(int32_t, const int32_t* refs) { change_case(refs, true); }
void lowercase(int32_t, const int32_t* refs) { change_case(refs, false); }

// as-pair: each coordinate an integer, a float truncated toward zero (one
// that is not finite raises invalid-arg, one beyond 32 bits math overflow).
void as_pair(int32_t, const int32_t*) {
  int32_t c[2];
  for (int i = 0; i < 2; ++i) {
    Cell* v = arg(i);
    if (TYPE_OF(v) == TYPE_INTEGER) {
      c[i] = static_cast<int32_t>(v->data2);
      continue;
    }
    if (!std::isfinite(cell_float(v))) fire(ErrorCategory::kScript, "invalid-arg", *v);
    if (!float_::truncate_checked(cell_float(v), &c[i])) fire(ErrorCategory::kMath, "overflow");
  }
  pair::make_in(arg(0), c[0], c[1]);
}
// as-point2D, as-point3D: each coordinate as a 32-bit float.
void as_point2d(int32_t, const int32_t*) { point2D::make_in(arg(0), number_of(arg(0)), number_of(arg(1))); }
void as_point3d(int32_t, const int32_t*) {
  point3D::make_in(arg(0), number_of(arg(0)), number_of(arg(1)), number_of(arg(2)));
}
// as-money: a currency word and an amount.
void as_money(int32_t, const int32_t*) {
  int32_t index = money::currency_index(arg(0));
  if (index < 0) fire(ErrorCategory::kScript, "bad-denom", *arg(0));
  Cell m;
  if (TYPE_OF(arg(1)) == TYPE_INTEGER) money::from_integer(&m, integer::get(arg(1)));
  else money::from_float(&m, cell_float(arg(1)));
  result(*money::make_in(&m, money::negative_q(&m), static_cast<uint32_t>(index), money::amount_of(&m)));
}

// extend: obj [map! object!] spec /case. A map takes the spec's pairs; an
// object is not extended (internal not-done).
void extend(int32_t, const int32_t* refs) {
  if (TYPE_OF(arg(0)) != TYPE_MAP) not_yet();
  Cell* spec = arg(1);
  uint32_t st = TYPE_OF(spec);
  if (st != TYPE_BLOCK && st != TYPE_PAREN && st != TYPE_HASH) fire(ErrorCategory::kScript, "invalid-arg", *spec);
  map::extend(arg(0), spec, refined(refs, 0));
  stack::keep_first();
}

// to-local-file: path [file! string!] /full.
void to_local_file(int32_t, const int32_t* refs) {
  Cell* out = stack::push_new_cell();
  string::init_cell(out, string::length(arg(0)) + 1);
  file::to_local_text(arg(0), out, refined(refs, 0));
  result(*out);
}

// wait: duration in seconds (integer! or float!) or a time!.
void wait(int32_t, const int32_t*) {
  Cell* d = arg(0);
  double seconds;
  switch (TYPE_OF(d)) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_TIME:
      seconds = number_of(d);
      break;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *d);
  }
  if (!(seconds >= 0.0)) seconds = 0.0;
  platform::sleep(seconds);
  if (g_event_pass) g_event_pass();
  result(none_cell());
}

// unset: a word, or every word! of a block.
void unset(int32_t, const int32_t*) {
  Cell* target = arg(0);
  Cell nothing{TYPE_UNSET, 0, 0, 0};
  if (TYPE_OF(target) == TYPE_WORD) {
    if (target->data1) _context::set_word(target, &nothing);
  } else {
    uint32_t node = target->data2;
    for (uint32_t i = target->data1; i < series_length(node); ++i) {
      Cell w = series_head_cell(node)[i];
      if (TYPE_OF(&w) == TYPE_WORD && w.data1) _context::set_word(&w, &nothing);
    }
  }
  result(nothing);
}

// new-line: position [any-block!] value [logic!] /all /skip size.
void new_line(int32_t, const int32_t* refs) {
  Cell* position = arg(0);
  bool on = arg(1)->data1 != 0;
  int32_t step = 0;
  if (refined(refs, 0)) step = 1;
  if (refined(refs, 1)) {
    Cell* size = arg(refs[1]);
    int32_t n = static_cast<int32_t>(size->data2);
    if (n <= 0) fire(ErrorCategory::kScript, "out-of-range", *size);
    step = n;
  }
  uint32_t node = position->data2;
  uint32_t tail = series_length(node);
  if (step == 0) {
    if (position->data1 < tail) {
      HeldPtr<Cell> c = series_head_cell(node) + position->data1;
      if (on) c->header |= kFlagNewLine;
      else c->header &= ~kFlagNewLine;
    }
  } else {
    uint32_t counter = 0;
    for (uint32_t i = position->data1; i < tail; ++i, ++counter) {
      bool mark = (counter % static_cast<uint32_t>(step) == 0) ? on : !on;
      HeldPtr<Cell> c = series_head_cell(node) + i;
      if (mark) c->header |= kFlagNewLine;
      else c->header &= ~kFlagNewLine;
    }
  }
  stack::keep_first();
}

void new_line_q(int32_t, const int32_t*) {
  Cell* position = arg(0);
  uint32_t node = position->data2;
  bool marked = position->data1 < series_length(node) &&
                (series_head_cell(node)[position->data1].header & kFlagNewLine) != 0;
  result(logic_cell(marked));
}

// context?: the value owning the word's context: the object or function, or
// for the global context an object! standing for it.
void context_q(int32_t, const int32_t*) {
  Cell* w = arg(0);
  uint32_t ctx = w->data1;
  if (!ctx) return result(none_cell());
  Cell* self = _context::self_cell(ctx);
  if (ctx == _context::global() && TYPE_OF(self) != TYPE_OBJECT) *self = Cell{TYPE_OBJECT, ctx, 0, 0};
  uint32_t t = TYPE_OF(self);
  if (!object::any_object_q(t) && t != TYPE_FUNCTION && t != TYPE_ROUTINE) return result(none_cell());
  result(*self);
}

// set-env: name [any-string! any-word!] value [string! none!].
void set_env(int32_t, const int32_t*) {
  std::string name = name_text(arg(0));
  bool ok;
  if (TYPE_OF(arg(1)) == TYPE_NONE) {
    ok = platform::set_env(name.c_str(), nullptr);
  } else {
    std::string value = name_text(arg(1));
    ok = platform::set_env(name.c_str(), value.c_str());
  }
  if (!ok) fire(ErrorCategory::kScript, "invalid-arg", *arg(0));
  stack::set_only_result(arg(1));
}

void get_env(int32_t, const int32_t*) {
  std::string name = name_text(arg(0));
  std::optional<std::string> value = platform::get_env(name.c_str());
  if (!value) return result(none_cell());
  Cell* s = push_text(*value);
  result(*s);
}

// list-env: a map! of every variable's name and value.
void list_env(int32_t, const int32_t*) {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    vars.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  Cell* spec = stack::push_new_cell();
  block::init_cell(spec, static_cast<int32_t>(2 * vars.size()));
  for (const auto& [name, value] : vars) {
    Cell* n = push_text(name);
    block::append_cell(spec, n);
    Cell* v = push_text(value);
    block::append_cell(spec, v);
    stack::drop_cells(2);
  }
  Cell* type = stack::push_new_cell();
  *type = datatype_cell(TYPE_MAP);
  Cell* made = dispatch_make(type, spec);
  result(*made);
}

// now: the current date and time in the local zone (UTC with /utc), or one
// of its fields.
void now(int32_t, const int32_t* refs) {
  int fields = 0;
  for (int i = 0; i < 9; ++i) fields += refined(refs, i) ? 1 : 0;
  bool time_precise = refined(refs, 3) && refined(refs, 8);
  if (fields > 1 && !(fields == 2 && time_precise)) fire(ErrorCategory::kScript, "bad-refines");
  Cell d;
  date::now(&d, refined(refs, 9), refined(refs, 8));
  static const int32_t kFields[] = {date::kFieldYear, date::kFieldMonth, date::kFieldDay,
                                    date::kFieldTime, date::kFieldZone,  date::kFieldDate,
                                    date::kFieldWeekday, date::kFieldYearday};
  for (int i = 0; i < 8; ++i) {
    if (!refined(refs, i)) continue;
    Cell out;
    date::get_field(&d, kFields[i], &out);
    return result(out);
  }
  result(d);
}

// as: type (datatype! or an example value), value.
void as(int32_t, const int32_t*) {
  uint32_t target = TYPE_OF(arg(0)) == TYPE_DATATYPE ? arg(0)->data1 : TYPE_OF(arg(0));
  uint32_t source = TYPE_OF(arg(1));
  bool blocks = any_block_q(target) && any_block_q(source);
  bool strings = any_string_q(target) && any_string_q(source);
  if (!blocks && !strings) fire(ErrorCategory::kScript, "not-same-class", datatype_cell(source), datatype_cell(target));
  Cell v = *arg(1);
  set_type(&v, target);
  clear_new_line(&v);
  result(v);
}

// call: command [string! file!] /wait /show /console /shell /input in
// /output out /error err. in, out and err are string!, file! or binary!;
// what a command writes is appended to a string (line ends made LF) or
// inserted at a binary's position; a file receives it at its end.
namespace {

os::Redirect redirect_of(const Cell* target) {
  os::Redirect r;
  switch (TYPE_OF(target)) {
    case TYPE_STRING:
    case TYPE_BINARY: {
      r.kind = os::Redirect::Kind::kData;
      Cell v = *target;
      std::vector<uint8_t> bytes = TYPE_OF(target) == TYPE_STRING ? binary::string_utf8(&v) : binary::bytes_of(&v);
      r.data.assign(bytes.begin(), bytes.end());
      break;
    }
    case TYPE_FILE:
      r.kind = os::Redirect::Kind::kFile;
      r.path = file::to_os_path(target);
      break;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *target);
  }
  return r;
}

void take_output(int32_t position, std::string& data) {
  Cell* target = arg(position);
  if (TYPE_OF(target) == TYPE_BINARY) {
    binary::insert_bytes(target, 0, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return;
  }
  if (TYPE_OF(target) != TYPE_STRING) return;
  std::vector<uint8_t> bytes(data.begin(), data.end());
  simple_io::normalise_line_ends(bytes);
  string::append_utf8(target, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

void call(int32_t, const int32_t* refs) {
  if (string::length(arg(0)) == 0) return result(integer_cell(0));
  os::ProcessRequest request;
  request.command = url::utf8_text(arg(0));
  if (TYPE_OF(arg(0)) == TYPE_FILE) {
    // A file names one program, blanks and quotes included.
    std::string quoted = "\"";
    for (char c : request.command) {
      if (c == '"' || c == '\\') quoted.push_back('\\');
      quoted.push_back(c);
    }
    request.command = quoted + "\"";
  }
  request.wait = refined(refs, 0);
  request.shell = refined(refs, 3);
  if (refined(refs, 2)) {
    request.input.kind = request.output.kind = request.error.kind = os::Redirect::Kind::kConsole;
  }
  if (refined(refs, 4)) {
    request.input = redirect_of(arg(refs[4]));
    if (request.input.kind == os::Redirect::Kind::kData && TYPE_OF(arg(refs[4])) == TYPE_STRING) {
      std::vector<uint8_t> bytes(request.input.data.begin(), request.input.data.end());
      simple_io::normalise_line_ends(bytes);
      request.input.data.assign(bytes.begin(), bytes.end());
    }
  }
  if (refined(refs, 5)) request.output = redirect_of(arg(refs[5]));
  if (refined(refs, 6)) request.error = redirect_of(arg(refs[6]));
  int64_t status = os::run_process(request);
  if (refined(refs, 5) && request.output.kind == os::Redirect::Kind::kData) take_output(refs[5], request.output.data);
  if (refined(refs, 6) && request.error.kind == os::Redirect::Kind::kData) take_output(refs[6], request.error.data);
  result(integer_cell(static_cast<int32_t>(status)));
}

// browse: the desktop's opener (xdg-open) is started on the url or file and
// not waited for.
void browse(int32_t, const int32_t*) {
  std::string target = url::utf8_text(arg(0));
  if (!os::spawn_detached({"xdg-open", target})) fire(ErrorCategory::kAccess, "cannot-open", *arg(0));
  result(Cell{TYPE_UNSET, 0, 0, 0});
}

// recycle: /on /off.
void recycle(int32_t, const int32_t* refs) {
  if (refined(refs, 0) || refined(refs, 1)) {
    if (refined(refs, 0)) collector::set_enabled(true);
    if (refined(refs, 1)) collector::set_enabled(false);
    return result(Cell{TYPE_UNSET, 0, 0, 0});
  }
  collector::collect();
  double bytes = memory_in_use();
  if (bytes <= 2147483647.0) return result(integer_cell(static_cast<int32_t>(bytes)));
  Cell f{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&f, bytes);
  result(f);
}

namespace {

// transcode/trace: each lexer event the callback's spec asks for (a leading
// block of event words, else all six) becomes a call of the callback with
// [event input type line token]. input is the source at the event's position
// (characters for a string!, bytes for a binary!); a callback that moves it
// (input: next input) makes lexing resume there. type is a datatype!, none!,
// or for a structural token the word system/lexer/exit-states names; token
// is the value just loaded for `load`, else the token's start and end as a
// pair! of 1-based positions.
class CallbackTracer : public lexer::Tracer {
 public:
  CallbackTracer(const Cell* callback, const Cell* source)
      : Tracer(mask_of(callback)), callback_(*callback), source_(*source) {
    Cell system = word::load("system");
    Cell* sys = _context::get_word(&system);
    if (TYPE_OF(sys) == TYPE_OBJECT) {
      Cell lexer_word = word::load("lexer");
      Cell states_word = word::load("exit-states");
      int32_t i = _context::find_symbol(sys->data1, lexer_word.data2, true);
      Cell* lx = i < 0 ? nullptr : _context::value_at(sys->data1, static_cast<uint32_t>(i));
      if (lx && TYPE_OF(lx) == TYPE_OBJECT) {
        int32_t j = _context::find_symbol(lx->data1, states_word.data2, true);
        Cell* st = j < 0 ? nullptr : _context::value_at(lx->data1, static_cast<uint32_t>(j));
        if (st && TYPE_OF(st) == TYPE_BLOCK) *states_ = *st;
      }
    }
  }

  bool on_event(lexer::TraceEvent& e) override {
    const uint8_t* input = e.input;
    Cell value = e.value ? *e.value : none_cell();
    uint32_t at = index_of(input, e.position);
    Cell args[5];
    args[0] = word::load(event_name(e.event));
    args[1] = *source_;
    args[1].data1 = at;
    args[2] = type_value(e.type);
    args[3] = integer_cell(static_cast<int32_t>(e.line));
    if (e.event == lexer::kEventLoad) {
      args[4] = value;
    } else {
      args[4] = Cell{};
      pair::make_in(&args[4], static_cast<int32_t>(index_of(input, e.token_start)) + 1,
                    static_cast<int32_t>(index_of(input, e.token_end)) + 1);
    }
    for (Cell& a : args) a.header &= ~kFlagNewLine;
    Cell* answer = stack::push_new_cell();
    Cell name = word::load("<lexer-callback>");
    interpreter::call_function_reading_back(callback_.get(), args, 5, &name, trace::CB_LEXER, answer);
    bool go = TYPE_OF(answer) != TYPE_NONE && !(TYPE_OF(answer) == TYPE_LOGIC && answer->data1 == 0);
    stack::drop_cells(1);
    // A moved input: lexing resumes at the byte of that position.
    const Cell& moved = args[1];
    if (TYPE_OF(&moved) == TYPE_OF(source_.get()) && moved.data2 == source_->data2 && moved.data1 != at) {
      uint32_t head = source_->data1;
      uint32_t to = moved.data1 < head ? head : moved.data1;
      e.resume = byte_of(input, e.position, at, to);
    }
    return go;
  }

 private:
  // The event words of a block leading the callback's spec, or else its
  // body (the library's trapper keeps its [error] there); no block: all.
  static uint32_t mask_of(const Cell* callback) {
    if (TYPE_OF(callback) != TYPE_FUNCTION) return lexer::kAllEvents;
    Cell first{};
    uint32_t spec = function::spec_node(callback);
    if (series_length(spec) > 0) first = series_head_cell(spec)[0];
    if (TYPE_OF(&first) != TYPE_BLOCK) {
      Cell body = *function::aux_cell(callback, function::kAuxBody);
      if (TYPE_OF(&body) == TYPE_BLOCK && body.data1 < series_length(body.data2))
        first = series_head_cell(body.data2)[body.data1];
    }
    if (TYPE_OF(&first) != TYPE_BLOCK) return lexer::kAllEvents;
    uint32_t mask = 0;
    for (uint32_t i = first.data1; i < series_length(first.data2); ++i) {
      Cell w = series_head_cell(first.data2)[i];
      if (TYPE_OF(&w) != TYPE_WORD) continue;
      for (uint32_t bit = 1; bit <= lexer::kEventError; bit <<= 1) {
        Cell name = word::load(event_name(bit));
        if (symbol::canonical(name.data2) == symbol::canonical(w.data2)) mask |= bit;
      }
    }
    return mask;
  }

  static const char* event_name(uint32_t event) {
    switch (event) {
      case lexer::kEventPrescan: return "prescan";
      case lexer::kEventScan: return "scan";
      case lexer::kEventLoad: return "load";
      case lexer::kEventOpen: return "open";
      case lexer::kEventClose: return "close";
      default: return "error";
    }
  }

  Cell type_value(int32_t type) {
    if (type > 0) return datatype_cell(static_cast<uint32_t>(type));
    if (type == 0 || TYPE_OF(states_.get()) != TYPE_BLOCK) return none_cell();
    uint32_t i = states_->data1 + static_cast<uint32_t>(-type - 1);
    if (i >= series_length(states_->data2)) return none_cell();
    Cell v = series_head_cell(states_->data2)[i];
    v.header &= ~kFlagNewLine;
    return v;
  }

  // The series index of a byte offset of the input. Offsets mostly grow, so
  // the count goes on from the last one asked.
  uint32_t index_of(const uint8_t* input, size_t offset) {
    if (TYPE_OF(source_.get()) == TYPE_BINARY) return source_->data1 + static_cast<uint32_t>(offset);
    if (offset < last_byte_) last_byte_ = last_char_ = 0;
    last_char_ += utf8_count_chars(input + last_byte_, input + offset);
    last_byte_ = offset;
    return source_->data1 + static_cast<uint32_t>(last_char_);
  }

  // The byte offset of series index to, knowing that index at lies at byte
  // offset from.
  size_t byte_of(const uint8_t* input, size_t from, uint32_t at, uint32_t to) {
    if (TYPE_OF(source_.get()) == TYPE_BINARY) return to - source_->data1;
    size_t b = from;
    uint32_t c = at;
    if (to < at) {
      b = 0;
      c = source_->data1;
    }
    while (c < to) {
      uint8_t lead = input[b];
      b += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      ++c;
    }
    return b;
  }

  RootedCell callback_;
  RootedCell source_;
  RootedCell states_;
  size_t last_byte_ = 0;
  size_t last_char_ = 0;
};

}  // namespace

// transcode: source [string! binary!] /next /one /prescan /scan /part length
// /into out /trace callback.
void transcode(int32_t, const int32_t* refs) {
  bool next = refined(refs, 0), one = refined(refs, 1), prescan = refined(refs, 2), scan = refined(refs, 3);
  Cell* source = arg(0);
  bool binary = TYPE_OF(source) == TYPE_BINARY;
  uint32_t tail = series_length(source->data2);
  if (source->data1 > tail) source->data1 = tail;
  if (binary && tail - source->data1 >= 3) {
    const uint8_t* p = node_buffer(source->data2)->head_ptr() + source->data1;
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) source->data1 += 3;
  }
  int32_t available = static_cast<int32_t>(tail - source->data1);
  int32_t length = -1;
  if (refined(refs, 4)) {
    Cell* limit = arg(refs[4]);
    if (TYPE_OF(limit) == TYPE_INTEGER) {
      length = static_cast<int32_t>(limit->data2);
      if (length < 0) length = 0;
    } else if (TYPE_OF(limit) == TYPE_OF(source) && limit->data2 == source->data2) {
      uint32_t end = limit->data1 > tail ? tail : limit->data1;
      length = end > source->data1 ? static_cast<int32_t>(end - source->data1) : 0;
    } else {
      fire(ErrorCategory::kScript, "not-same-type");
    }
    if (length > available) length = available;
  }
  lexer::LexRequest request;
  if (prescan || scan) request.mode = prescan ? lexer::Mode::kPrescan : lexer::Mode::kScan;
  request.one = next || one;
  if (refined(refs, 5) && !prescan && !scan) request.into = arg(refs[5])->data2;
  std::optional<CallbackTracer> tracer;
  if (refined(refs, 6)) {
    Cell* callback = arg(refs[6]);
    if (TYPE_OF(callback) != TYPE_FUNCTION && TYPE_OF(callback) != TYPE_ROUTINE)
      fire(ErrorCategory::kScript, "invalid-arg", *callback);
    tracer.emplace(callback, source);
    request.tracer = &*tracer;
  }
  lexer::LexResult r = binary ? lexer::transcode_binary(source, length, request)
                              : lexer::transcode_string(source, length, request);
  if (prescan || scan) {
    if (r.type == 0) return result(none_cell());
    return result(datatype_cell(r.type));
  }
  Cell* loaded = stack::push_new_cell();
  *loaded = Cell{TYPE_BLOCK, 0, r.block, 0};
  if (refined(refs, 5)) {
    return result(*arg(refs[5]));
  }
  if (one || next) {
    Cell value = series_length(r.block) > 0 ? series_head_cell(r.block)[0] : none_cell();
    clear_new_line(&value);
    if (!next) return result(value);
    Cell* pair = stack::push_new_cell();
    block::init_cell(pair, 2);
    block::append_cell(pair, &value);
    Cell rest = *source;
    rest.data1 += static_cast<uint32_t>(r.consumed);
    clear_new_line(&rest);
    block::append_cell(pair, &rest);
    return result(*pair);
  }
  result(*loaded);
}

}  // namespace kiv::natives
