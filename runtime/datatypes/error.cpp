#include "runtime/datatypes/error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/eval_hooks.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::error {
namespace {

constexpr uint32_t kCategoryCount = 10;
// A category object's words before its ids: code and type.
constexpr uint32_t kCategoryHeadWords = 2;
constexpr uint32_t kCodesPerCategory = 100;

const char* const kFieldNames[kFieldCount] = {"code", "type", "id",   "arg1",  "arg2",
                                              "arg3", "near", "where", "stack", "files"};

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
Cell integer_cell(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

uint32_t sym(const char* text) { return symbol::intern(text); }

bool same_symbol(uint32_t a, uint32_t b) { return a && b && symbol::canonical(a) == symbol::canonical(b); }

bool word_named_q(const Cell* c, const char* text) {
  return TYPE_OF(c) == TYPE_WORD && same_symbol(c->data2, sym(text));
}

// The value of the symbol in an object's context, nullptr when absent (raw).
Cell* member(uint32_t ctx, uint32_t symbol) {
  if (!ctx || !symbol) return nullptr;
  int32_t i = _context::find_symbol(ctx, symbol);
  return i < 0 ? nullptr : _context::value_at(ctx, static_cast<uint32_t>(i));
}

bool object_like_q(const Cell* c) { return c && (TYPE_OF(c) == TYPE_OBJECT || TYPE_OF(c) == TYPE_ERROR); }

// ---------------------------------------------------------------------------
// Reading the system source.

void read_object(const Cell* spec, Cell* out);

bool function_maker_q(const Cell* c, uint32_t* blocks) {
  if (TYPE_OF(c) != TYPE_WORD) return false;
  if (word_named_q(c, "func") || word_named_q(c, "function") || word_named_q(c, "has")) {
    *blocks = 2;
    return true;
  }
  if (word_named_q(c, "does")) {
    *blocks = 1;
    return true;
  }
  return false;
}

[[noreturn]] void malformed(const Cell& at) { fire(ErrorCategory::kInternal, "not-done", at); }

// Reads the value starting at cell i of the spec block into out (a rooted
// cell); answers the index after it.
uint32_t read_value(const Cell* spec, uint32_t i, Cell* out) {
  uint32_t node = spec->data2;
  uint32_t n = series_length(node);
  Cell c = series_head_cell(node)[i];
  uint32_t blocks = 0;
  if (word_named_q(&c, "make")) {
    if (i + 2 >= n) malformed(c);
    Cell type = series_head_cell(node)[i + 1];
    Cell arg = series_head_cell(node)[i + 2];
    if (word_named_q(&type, "object!") && TYPE_OF(&arg) == TYPE_BLOCK) {
      read_object(&arg, out);
    } else if (word_named_q(&type, "block!") && TYPE_OF(&arg) == TYPE_INTEGER) {
      block::init_cell(out, static_cast<int32_t>(arg.data2));
    } else {
      malformed(type);
    }
    return i + 3;
  }
  if (word_named_q(&c, "routine*")) {  // routine* [spec] 'entry: no routine here
    if (i + 2 >= n || TYPE_OF(&series_head_cell(node)[i + 1]) != TYPE_BLOCK) malformed(c);
    *out = none_cell();
    return i + 3;
  }
  if (function_maker_q(&c, &blocks)) {
    for (uint32_t k = 1; k <= blocks; ++k) {
      if (i + k >= n || TYPE_OF(&series_head_cell(node)[i + k]) != TYPE_BLOCK) malformed(c);
    }
    *out = none_cell();
    return i + 1 + blocks;
  }
  if (TYPE_OF(&c) == TYPE_WORD) {
    if (word_named_q(&c, "none")) *out = none_cell();
    else if (word_named_q(&c, "true")) *out = Cell{TYPE_LOGIC, 1, 0, 0};
    else if (word_named_q(&c, "false")) *out = Cell{TYPE_LOGIC, 0, 0, 0};
    else malformed(c);
    return i + 1;
  }
  if (TYPE_OF(&c) == TYPE_SET_WORD || TYPE_OF(&c) == TYPE_PAREN || TYPE_OF(&c) == TYPE_GET_WORD) malformed(c);
  *out = c;
  clear_new_line(out);
  return i + 1;
}

// Reads a run of set-words and the value after it, from cell i; stores the
// value in ctx for each set-word. Answers the index after the value.
uint32_t read_assignment(const Cell* spec, uint32_t i, uint32_t ctx) {
  uint32_t node = spec->data2;
  uint32_t n = series_length(node);
  uint32_t first = i;
  while (i < n && TYPE_OF(&series_head_cell(node)[i]) == TYPE_SET_WORD) ++i;
  if (i == first) malformed(series_head_cell(node)[i]);
  if (i >= n) malformed(series_head_cell(node)[i - 1]);
  Cell* value = stack::push_new_cell();
  uint32_t next = read_value(spec, i, value);
  for (uint32_t k = first; k < i; ++k) {
    Cell w = series_head_cell(node)[k];
    w.header = TYPE_WORD;
    _context::put_symbol(ctx, &w, value);
  }
  stack::drop_cells(1);
  return next;
}

void read_object(const Cell* spec_in, Cell* out) {
  stack::TopGuard guard;
  Cell* spec = stack::push_copy(spec_in);
  uint32_t node = spec->data2;
  uint32_t n = series_length(node);
  uint32_t count = 0;
  for (uint32_t i = spec->data1; i < n; ++i) count += TYPE_OF(&series_head_cell(node)[i]) == TYPE_SET_WORD;
  uint32_t ctx = _context::allocate(count, false, true, 0, kContextObject);
  *out = Cell{TYPE_OBJECT, ctx, 0, 0};
  *_context::self_cell(ctx) = *out;
  for (uint32_t i = spec->data1; i < n;) i = read_assignment(spec, i, ctx);
}

// ---------------------------------------------------------------------------
// Catalogue lookup.

// The category object's context at a position of the catalogue.
uint32_t category_at(uint32_t catalog, uint32_t category) {
  if (!catalog || category >= _context::word_count(catalog)) return 0;
  Cell* c = _context::value_at(catalog, category);
  return object_like_q(c) ? c->data1 : 0;
}

// The id's position in the category (counted after code and type), -1 when
// absent.
int32_t id_index(uint32_t category_ctx, uint32_t id_symbol) {
  if (!category_ctx) return -1;
  int32_t i = _context::find_symbol(category_ctx, id_symbol);
  return i < static_cast<int32_t>(kCategoryHeadWords) ? -1 : i - static_cast<int32_t>(kCategoryHeadWords);
}

uint32_t prototype_context() {
  Cell* p = system_member({"standard", "error"});
  return object_like_q(p) ? p->data1 : 0;
}

// A word bound in the context at the index.
Cell bound_word(uint32_t ctx, uint32_t index) {
  Cell w = *_context::word_at(ctx, index);
  w.header = TYPE_WORD;
  w.data1 = ctx;
  w.data3 = index;
  return w;
}

// A new error with every field none (the prototype's values) into out.
void new_error(Cell* out) {
  uint32_t proto = prototype_context();
  if (!proto || _context::word_count(proto) < kFieldCount) fire(ErrorCategory::kInternal, "not-done");
  *out = Cell{TYPE_ERROR, proto, kErrorClassId, 0};
  _context::duplicate(out);
}

void set_field(const Cell* error, uint32_t n, const Cell& value) { *field(error, n) = value; }

// Sets code, type and id from positions known to exist.
void set_identity(const Cell* error, uint32_t category, uint32_t id) {
  uint32_t catalog = catalog_context();
  uint32_t cat = category_at(catalog, category);
  set_field(error, FIELD_CODE, integer_cell(static_cast<int32_t>(category * kCodesPerCategory + id)));
  set_field(error, FIELD_TYPE, bound_word(catalog, category));
  set_field(error, FIELD_ID, bound_word(cat, id + kCategoryHeadWords));
}

// Turns the error into internal invalid-error with the word in arg1.
void make_invalid(const Cell* error, const Cell& culprit) {
  int32_t id = id_position(static_cast<uint32_t>(ErrorCategory::kInternal), "invalid-error");
  if (id < 0) return;
  Cell c = culprit;
  set_identity(error, static_cast<uint32_t>(ErrorCategory::kInternal), static_cast<uint32_t>(id));
  set_field(error, FIELD_ARG1, c);
}

// ---------------------------------------------------------------------------
// Call frames.

bool hidden_frame_q(const stack::CallFrame& f) {
  return f.symbol == 0 || f.symbol == words::symbol_of(words::WORD_BODY) ||
         f.symbol == words::symbol_of(words::WORD_ANON);
}

Cell frame_word(const stack::CallFrame& f) {
  uint32_t ctx = f.word_context ? f.word_context : _context::global();
  return Cell{TYPE_WORD, ctx, f.symbol, kUnresolved};
}

bool frame_calls_function_q(const stack::CallFrame& f) {
  uint32_t ctx = f.word_context ? f.word_context : _context::global();
  Cell* v = _context::value_of_symbol(f.symbol, ctx);
  return v && TYPE_OF(v) == TYPE_FUNCTION;
}

// The words of the frames from the bottom up to (not including) frame_top,
// hidden frames skipped; below level 2 only the frames calling a function!.
std::vector<Cell> call_words(uint32_t frame_top, int32_t level) {
  std::vector<Cell> out;
  for (uint32_t i = 0; i < frame_top; ++i) {
    const stack::CallFrame& f = *stack::frame_at(i);
    if (hidden_frame_q(f)) continue;
    if (level < 2 && !frame_calls_function_q(f)) continue;
    out.push_back(frame_word(f));
  }
  return out;
}

// The word of the innermost named frame below frame_top, none when none.
Cell where_word(uint32_t frame_top) {
  for (uint32_t i = frame_top; i-- > 0;) {
    const stack::CallFrame& f = *stack::frame_at(i);
    if (!hidden_frame_q(f)) return frame_word(f);
  }
  return none_cell();
}

// system/state/stack-trace when it is an integer, else 0.
int32_t stack_trace_level() {
  Cell* v = system_member({"state", "stack-trace"});
  return v && TYPE_OF(v) == TYPE_INTEGER ? static_cast<int32_t>(v->data2) : 0;
}

NearReader g_near_reader = nullptr;

// ---------------------------------------------------------------------------
// Writing text.

// Copies a symbol's spelling before appending: the append may move it.
void append_symbol(Cell* buffer, uint32_t symbol) {
  std::string text(symbol::utf8_of(symbol));
  string::append_utf8(buffer, text);
}

// The value's type name between question marks, for a value that cannot be
// written.
void append_unwritable(Cell* buffer, const Cell& value) {
  uint32_t t = TYPE_OF(&value);
  std::string text = type_registered(t) ? std::string("?") + type_name_table[t].name + "?" : "?value?";
  string::append_text(buffer, text);
}

// Runs the writer inside a frame that stops errors, so that a value whose
// mold or form fails cannot end forming (nor reach the uncaught-error
// handler). When it fails, what it wrote is taken back and the value's type
// name written instead. At most limit characters are kept (limit < 0: all).
template <typename Writer>
void write_guarded(Cell* buffer, const Cell& value, int32_t limit, Writer&& writer) {
  uint32_t node = string::node_of(buffer);
  int32_t start = string::length_whole(buffer);
  uint32_t frames = stack::frame_count();
  uint32_t top = stack::top_index();
  bool failed = false;
  try {
    stack::FrameGuard guard;
    stack::open_try_frame(nullptr);
    writer();
    stack::unwind_to(frames);
  } catch (const LanguageError&) {
    failed = true;
  } catch (const stack::NonLocalExit&) {
    failed = true;
  }
  stack::unwind_to(frames);
  if (stack::top_index() > top) stack::drop_cells(stack::top_index() - top);
  if (failed) {
    string::limit_tail(node, start);
    append_unwritable(buffer, value);
  }
  if (limit >= 0) string::limit_tail(node, start + limit);
}

Cell part_cell(int32_t limit) { return integer_cell(limit); }

void mold_value(Cell* buffer, const Cell& value, bool only, int32_t limit) {
  write_guarded(buffer, value, limit, [&] {
    Cell v = value;
    clear_new_line(&v);
    if (TYPE_OF(&v) == 0) set_unset(&v);
    Cell part = part_cell(limit < 0 ? kNoPartLimit : limit);
    dispatch_mold(&v, buffer, {.only = only, .flat = true}, limit < 0 ? nullptr : &part, limit < 0 ? kNoPartLimit : limit, 0);
  });
}

void form_value(Cell* buffer, const Cell& value) {
  write_guarded(buffer, value, -1, [&] {
    Cell v = value;
    if (TYPE_OF(&v) == 0) set_unset(&v);
    dispatch_form(&v, buffer, nullptr, kNoPartLimit);
  });
}

void append_words(Cell* buffer, const std::vector<Cell>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) string::append_char(buffer, ' ');
    append_symbol(buffer, words[i].data2);
  }
}

// The count of calls the stack line leaves out between its two ends.
void append_stack_gap(Cell* buffer, size_t count) {
  string::append_text(buffer, " ... " + std::to_string(count - 2 * kStackLineEnds) + " more ... ");
}

// The words of the stack line: all of them, or the first and last
// kStackLineEnds with a count of those left out between.
void append_stack_words(Cell* buffer, const std::vector<Cell>& words) {
  if (words.size() <= 2 * kStackLineEnds + 1) {
    append_words(buffer, words);
    return;
  }
  append_words(buffer, std::vector<Cell>(words.begin(), words.begin() + kStackLineEnds));
  append_stack_gap(buffer, words.size());
  append_words(buffer, std::vector<Cell>(words.end() - kStackLineEnds, words.end()));
}

// A stack block kept in the error (try/all, an uncaught error): formed as
// it is, or cut as append_stack_words cuts.
void append_stack_block(Cell* buffer, const Cell& stack_block) {
  uint32_t node = stack_block.data2;
  uint32_t head = stack_block.data1;
  size_t count = series_length(node) > head ? series_length(node) - head : 0;
  if (count <= 2 * kStackLineEnds + 1) {
    form_value(buffer, stack_block);
    return;
  }
  RootedCell keep(stack_block);
  auto form_items = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (i > from) string::append_char(buffer, ' ');
      form_value(buffer, series_head_cell(node)[head + i]);
    }
  };
  form_items(0, kStackLineEnds);
  append_stack_gap(buffer, count);
  form_items(count - kStackLineEnds, count);
}

// The message of step 5: the template written with the arguments filled in.
void write_message(Cell* error, Cell* buffer, const Cell& tpl, bool syntax) {
  if (TYPE_OF(&tpl) == TYPE_STRING) {
    form_value(buffer, tpl);
    return;
  }
  if (TYPE_OF(&tpl) != TYPE_BLOCK) {
    set_field(error, FIELD_ARG1, *field(error, FIELD_TYPE));
    return;
  }
  Cell items = tpl;
  RootedCell keep(items);
  uint32_t node = items.data2;
  for (uint32_t i = items.data1; i < series_length(node); ++i) {
    Cell item = series_head_cell(node)[i];
    if (i > items.data1) string::append_char(buffer, ' ');
    int32_t arg = -1;
    if (TYPE_OF(&item) == TYPE_WORD || TYPE_OF(&item) == TYPE_GET_WORD) {
      for (uint32_t k = FIELD_ARG1; k <= FIELD_ARG3; ++k)
        if (same_symbol(item.data2, sym(kFieldNames[k]))) arg = static_cast<int32_t>(k);
    }
    if (arg < 0) {
      form_value(buffer, item);
      continue;
    }
    Cell v = *field(error, static_cast<uint32_t>(arg));
    if (syntax) form_value(buffer, v);
    else mold_value(buffer, v, false, kArgumentLimit);
  }
}

// The catalogue's category and id of the error, or -1 in *category when its
// type or id names nothing there (the error is made internal invalid-error
// first, so the answer then names that).
bool resolve(Cell* error, uint32_t* category, uint32_t* id) {
  uint32_t catalog = catalog_context();
  if (!catalog) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    Cell type = *field(error, FIELD_TYPE);
    int32_t c = word::any_word_q(TYPE_OF(&type)) ? _context::find_symbol(catalog, type.data2) : -1;
    uint32_t cat = c < 0 ? 0 : category_at(catalog, static_cast<uint32_t>(c));
    if (!cat) {
      make_invalid(error, type);
      continue;
    }
    Cell idw = *field(error, FIELD_ID);
    int32_t i = word::any_word_q(TYPE_OF(&idw)) ? id_index(cat, idw.data2) : -1;
    if (i < 0) {
      make_invalid(error, idw);
      continue;
    }
    *category = static_cast<uint32_t>(c);
    *id = static_cast<uint32_t>(i);
    return true;
  }
  return false;
}

void write_text(Cell* buffer, const char* text) { string::append_text(buffer, text); }

// The formed error, steps 1 to 9.
void write_error(Cell* error, Cell* buffer) {
  write_text(buffer, "*** ");
  uint32_t category = 0, id = 0;
  if (!resolve(error, &category, &id)) {
    write_text(buffer, "Internal Error: invalid error");
    return;
  }
  uint32_t cat = category_at(catalog_context(), category);
  Cell title = *_context::value_at(cat, 1);
  Cell tpl = *_context::value_at(cat, id + kCategoryHeadWords);
  if (TYPE_OF(&tpl) == TYPE_WORD) {
    // A template naming a field stands for that field's value.
    int32_t f = _context::find_symbol(context_of(error), tpl.data2);
    tpl = f < 0 ? none_cell() : *_context::value_at(context_of(error), static_cast<uint32_t>(f));
  }
  RootedCell keep_title(title), keep_tpl(tpl);
  form_value(buffer, title);
  write_text(buffer, ": ");
  write_message(error, buffer, tpl, category == static_cast<uint32_t>(ErrorCategory::kSyntax));

  write_text(buffer, "\n*** Where: ");
  Cell where = *field(error, FIELD_WHERE);
  if (word::any_word_q(TYPE_OF(&where))) append_symbol(buffer, where.data2);
  else if (string::any_string_q(TYPE_OF(&where))) form_value(buffer, where);
  else write_text(buffer, "???");

  write_text(buffer, "\n*** Near : ");
  Cell near = *field(error, FIELD_NEAR);
  bool any_block = TYPE_OF(&near) == TYPE_BLOCK || TYPE_OF(&near) == TYPE_PAREN;
  mold_value(buffer, near, any_block, kNearLimit);

  int32_t level = stack_trace_level();
  if (level > 0) {
    Cell st = *field(error, FIELD_STACK);
    if (TYPE_OF(&st) == TYPE_INTEGER) {
      write_text(buffer, "\n*** Stack: ");
      uint32_t top = std::min(st.data2, stack::kCallStackFrames);
      append_stack_words(buffer, call_words(top, level));
    } else if (TYPE_OF(&st) == TYPE_BLOCK) {
      write_text(buffer, "\n*** Stack: ");
      append_stack_block(buffer, st);
    }
  }
  Cell files = *field(error, FIELD_FILES);
  if (TYPE_OF(&files) == TYPE_BLOCK) {
    write_text(buffer, "\n*** Files: ");
    mold_value(buffer, files, false, kFilesLimit);
  }
}

std::string utf8_of_string(Cell* s) {
  int32_t length = -1;
  const char* bytes = to_utf8_cstring(s, &length);
  return std::string(bytes, static_cast<size_t>(length));
}

// An argument of a LanguageError as a value: a text becomes a string!.
void argument_value(const ErrorArgument& a, Cell* out) {
  switch (a.kind) {
    case ErrorArgument::Kind::kValue:
      *out = *a.value.get();
      break;
    case ErrorArgument::Kind::kText:
      string::init_cell(out, static_cast<int32_t>(a.text.size()));
      string::append_utf8(out, a.text);
      break;
    default:
      *out = none_cell();
  }
}

// The plain text for errors raised before the catalogue exists.
std::string plain_text(const LanguageError& e) {
  std::string s = std::string("*** ") + error_category_name(e.category) + "/" + e.id;
  for (const ErrorArgument& a : e.args)
    if (a.kind == ErrorArgument::Kind::kText) s += " " + a.text;
  return s;
}

// What an error takes from the state its throw left: the call-stack top at
// the throw, the word of the innermost named frame below it, the code near
// it and, for forming at once, the call words.
struct Snapshot {
  uint32_t frame_top = 0;
  Cell where{TYPE_NONE, 0, 0, 0};
  RootedCell near;
  std::vector<Cell> calls;
};

// Reads no more than the frames and the interpreter's position: nothing here
// allocates (the symbols it names were interned when the system loaded).
Snapshot take_snapshot(bool with_calls) {
  Snapshot s;
  s.frame_top = std::min(stack::error_frame_top(), stack::kCallStackFrames);
  s.where = where_word(s.frame_top);
  *s.near = none_cell();
  if (g_near_reader && !g_near_reader(s.near.get())) *s.near = none_cell();
  if (with_calls) {
    int32_t level = stack_trace_level();
    s.calls = call_words(s.frame_top, level > 0 ? level : 1);
  }
  return s;
}

void build_error(const LanguageError& e, const Snapshot& snap, Cell* out) {
  stack::TopGuard guard;
  Cell* args = stack::push_new_cell();
  stack::push_new_cell();
  stack::push_new_cell();
  for (int k = 0; k < 3; ++k) args[k] = none_cell();
  for (int k = 0; k < 3; ++k) argument_value(e.args[k], &args[k]);
  create(out, static_cast<uint32_t>(e.category), symbol::intern(e.id.c_str()), &args[0], &args[1], &args[2]);
  set_field(out, FIELD_NEAR, *snap.near.get());
  set_field(out, FIELD_WHERE, snap.where);
  set_field(out, FIELD_STACK, integer_cell(static_cast<int32_t>(snap.frame_top)));
}

}  // namespace

// ---------------------------------------------------------------------------
// The system object.

void load_system(const Cell* source) {
  stack::TopGuard guard;
  Cell* spec = stack::push_copy(source);
  uint32_t node = spec->data2;
  for (uint32_t i = spec->data1; i < series_length(node);) i = read_assignment(spec, i, _context::global());
}

namespace {
Cell g_kept_system{TYPE_NONE, 0, 0, 0};
void mark_kept_system() { collector::mark_cell(&g_kept_system); }
}  // namespace

void keep_system() {
  uint32_t global = _context::global();
  if (!global) return;
  Cell* v = member(global, sym("system"));
  if (!object_like_q(v)) return;
  g_kept_system = *v;
  collector::register_mark_callback(mark_kept_system);  // a second registration is ignored
}

Cell* system_member(std::initializer_list<const char*> path) {
  Cell* v = &g_kept_system;
  if (!object_like_q(v)) {
    uint32_t global = _context::global();
    if (!global) return nullptr;
    v = member(global, sym("system"));
  }
  for (const char* step : path) {
    if (!object_like_q(v)) return nullptr;
    v = member(v->data1, sym(step));
  }
  return v;
}

uint32_t catalog_context() {
  Cell* c = system_member({"catalog", "errors"});
  return object_like_q(c) ? c->data1 : 0;
}

uint32_t category_context(uint32_t category) { return category_at(catalog_context(), category); }

uint32_t id_count(uint32_t category) {
  uint32_t cat = category_context(category);
  uint32_t n = cat ? _context::word_count(cat) : 0;
  return n > kCategoryHeadWords ? n - kCategoryHeadWords : 0;
}

int32_t id_position(uint32_t category, const char* id) { return id_index(category_context(category), sym(id)); }

int32_t code_of(ErrorCategory category, const char* id) {
  auto c = static_cast<uint32_t>(category);
  int32_t i = id_position(c, id);
  return i < 0 ? -1 : static_cast<int32_t>(c * kCodesPerCategory) + i;
}

// ---------------------------------------------------------------------------
// Making errors.

void make_from_code(Cell* out, int32_t code) {
  Cell spec = integer_cell(code);
  RootedCell keep(spec);
  uint32_t category = static_cast<uint32_t>(code) / kCodesPerCategory;
  uint32_t id = static_cast<uint32_t>(code) % kCodesPerCategory;
  if (code < 0 || category >= kCategoryCount || !category_context(category) || id >= id_count(category))
    fire(ErrorCategory::kScript, "out-of-range", spec);
  new_error(out);
  set_identity(out, category, id);
}

void create(Cell* out, uint32_t category, uint32_t id_symbol, const Cell* arg1, const Cell* arg2,
            const Cell* arg3) {
  stack::TopGuard guard;
  Cell* args = stack::push_new_cell();
  stack::push_new_cell();
  stack::push_new_cell();
  const Cell* given[3] = {arg1, arg2, arg3};
  for (int k = 0; k < 3; ++k) args[k] = given[k] ? *given[k] : none_cell();
  new_error(out);
  int32_t id = id_index(category_context(category), id_symbol);
  if (id < 0) {
    make_invalid(out, Cell{TYPE_WORD, 0, id_symbol, kUnresolved});
  } else {
    set_identity(out, category, static_cast<uint32_t>(id));
    for (uint32_t k = 0; k < 3; ++k) set_field(out, FIELD_ARG1 + k, args[k]);
  }
}

void set_near_reader(NearReader reader) { g_near_reader = reader; }

void from_language_error(const LanguageError& e, Cell* out) {
  Snapshot snap = take_snapshot(false);
  build_error(e, snap, out);
}

void capture_stack(Cell* value) {
  if (TYPE_OF(value) != TYPE_ERROR) return;
  Cell st = *field(value, FIELD_STACK);
  if (TYPE_OF(&st) == TYPE_INTEGER) {
    int32_t level = stack_trace_level();
    std::vector<Cell> words = call_words(std::min(st.data2, stack::kCallStackFrames), level > 0 ? level : 1);
    stack::TopGuard guard;
    Cell* block = stack::push_new_cell();
    block::init_cell(block, static_cast<int32_t>(words.size()));
    for (const Cell& w : words) block::append_cell(block, &w);
    set_field(value, FIELD_STACK, *block);
  }
  Cell* files = system_member({"state", "source-files"});
  if (files && TYPE_OF(files) == TYPE_BLOCK && block::rs_length_q(files) > 0) {
    stack::TopGuard guard;
    Cell* source = stack::push_copy(files);
    Cell* copy = stack::push_new_cell();
    *copy = Cell{TYPE_BLOCK, 0, block::copy_cells(source, false, false), 0};
    set_field(value, FIELD_FILES, *copy);
  }
}

void forget_stack(const Cell* value) {
  if (TYPE_OF(value) != TYPE_ERROR) return;
  Cell* st = field(value, FIELD_STACK);
  if (TYPE_OF(st) == TYPE_INTEGER) *st = none_cell();
}

// ---------------------------------------------------------------------------
// Fields.

uint32_t context_of(const Cell* error) { return error->data1; }

Cell* field(const Cell* error, uint32_t n) { return _context::value_at(context_of(error), n); }

uint32_t type_symbol(const Cell* error) {
  Cell* t = field(error, FIELD_TYPE);
  return word::any_word_q(TYPE_OF(t)) ? t->data2 : 0;
}

uint32_t id_symbol(const Cell* error) {
  Cell* t = field(error, FIELD_ID);
  return word::any_word_q(TYPE_OF(t)) ? t->data2 : 0;
}

bool copy_where(const Cell* error, Cell* out) {
  Cell* w = field(error, FIELD_WHERE);
  if (TYPE_OF(w) == TYPE_NONE) return false;
  *out = *w;
  return true;
}

Cell* stack_field(const Cell* error) { return field(error, FIELD_STACK); }

// ---------------------------------------------------------------------------
// Forming.

int32_t form(Cell* value, Cell* buffer, Cell* /*part*/, int32_t limit) {
  int32_t start = string::length_whole(buffer);
  Cell error = *value;
  RootedCell keep(error);
  write_error(keep.get(), buffer);
  return limit - (string::length_whole(buffer) - start);
}

std::string form_text(Cell* value) {
  stack::TopGuard guard;
  Cell* error = stack::push_copy(value);
  Cell* buffer = stack::push_new_cell();
  string::init_cell(buffer, 128);
  write_error(error, buffer);
  return utf8_of_string(buffer);
}

std::string form_language_error(const LanguageError& e) {
  if (!catalog_context() || !prototype_context()) return plain_text(e);
  // The frames the error left are read first: the frame opened below is
  // written over the lowest of them.
  Snapshot snap = take_snapshot(true);
  // A mold or form that the error interrupted may have left its entries.
  support::cycle_stack::reset();
  uint32_t frames = stack::frame_count();
  try {
    stack::FrameGuard guard;
    stack::TopGuard top;
    // Every error raised while the error is built and formed stops here, so
    // none reaches the uncaught-error handler again.
    stack::open_try_frame(nullptr);
    Cell* error = stack::push_new_cell();
    build_error(e, snap, error);
    Cell* calls = stack::push_new_cell();
    block::init_cell(calls, static_cast<int32_t>(snap.calls.size()));
    for (const Cell& w : snap.calls) block::append_cell(calls, &w);
    set_field(error, FIELD_STACK, *calls);
    std::string text = form_text(error);
    stack::unwind_to(frames);
    return text;
  } catch (const LanguageError&) {
  } catch (const stack::NonLocalExit&) {
  }
  stack::unwind_to(frames);
  return plain_text(e);
}

void report_uncaught(const LanguageError& e) {
  std::string text = form_language_error(e);
  std::fflush(stdout);
  // The formed text may hold NUL characters: written by its length, so the
  // lines after one are not lost.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::_Exit(254);
}

// ---------------------------------------------------------------------------
// Handlers.

namespace {

// The category position of a category word, -1 when it names none.
int32_t category_of_word(const Cell* w) {
  uint32_t catalog = catalog_context();
  if (!catalog || TYPE_OF(w) != TYPE_WORD) return -1;
  int32_t c = _context::find_symbol(catalog, w->data2);
  return c >= 0 && category_at(catalog, static_cast<uint32_t>(c)) ? c : -1;
}

[[noreturn]] void fire_spec_field(const char* which) {
  Cell w;
  word::init_global(sym(which), &w);
  fire(ErrorCategory::kScript, "invalid-spec-field", w);
}

// Sets code, type and id from the category and id words (steps 2 and 3 of
// make): a category the catalogue lacks is an invalid type field, an id
// that is not a word an invalid argument, an id the category lacks an
// invalid id field.
void identify(Cell* out, const Cell& type, const Cell& id_word) {
  int32_t category = category_of_word(&type);
  if (category < 0) fire_spec_field("type");
  if (TYPE_OF(&id_word) != TYPE_WORD) fire(ErrorCategory::kScript, "invalid-arg", id_word);
  int32_t id = id_index(category_context(static_cast<uint32_t>(category)), id_word.data2);
  if (id < 0) fire_spec_field("id");
  set_identity(out, static_cast<uint32_t>(category), static_cast<uint32_t>(id));
}

void make_from_block(Cell* out, Cell* spec) {
  uint32_t node = spec->data2;
  uint32_t head = spec->data1;
  uint32_t n = series_length(node);
  Cell first = head < n ? series_head_cell(node)[head] : none_cell();
  new_error(out);
  if (TYPE_OF(&first) == TYPE_WORD) {
    Cell second = head + 1 < n ? series_head_cell(node)[head + 1] : none_cell();
    identify(out, first, second);
    return;
  }
  if (TYPE_OF(&first) == TYPE_SET_WORD) {
    // The spec sets the fields itself: bound to the new error and evaluated.
    _context::bind_block(spec, context_of(out), true);
    eval_hooks::evaluate_block(spec, false);
    stack::drop_cells(1);
    Cell type = *field(out, FIELD_TYPE);
    Cell id = *field(out, FIELD_ID);
    identify(out, type, id);
    return;
  }
  // Any other first value makes no error: raised, with that value.
  fire(ErrorCategory::kInternal, "invalid-error", first);
}

}  // namespace

Cell* make(Cell* type, Cell* spec) {
  stack::TopGuard guard;
  Cell* out = stack::push_new_cell();
  switch (TYPE_OF(spec)) {
    case TYPE_INTEGER:
      make_from_code(out, static_cast<int32_t>(spec->data2));
      break;
    case TYPE_BLOCK:
      make_from_block(out, spec);
      break;
    case TYPE_STRING: {
      new_error(out);
      set_identity(out, static_cast<uint32_t>(ErrorCategory::kUser), 0);
      set_field(out, FIELD_ARG1, *spec);
      break;
    }
    default:
      fire_bad_make_arg(spec, TYPE_ERROR);
  }
  *type = *out;
  return type;
}

namespace {

// The object body writer: each word and its value molded, one per line when
// not flat.
void write_body(Cell* error, Cell* buffer, bool all, bool flat, int32_t level) {
  uint32_t ctx = context_of(error);
  uint32_t n = _context::word_count(ctx);
  bool indent = !flat;
  const char* separator = flat ? " " : "\n";
  if (!flat) write_text(buffer, "\n");
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t symbol = _context::word_at(ctx, i)->data2;
    bool hook = same_symbol(symbol, sym("on-change*")) || same_symbol(symbol, sym("on-deep-change*"));
    if (hook && !all) continue;
    if (indent) mold_indent(string::node_of(buffer), level, kNoPartLimit);
    append_symbol(buffer, symbol);
    write_text(buffer, ": ");
    Cell v = *_context::value_at(ctx, i);
    if (TYPE_OF(&v) == 0) set_unset(&v);
    if (TYPE_OF(&v) == TYPE_WORD) string::append_char(buffer, '\'');
    mold_value(buffer, v, false, -1);
    if (indent || i + 1 < n) write_text(buffer, separator);
  }
}

}  // namespace

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* /*part*/, int32_t limit,
             int32_t indent) {
  int32_t start = string::length_whole(buffer);
  Cell error = *value;
  RootedCell keep(error);
  uint32_t ctx = context_of(keep.get());
  if (support::cycle_stack::find_q(ctx)) {
    write_text(buffer, "...");
    return limit - 3;
  }
  {
    support::cycle_stack::Entry visiting(ctx);
    if (!flags.only) write_text(buffer, "make error! [");
    write_body(keep.get(), buffer, flags.all, flags.flat, indent + 1);
    if (!flags.flat && indent >= 1) mold_indent(string::node_of(buffer), indent, kNoPartLimit);
    if (!flags.only) write_text(buffer, "]");
  }
  return limit - (string::length_whole(buffer) - start);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* /*grand_parent*/,
                Cell* /*prev_element*/, int32_t /*index*/, PathFlags flags) {
  Cell at_path = path ? *path : *element;
  uint32_t t = TYPE_OF(element);
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
    fire(ErrorCategory::kScript, "invalid-path", at_path, *element);
  if (same_symbol(element->data2, sym("stack"))) fire(ErrorCategory::kScript, "invalid-path-set", at_path);
  uint32_t ctx = context_of(parent);
  int32_t i = _context::find_symbol(ctx, element->data2);
  if (i < 0) {
    static Cell absent{TYPE_NONE, 0, 0, 0};
    if (flags.get && flags.tail) return &absent;
    fire(ErrorCategory::kScript, flags.tail ? "invalid-path" : "unset-path", at_path, *element);
  }
  Cell* slot = _context::value_at(ctx, static_cast<uint32_t>(i));
  if (value) {
    *slot = *value;
    return value;
  }
  return slot;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_ERROR) return kNotComparable;
  uint32_t a = context_of(value1), b = context_of(value2);
  if (a == b) return 0;
  if (op == COMP_SAME) return -1;
  if (support::cycle_stack::find_q(a)) return support::cycle_stack::find_q(b) ? 0 : -1;
  uint32_t na = _context::word_count(a), nb = _context::word_count(b);
  if (na != nb) return na > nb ? 1 : -1;
  support::cycle_stack::Entry visit_a(a);
  support::cycle_stack::Entry visit_b(b);
  for (uint32_t i = 0; i < na; ++i) {
    uint32_t sa = symbol::canonical(_context::word_at(a, i)->data2);
    uint32_t sb = symbol::canonical(_context::word_at(b, i)->data2);
    if (sa != sb) return sa > sb ? 1 : -1;
    Cell va = *_context::value_at(a, i), vb = *_context::value_at(b, i);
    uint32_t ta = TYPE_OF(&va), tb = TYPE_OF(&vb);
    bool numbers = (ta == TYPE_INTEGER || ta == TYPE_FLOAT || ta == TYPE_PERCENT) &&
                   (tb == TYPE_INTEGER || tb == TYPE_FLOAT || tb == TYPE_PERCENT);
    if (ta != tb && !(word::any_word_q(ta) && word::any_word_q(tb)) && !numbers) return ta > tb ? 1 : -1;
    RootedCell ra(va), rb(vb);
    int32_t r = dispatch_compare(ra.get(), rb.get(), op);
    if (r != 0) return r;
  }
  return 0;
}

void init() {
  // Until object! registers, the slots it would give stay unsupported.
  uint32_t parent = type_registered(TYPE_OBJECT) ? uint32_t{TYPE_OBJECT} : 0u;
  datatype::register_type(TYPE_ERROR, parent, "error!", {
      own<ACT_MAKE>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path),
      own<ACT_COMPARE>(compare), refuse<ACT_PUT>, refuse<ACT_MODIFY>,
  });
}

}  // namespace kiv::error
