// The library's routines: C++ entries that the library's Kiv sources bind to
// words with `NAME: routine* [spec] 'ENTRY` (library/routines.kiv,
// library/type-tests.kiv, the members of system/state). Each entry reads
// its arguments at the frame's base, one cell per argument word of its spec,
// after the interpreter has checked them against the spec's types, and
// leaves its result in the base cell.
#include "library/routines.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/argument_list.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/natives_core.h"
#include "runtime/eval/natives_sets.h"
#include "runtime/eval/trace.h"
#include "runtime/host/console.h"
#include "runtime/host/files.h"
#include "runtime/host/os.h"
#include "runtime/platform.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::library {
namespace {

Cell* arg(int n) { return stack::arguments() + n; }

void set_logic(bool b) { *arg(0) = Cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0}; }
void set_integer(int64_t v) { *arg(0) = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(v)), 0}; }

// A file! made from an OS path (UTF-8), rooted in the base cell.
void set_file(std::string_view path) {
  Cell* out = arg(0);
  string::init_cell(out, static_cast<int32_t>(path.size() + 1));
  out->header = TYPE_FILE;
  string::append_utf8(out, path);
}

// ---------------------------------------------------------------------------
// Process, words and slots.

// quit-return status: ends the process at once with the status (the system
// keeps its low 8 bits); buffered output is written first, nothing else runs.
void quit_return() {
  int32_t status = static_cast<int32_t>(arg(0)->data2);
  std::fflush(nullptr);
  std::_Exit(status & 0xFF);
}

void set_quiet() {
  Cell w = *arg(0);
  uint32_t t = TYPE_OF(&w);
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
    Cell name = word::load("set-quiet");
    fire(ErrorCategory::kScript, "expect-arg", name, datatype_cell(t), word::load("word"));
  }
  Cell value = *arg(1);
  if (w.data1 == 0) fire(ErrorCategory::kScript, "not-defined", w);
  _context::set_in(&w, &value, w.data1, false);
  *arg(0) = value;
}

void set_slot_quiet() {
  Cell s = *arg(0);
  uint32_t t = TYPE_OF(&s);
  bool list = t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH ||
              t == TYPE_GET_PATH;
  if (!list) {
    Cell name = word::load("set-slot-quiet");
    fire(ErrorCategory::kScript, "expect-arg", name, datatype_cell(t), word::load("series"));
  }
  if (s.data1 < series_length(s.data2)) series_head_cell(s.data2)[s.data1] = *arg(1);
  *arg(0) = *arg(1);
}

// The shift native's worker with refinements (left, logical) as the native
// receives them: -1 absent.
void shift_with(int32_t left, int32_t logical) {
  int32_t refs[2] = {left, logical};
  natives::shift(0, refs);
}
void shift_right() { shift_with(-1, -1); }
void shift_left() { shift_with(0, -1); }
void shift_logical() { shift_with(-1, 0); }

void last_lf_q() { set_logic(natives::last_line_feed()); }

// ---------------------------------------------------------------------------
// Directories and files.

void get_current_dir() {
  std::string dir = file::get_current_dir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  set_file(dir);
}

void set_current_dir() {
  Cell path = *arg(0);
  std::string os = file::to_os_path(&path);
  if (!platform::set_current_dir(os.c_str())) fire(ErrorCategory::kAccess, "cannot-open", path);
  *arg(0) = path;
}

void create_dir() {
  Cell path = *arg(0);
  std::string os = file::to_os_path(&path);
  while (os.size() > 1 && os.back() == '/') os.pop_back();
  if (!simple_io::make_dir(os)) fire(ErrorCategory::kAccess, "no-create", path);
  *arg(0) = path;
}

void exists_q() {
  Cell path = *arg(0);
  std::string os = file::to_os_path(&path);
  set_logic(!os.empty() && simple_io::file_exists_q(os));
}

void os_info() {
  os::Info info = os::info();
  // The object is made from a spec block through construct: set-words and
  // values, nothing evaluated.
  Cell* spec = stack::push_new_cell();
  *spec = Cell{TYPE_BLOCK, 0, alloc_cells(8), 0};
  *alloc_tail(spec) = word::load("name", TYPE_SET_WORD);
  Cell* text = stack::push_new_cell();
  string::init_cell(text, static_cast<int32_t>(info.name.size()));
  string::append_utf8(text, info.name);
  *alloc_tail(spec) = *text;
  stack::drop_cells(1);
  *alloc_tail(spec) = word::load("arch", TYPE_SET_WORD);
  *alloc_tail(spec) = word::load(info.arch);
  *alloc_tail(spec) = word::load("version", TYPE_SET_WORD);
  Cell version{};
  tuple::make_in(&version, info.version, 3);
  *alloc_tail(spec) = version;
  *alloc_tail(spec) = word::load("build", TYPE_SET_WORD);
  *alloc_tail(spec) = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(info.build), 0};
  Cell* out = stack::push_new_cell();
  object::construct(out, spec, nullptr, true);
  *arg(0) = *out;
}

// ---------------------------------------------------------------------------
// Tuples.

// The first negative component, in argument order, raises invalid-arg.
void check_components(int n) {
  for (int i = 0; i < n; ++i)
    if (static_cast<int32_t>(arg(i)->data2) < 0) fire(ErrorCategory::kScript, "invalid-arg", *arg(i));
}

// Components are taken modulo 256, each in its own byte (no component
// spills into the next one).
void make_tuple(int n) {
  check_components(n);
  uint8_t bytes[4];
  for (int i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(arg(i)->data2 & 0xFF);
  Cell t{};
  tuple::make_in(&t, bytes, n);
  *arg(0) = t;
}
void as_color() { make_tuple(3); }
void as_ipv4() { make_tuple(4); }
void as_rgba() { make_tuple(4); }

// Characters of UTF-8 text between two positions of one binary. A position
// in another series is refused; one past the tail (or before start) is
// clamped.
void count_chars() {
  Cell start = *arg(0);
  Cell pos = *arg(1);
  if (pos.data2 != start.data2) fire(ErrorCategory::kScript, "invalid-arg", pos);
  SeriesBuffer* b = node_buffer(start.data2);
  uint32_t length = b->length();
  uint32_t from = start.data1 < length ? start.data1 : length;
  uint32_t to = pos.data1 < length ? pos.data1 : length;
  const uint8_t* bytes = b->head_ptr();
  int64_t count = 0;
  for (uint32_t i = from; i < to; ++count) {
    uint8_t lead = bytes[i];
    uint32_t step = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
    i += step;
  }
  set_integer(count);
}

// ---------------------------------------------------------------------------
// The value stack and the interpreter.

void stack_size_q() { set_integer(stack::top_index()); }

void pick_stack() {
  int32_t idx = static_cast<int32_t>(arg(0)->data2);
  // The size before this call's own cells were pushed is what stack-size?
  // answers from the caller; the bound is the whole stack as it is.
  if (idx > 0 && static_cast<uint32_t>(idx) < stack::top_index())
    *arg(0) = *stack::at(static_cast<uint32_t>(idx - 1));
  else
    *arg(0) = Cell{TYPE_NONE, 0, 0, 0};
}

void frame_index_q() {
  uint32_t n = stack::frame_count();
  // The caller's frame: this routine's own call frame is the top one.
  uint32_t base = n >= 2 ? stack::frame_at(n - 2)->base : stack::base_index();
  set_integer(base);
}

void collect_calls() {
  Cell blk = *arg(0);
  stack::collect_calls(blk.data2);
  *arg(0) = blk;
}

void tracing_q() { set_logic(trace::on()); }

// Event delivery on only when asked and a trace run has a tracer installed;
// it takes effect when the library function that asked returns.
void trace_switch() { trace::g_switch = arg(0)->data1 != 0 && trace::active() ? 1 : 0; }

// One line of standard input without its line end (a CR before the LF goes
// too); none at the end of the input.
void read_stdin_line() {
  std::string line;
  int c;
  bool any = false;
  while ((c = std::getc(stdin)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!any) {
    *arg(0) = Cell{TYPE_NONE, 0, 0, 0};
    return;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  Cell* out = arg(0);
  string::init_cell(out, static_cast<int32_t>(line.size() + 1));
  string::append_utf8(out, line);
}

void not_done() { fire(ErrorCategory::kInternal, "not-done"); }

// Strings as UTF-8 text, binaries as bytes, everything else molded.
void write_stdout() {
  Cell data = *arg(0);
  uint32_t t = TYPE_OF(&data);
  if (t == TYPE_BINARY) {
    SeriesBuffer* b = node_buffer(data.data2);
    std::string_view bytes(reinterpret_cast<const char*>(b->head_ptr()) + data.data1,
                           data.data1 < b->length() ? b->length() - data.data1 : 0);
    simple_io::write_stdout({bytes});
  } else {
    Cell* text = stack::push_new_cell();
    string::init_cell(text, 64);
    if (string::any_string_q(t))
      dispatch_form(&data, text, nullptr, kNoPartLimit);
    else
      dispatch_mold(&data, text, {}, nullptr, kNoPartLimit, 0);
    int32_t length = -1;
    const char* utf8 = to_utf8_cstring(text, &length);
    simple_io::write_stdout({std::string_view(utf8, static_cast<size_t>(length))});
    stack::drop_cells(1);
  }
  *arg(0) = Cell{TYPE_UNSET, 0, 0, 0};
}

// The caller's frame was entered by the interpreter.
void interpreted_q() {
  uint32_t n = stack::frame_count();
  set_logic(n >= 2 && stack::in_interpreted_frame_q(static_cast<int>(n) - 2, true));
}

// system/options/float's handler: the float text flag named by the word
// takes the value's truth.
void float_option() {
  Cell w = *arg(0);
  Cell v = *arg(1);
  bool on = !(TYPE_OF(&v) == TYPE_NONE || (TYPE_OF(&v) == TYPE_LOGIC && v.data1 == 0));
  std::string_view name = symbol::utf8_of(w.data2);
  if (name == "pretty?") float_::pretty_print_q = on;
  if (name == "full?") float_::full_support_q = on;
  *arg(0) = v;
}

// system/words: an object over the global context (class -1), which also
// becomes the global context's self value.
void make_system_words() {
  Cell* out = object::push(_context::global(), -1, 0);
  *arg(0) = *out;
}

// The time this file was compiled, as date text ("11-Dec-2026/00:44:27").
void build_date() {
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* d = __DATE__;  // "Mmm dd yyyy"
  int month = 1;
  for (int i = 0; i < 12; ++i)
    if (std::string_view(d, 3) == months[i]) month = i + 1;
  std::string day(d + 4, 2);
  if (day[0] == ' ') day.erase(0, 1);
  std::string text = day + "-" + months[month - 1] + "-" + std::string(d + 7, 4) + "/" + __TIME__;
  Cell* out = arg(0);
  string::init_cell(out, static_cast<int32_t>(text.size()));
  string::append_utf8(out, text);
}

void gc_active_q() { set_logic(collector::enabled_q()); }
void gc_series_cycles() { set_integer(collector::series_cycles()); }
void gc_nodes_cycles() { set_integer(collector::nodes_cycles()); }

// ---------------------------------------------------------------------------
// Type tests: the type id of the value against a constant, or against the
// typeset its global word holds at the time of the call.

template <uint32_t T>
void type_test() {
  set_logic(TYPE_OF(arg(0)) == T);
}

struct TypesetTest {
  const char* test;
  const char* typeset;
};
constexpr TypesetTest kTypesetTests[] = {
    {"any-list?", "any-list!"},     {"any-block?", "any-block!"},   {"any-function?", "any-function!"},
    {"any-object?", "any-object!"}, {"any-path?", "any-path!"},     {"any-string?", "any-string!"},
    {"any-word?", "any-word!"},     {"series?", "series!"},         {"number?", "number!"},
    {"immediate?", "immediate!"},   {"scalar?", "scalar!"},         {"all-word?", "all-word!"},
    {"any-point?", "any-point!"},   {"planar?", "planar!"},
};
constexpr size_t kTypesetTestCount = sizeof kTypesetTests / sizeof kTypesetTests[0];
uint32_t g_typeset_symbols[kTypesetTestCount];

template <size_t I>
void typeset_test() {
  Cell ts = *_context::global_value_cell(g_typeset_symbols[I]);
  bool in = TYPE_OF(&ts) == TYPE_TYPESET && typeset_has_q(reinterpret_cast<const uint8_t*>(&ts.data1),
                                                          TYPE_OF(arg(0)));
  set_logic(in);
}

template <size_t... I>
void register_typeset_tests(std::index_sequence<I...>) {
  ((g_typeset_symbols[I] = symbol::intern(kTypesetTests[I].typeset),
    routine::register_entry(kTypesetTests[I].test, typeset_test<I>)),
   ...);
}

void bind_typeset(const char* name, const Cell& typeset) {
  Cell word = word::load(name);
  _context::set_word(&word, &typeset);
}

}  // namespace

void make_routine() {
  Cell* base = stack::arguments();
  Cell spec = base[0];
  Cell name = base[1];
  int32_t entry = routine::find_entry(symbol::utf8_of(name.data2));
  if (entry == 0) fire(ErrorCategory::kScript, "invalid-arg", name);
  routine::push(&spec, nullptr, entry, 0, false);
  base = stack::arguments();
  base[0] = *stack::last_pushed();
  stack::drop_cells(1);
}

void register_routines() {
  struct Named {
    const char* name;
    routine::Entry entry;
  };
  static const Named kEntries[] = {
      {"quit-return", quit_return},
      {"set-quiet", set_quiet},
      {"set-slot-quiet", set_slot_quiet},
      {"shift-right", shift_right},
      {"shift-left", shift_left},
      {"shift-logical", shift_logical},
      {"last-lf?", last_lf_q},
      {"get-current-dir", get_current_dir},
      {"set-current-dir", set_current_dir},
      {"create-dir", create_dir},
      {"exists?", exists_q},
      {"os-info", os_info},
      {"as-color", as_color},
      {"as-ipv4", as_ipv4},
      {"as-rgba", as_rgba},
      {"count-chars", count_chars},
      {"stack-size?", stack_size_q},
      {"pick-stack", pick_stack},
      {"frame-index?", frame_index_q},
      {"collect-calls", collect_calls},
      {"tracing?", tracing_q},
      {"trace-switch", trace_switch},
      {"read-stdin-line", read_stdin_line},
      // The clipboard needs the GUI back-end.
      {"read-clipboard", not_done},
      {"write-clipboard", not_done},
      {"write-stdout", write_stdout},
      {"interpreted?", interpreted_q},
      {"float-option", float_option},
      {"make-system-words", make_system_words},
      {"build-date", build_date},
      {"gc-active?", gc_active_q},
      {"gc-series-cycles", gc_series_cycles},
      {"gc-nodes-cycles", gc_nodes_cycles},
      {"bitset?", type_test<TYPE_BITSET>},
      {"binary?", type_test<TYPE_BINARY>},
      {"block?", type_test<TYPE_BLOCK>},
      {"char?", type_test<TYPE_CHAR>},
      {"email?", type_test<TYPE_EMAIL>},
      {"file?", type_test<TYPE_FILE>},
      {"float?", type_test<TYPE_FLOAT>},
      {"get-path?", type_test<TYPE_GET_PATH>},
      {"get-word?", type_test<TYPE_GET_WORD>},
      {"hash?", type_test<TYPE_HASH>},
      {"integer?", type_test<TYPE_INTEGER>},
      {"issue?", type_test<TYPE_ISSUE>},
      {"lit-path?", type_test<TYPE_LIT_PATH>},
      {"lit-word?", type_test<TYPE_LIT_WORD>},
      {"logic?", type_test<TYPE_LOGIC>},
      {"map?", type_test<TYPE_MAP>},
      {"none?", type_test<TYPE_NONE>},
      {"pair?", type_test<TYPE_PAIR>},
      {"paren?", type_test<TYPE_PAREN>},
      {"path?", type_test<TYPE_PATH>},
      {"percent?", type_test<TYPE_PERCENT>},
      {"refinement?", type_test<TYPE_REFINEMENT>},
      {"set-path?", type_test<TYPE_SET_PATH>},
      {"set-word?", type_test<TYPE_SET_WORD>},
      {"string?", type_test<TYPE_STRING>},
      {"tag?", type_test<TYPE_TAG>},
      {"time?", type_test<TYPE_TIME>},
      {"typeset?", type_test<TYPE_TYPESET>},
      {"tuple?", type_test<TYPE_TUPLE>},
      {"unset?", type_test<TYPE_UNSET>},
      {"url?", type_test<TYPE_URL>},
      {"word?", type_test<TYPE_WORD>},
      {"image?", type_test<TYPE_IMAGE>},
      {"date?", type_test<TYPE_DATE>},
      {"money?", type_test<TYPE_MONEY>},
      {"ref?", type_test<TYPE_REF>},
      {"point2D?", type_test<TYPE_POINT2D>},
      {"point3D?", type_test<TYPE_POINT3D>},
      {"handle?", type_test<TYPE_HANDLE>},
      {"error?", type_test<TYPE_ERROR>},
      {"action?", type_test<TYPE_ACTION>},
      {"native?", type_test<TYPE_NATIVE>},
      {"datatype?", type_test<TYPE_DATATYPE>},
      {"function?", type_test<TYPE_FUNCTION>},
      {"object?", type_test<TYPE_OBJECT>},
      {"op?", type_test<TYPE_OP>},
      {"routine?", type_test<TYPE_ROUTINE>},
      {"vector?", type_test<TYPE_VECTOR>},
  };
  for (const Named& e : kEntries) routine::register_entry(e.name, e.entry);
  register_typeset_tests(std::make_index_sequence<kTypesetTestCount>{});
}

void bind_typeset_words() { interpreter::for_each_named_typeset(bind_typeset); }

}  // namespace kiv::library
