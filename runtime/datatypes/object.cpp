#include "runtime/datatypes/object.h"

#include <cstring>

#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/eval_hooks.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::object {
namespace {

int32_t g_class_counter = kFirstClassId;

constexpr uint32_t kNewObjectWords = 4;

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
Cell logic_cell(bool v) { return Cell{TYPE_LOGIC, v ? 1u : 0u, 0, 0}; }

uint32_t canonical_of(words::Id id) { return symbol::canonical(words::symbol_of(id)); }

bool symbol_is(uint32_t symbol, words::Id id) {
  return symbol != 0 && symbol::canonical(symbol) == canonical_of(id);
}

bool hook_symbol_q(uint32_t symbol) {
  return symbol_is(symbol, words::WORD_ON_CHANGE_STAR) || symbol_is(symbol, words::WORD_ON_DEEP_CHANGE_STAR);
}

// The types whose values make and copy duplicate: block! to url!, the path
// kinds, hash!, vector!, binary!, image!, tag!, email! and ref!.
bool copied_series_q(uint32_t t) { return series_group_q(t); }

// The values that copy/deep duplicates.
bool deep_copied_q(uint32_t t) { return type_in_group(t, kGroupAnyBlock | kGroupAnyString) && t != TYPE_HASH; }

// A value slot of type 0 (not filled yet) reads as unset.
Cell read_value(uint32_t ctx, uint32_t index) {
  Cell* v = _context::value_at(ctx, index);
  if (!v) return Cell{TYPE_UNSET, 0, 0, 0};
  Cell c = *v;
  if (TYPE_OF(&c) == 0) set_unset(&c);
  return c;
}

// Word N of the context as a word! bound to it, without the changed mark.
Cell bound_word(uint32_t ctx, uint32_t index, uint32_t type = TYPE_WORD) {
  Cell w = *_context::word_at(ctx, index);
  w.header = type;
  w.data1 = ctx;
  w.data3 = index;
  return w;
}

// The set-words from the block's head to its tail (at least 1): the room a
// new object made from it takes for its words and values.
uint32_t set_word_count(const Cell* block) {
  SeriesBuffer* b = node_buffer(block->data2);
  const uint32_t n = b->length();
  HeldPtr<const Cell> c = b->head_cell();
  uint32_t count = 0;
  for (uint32_t i = block->data1; i < n; ++i) count += TYPE_OF(&c[i]) == TYPE_SET_WORD ? 1 : 0;
  return count ? count : 1;
}

// Stores the object cell in its context's self cell.
void sync_self(const Cell* object) { *_context::self_cell(object->data1) = *object; }

// ---------------------------------------------------------------------------
// Copying values.

// Replaces the value by a copy of its series (deep for the block kinds when
// deep is set). The value must lie on the argument stack.
void copy_series_value(Cell* value, bool deep) {
  Cell* destination = stack::push_new_cell();
  Cell* copy = dispatch_copy(value, destination, nullptr, deep, nullptr);
  Cell result = *copy;
  result.header = (result.header & ~kFlagNewLine) | (value->header & kFlagNewLine);
  *value = result;
  stack::drop_cells(1);
}

// The locals a call of the hook pushes after its arguments (the hook
// record keeps the count with the spec it was taken from).
uint32_t count_locals(uint32_t spec_node) {
  int32_t n = function::count_locals(spec_node, 0, false);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

// Replaces value N of the object's context, a function!, by a copy whose
// body is a deep copy bound to the object (self on) and then to the copy's
// own new context; the copy runs interpreted (no native entry).
void copy_function(uint32_t obj_ctx, uint32_t index) {
  stack::TopGuard guard;
  RootedNode keep_ctx(obj_ctx);
  Cell* fn = stack::push_copy(_context::value_at(obj_ctx, index));
  Cell body = *function::aux_cell(fn, function::kAuxBody);
  if (TYPE_OF(&body) != TYPE_BLOCK) {
    Cell spec{TYPE_BLOCK, 0, fn->data2, 0};
    fire(ErrorCategory::kScript, "bad-func-def", spec);
  }
  Cell* body_copy = stack::push_new_cell();
  *body_copy = Cell{TYPE_BLOCK, 0, block::copy_cells(&body, true, true), 0};
  _context::bind_block(body_copy, obj_ctx, true);
  Cell spec{TYPE_BLOCK, 0, fn->data2, 0};
  RootedNode fn_ctx(_context::from_spec(&spec, true, false, kContextFunction));
  _context::bind_block(body_copy, fn_ctx, false);
  uint32_t cells = alloc_unset_cells(function::kAuxCells);
  SeriesBuffer* b = node_buffer(cells);
  b->tail = b->head + function::kAuxCells * static_cast<uint32_t>(sizeof(Cell));
  HeldPtr<Cell> c = b->head_cell();
  c[function::kAuxBody] = *body_copy;
  c[function::kAuxSecondEntry] = series_head_cell(fn->data3)[function::kAuxSecondEntry];
  Cell copy{fn->header & ~kFlagNewLine, fn_ctx, fn->data2, cells};
  *_context::self_cell(fn_ctx) = copy;
  Cell* slot = _context::value_at(obj_ctx, index);
  copy.header |= slot->header & kFlagNewLine;
  *slot = copy;
}

// What refresh_values copies besides the functions.
enum class SeriesCopy { kNone, kMake, kDeep };

// Copies the object's values in place: with functions, every function! is
// copied and rebound to the object; kMake copies the series types that make
// copies (the block kinds deeply, then rebound to the object), kDeep the
// series that copy/deep copies (deeply).
void refresh_values(uint32_t ctx, bool functions, SeriesCopy series) {
  RootedNode keep(ctx);
  uint32_t n = _context::word_count(ctx);
  for (uint32_t i = 0; i < n; ++i) {
    Cell v = read_value(ctx, i);
    uint32_t t = TYPE_OF(&v);
    if (t == TYPE_FUNCTION) {
      if (functions) copy_function(ctx, i);
      continue;
    }
    bool wanted = (series == SeriesCopy::kMake && copied_series_q(t)) ||
                  (series == SeriesCopy::kDeep && deep_copied_q(t));
    if (!wanted) continue;
    stack::TopGuard guard;
    Cell* held = stack::push_copy(&v);
    copy_series_value(held, series == SeriesCopy::kDeep || series::any_block_q(t));
    if (series == SeriesCopy::kMake && series::any_block_q(t)) _context::bind_block(held, ctx, true);
    *_context::value_at(ctx, i) = *held;
  }
}

bool in_types_q(const Cell* types, uint32_t t) {
  if (!types) return false;
  if (TYPE_OF(types) == TYPE_DATATYPE) return types->data1 == t;
  if (TYPE_OF(types) == TYPE_TYPESET) return typeset_has_q(reinterpret_cast<const uint8_t*>(&types->data1), t);
  return false;
}

// Writes into out (a rooted cell) a copy of the source object: a new context
// with the same words (rebound to it) and the values copied cell by cell,
// the same class id and type; functions copied and rebound. With deep the
// series values are copied; with types only the values of those types are
// (series deeply with deep; objects copied in turn, a cycle raising internal
// no-cycle). Hooks are found again unless keep_hooks, which leaves the
// source's hook node in place.
void copy_object(const Cell* source, Cell* out, bool deep, const Cell* types, bool keep_hooks) {
  stack::TopGuard guard;
  Cell* src = stack::push_copy(source);
  if (types && support::cycle_stack::find_q(src->data1)) fire(ErrorCategory::kInternal, "no-cycle");
  support::cycle_stack::Entry visiting(src->data1);
  Cell* copy = stack::push_copy(src);
  copy->header &= ~kFlagNewLine;
  uint32_t ctx = _context::duplicate(copy);
  _context::record(ctx)->header &= ~kFlagOwned;
  sync_self(copy);
  if (types) {
    refresh_values(ctx, true, SeriesCopy::kNone);
    uint32_t n = _context::word_count(ctx);
    for (uint32_t i = 0; i < n; ++i) {
      Cell v = read_value(ctx, i);
      uint32_t t = TYPE_OF(&v);
      if (!in_types_q(types, t)) continue;
      stack::TopGuard inner_guard;
      Cell* held = stack::push_copy(&v);
      if (any_object_q(t)) {
        Cell* inner = stack::push_new_cell();
        copy_object(held, inner, deep, types, false);
        *held = *inner;
      } else if (copied_series_q(t) || t == TYPE_BITSET || t == TYPE_MAP) {
        copy_series_value(held, deep);
      }
      *_context::value_at(ctx, i) = *held;
    }
  } else {
    refresh_values(ctx, true, deep ? SeriesCopy::kDeep : SeriesCopy::kNone);
  }
  *out = *copy;
  if (!keep_hooks) {
    out->data3 = 0;
    sync_self(out);
    find_hooks(out);
  }
}

// ---------------------------------------------------------------------------
// Hooks.

// The hook record's cell for a hook (0 or 1): its word index, or
// kNoHookIndex.
uint32_t hook_index(uint32_t hooks, uint32_t which) {
  if (!hooks) return kNoHookIndex;
  return series_head_cell(hooks)[which].data2 >> 16;
}

// The hook function's value when the record names one; refreshes the local
// count when the function's spec changed since it was taken.
bool hook_function(const Cell* object, uint32_t which, Cell* out) {
  uint32_t hooks = hooks_of(object);
  uint32_t index = hook_index(hooks, which);
  if (index == kNoHookIndex) return false;
  uint32_t ctx = context_of(object);
  *out = read_value(ctx, index);
  if (TYPE_OF(out) != TYPE_FUNCTION && TYPE_OF(out) != TYPE_ROUTINE) return true;
  HeldPtr<Cell> record = series_head_cell(hooks) + which;
  if (record->data3 != out->data2) {
    record->data2 = (index << 16) | (count_locals(out->data2) & 0xFFFF);
    record->data3 = out->data2;
  }
  return true;
}

void change_hook(uint32_t ctx, const Cell* word, const Cell* old_value, const Cell* new_value) {
  Cell object = *_context::self_cell(ctx);
  RootedCell keep(object);
  fire_on_change(keep.get(), word, old_value, new_value);
}

void deep_change_handler(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part) {
  fire_on_deep_change(owner, word, target, action, new_value, index, part);
}

// Binds (or unbinds) each value of an owned object with the object's own
// field words; objects that own their values already are boundaries and are
// passed over, as are object values sharing the owner's context.
void walk_owned_object(Cell* object, const Cell* owner, bool unbind) {
  uint32_t ctx = object->data1;
  if (!ctx || (_context::record(ctx)->header & kFlagOwned)) return;
  if (support::cycle_stack::find_q(ctx)) return;
  support::cycle_stack::Entry visiting(ctx);
  uint32_t n = _context::word_count(ctx);
  for (uint32_t i = 0; i < n; ++i) {
    Cell* v = _context::value_at(ctx, i);
    if (!v) break;
    if (unbind) {
      ownership::unbind(v);
      continue;
    }
    if (any_object_q(TYPE_OF(v)) && owner && v->data1 == owner->data1) continue;
    Cell word = bound_word(ctx, i);
    ownership::bind(v, owner, &word);
  }
}

// ---------------------------------------------------------------------------
// Form and mold.

void append_symbol(Cell* buffer, uint32_t symbol) {
  std::string text(symbol::utf8_of(symbol));
  string::append_utf8(buffer, text);
}

// Writes the object's body: each word (hooks only with all), ": " and the
// value molded, separated by line feeds (spaces when flat). Answers the limit
// left.
int32_t write_body(const Cell* object, Cell* buffer, MoldFlags flags, bool indent, int32_t level,
                   bool leading_lf, Cell* part, int32_t limit) {
  uint32_t ctx = context_of(object);
  uint32_t n = _context::word_count(ctx);
  if (n == 0) return limit;
  uint32_t out = string::node_of(buffer);
  if (flags.flat) indent = false;
  const char* separator = flags.flat ? " " : "\n";
  if (leading_lf && !flags.flat) {
    if (flags.only) {
      indent = false;
    } else {
      string::append_text(buffer, "\n");
      --limit;
    }
  }
  // The last word written, so that a separator follows it only when indenting.
  uint32_t last = n;
  for (uint32_t i = 0; i < n; ++i)
    if (flags.all || !hook_symbol_q(_context::word_at(ctx, i)->data2)) last = i;
  for (uint32_t i = 0; i < n; ++i) {
    if (limit < 1) break;
    uint32_t symbol = _context::word_at(ctx, i)->data2;
    if (!flags.all && hook_symbol_q(symbol)) continue;
    if (indent) limit = mold_indent(out, level, limit);
    int32_t before = string::length_whole(buffer);
    append_symbol(buffer, symbol);
    string::append_text(buffer, ": ");
    limit -= string::length_whole(buffer) - before;
    Cell* v = stack::push_new_cell();
    *v = read_value(ctx, i);
    clear_new_line(v);
    if (TYPE_OF(v) == TYPE_WORD) {
      string::append_char(buffer, '\'');
      --limit;
    }
    limit = dispatch_mold(v, buffer, flags.nested(), part, limit, level);
    stack::drop_cells(1);
    if (indent || i != last) {
      string::append_text(buffer, separator);
      --limit;
    }
  }
  return limit;
}

// ---------------------------------------------------------------------------
// Path access.

[[noreturn]] void fire_absent(bool tail, Cell* path, Cell* element) {
  Cell p = path ? *path : *element;
  Cell e = *element;
  fire(ErrorCategory::kScript, tail ? "invalid-path" : "unset-path", p, e);
}

// Reflect and modify fields by symbol.
bool field_is(const Cell* field, words::Id id) {
  return word::any_word_q(TYPE_OF(field)) && symbol_is(field->data2, id);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and access.

int32_t next_class_id() { return ++g_class_counter; }

Cell* push(uint32_t ctx, int32_t class_id, uint32_t hooks) {
  Cell* c = stack::push_new_cell();
  *c = Cell{TYPE_OBJECT, ctx, static_cast<uint32_t>(class_id), hooks};
  sync_self(c);
  return c;
}

Cell* push_context(uint32_t ctx, int32_t class_id) {
  Cell* rec = _context::record(ctx);
  if (rec->data2) {
    SeriesBuffer* b = node_buffer(rec->data2);
    b->tail = b->head + _context::word_count(ctx) * static_cast<uint32_t>(sizeof(Cell));
  }
  return push(ctx, class_id, 0);
}

void init_new(Cell* out, uint32_t words) {
  uint32_t ctx = _context::allocate(words, false, true, 0, kContextObject);
  *out = Cell{TYPE_OBJECT, ctx, 0, 0};
  sync_self(out);
}

bool word_value_is_class_q(const Cell* word, int32_t class_id) {
  Cell* v = _context::get_word(word);
  return v && TYPE_OF(v) == TYPE_OBJECT && class_of(v) == class_id;
}

bool context_value_is_class_q(uint32_t ctx, uint32_t index, int32_t class_id) {
  Cell* v = _context::value_at(ctx, index);
  return v && TYPE_OF(v) == TYPE_OBJECT && class_of(v) == class_id;
}

Cell* get_field(const Cell* object, const Cell* word) {
  int32_t i = find_field(object, word);
  if (i < 0) return &none_value;
  Cell* v = _context::value_at(context_of(object), static_cast<uint32_t>(i));
  return v ? v : &none_value;
}

int32_t find_field(const Cell* object, const Cell* word) {
  return _context::find_symbol(context_of(object), word->data2, true);
}

Cell* values_head(const Cell* object) { return _context::values(context_of(object)); }
uint32_t word_count(const Cell* object) { return _context::word_count(context_of(object)); }
Cell* series_cell_at(const Cell* holder, uint32_t n) { return series_head_cell(holder->data2) + n; }
Cell* first_value(const Cell* holder) { return series_cell_at(holder, 0); }

void series_clear_new_lines(uint32_t node) {
  uint32_t n = series_length(node);
  HeldPtr<Cell> c = series_head_cell(node);
  for (uint32_t i = 0; i < n; ++i) clear_new_line(c + i);
}

void clear_changed(uint32_t ctx) {
  uint32_t n = _context::word_count(ctx);
  Cell* words = _context::word_at(ctx, 0);
  for (uint32_t i = 0; i < n; ++i) words[i].header &= ~kFlagWordChanged;
}

// ---------------------------------------------------------------------------
// Hooks.

uint32_t find_hooks(Cell* object) {
  uint32_t ctx = context_of(object);
  const uint32_t hook_words[2] = {words::symbol_of(words::WORD_ON_CHANGE_STAR),
                                  words::symbol_of(words::WORD_ON_DEEP_CHANGE_STAR)};
  int32_t found[2];
  _context::find_symbols(ctx, hook_words, found, 2);
  int32_t change = found[0];
  int32_t deep = found[1];
  if (change < 0 && deep < 0) {
    object->data3 = 0;
    sync_self(object);
    return 0;
  }
  uint32_t spec_nodes[2] = {0, 0};
  uint32_t counts[2] = {0, 0};
  int32_t at[2] = {change, deep};
  for (int k = 0; k < 2; ++k) {
    if (at[k] < 0) continue;
    Cell v = read_value(ctx, static_cast<uint32_t>(at[k]));
    if (TYPE_OF(&v) != TYPE_FUNCTION && TYPE_OF(&v) != TYPE_ROUTINE) {
      Cell w = bound_word(ctx, static_cast<uint32_t>(at[k]));
      fire(ErrorCategory::kScript, "bad-field-set", w, datatype_cell(TYPE_OF(&v)));
    }
    spec_nodes[k] = v.data2;
    counts[k] = count_locals(v.data2);
  }
  uint32_t hooks = alloc_cells(2);
  SeriesBuffer* b = node_buffer(hooks);
  b->tail = b->head + 2 * static_cast<uint32_t>(sizeof(Cell));
  for (int k = 0; k < 2; ++k) {
    uint32_t index = at[k] < 0 ? kNoHookIndex : static_cast<uint32_t>(at[k]);
    b->head_cell()[k] = Cell{TYPE_PAIR, 0, (index << 16) | (counts[k] & 0xFFFF), spec_nodes[k]};
  }
  object->data3 = hooks;
  sync_self(object);
  if (deep >= 0) {
    Cell none = none_cell();
    Cell holder = *object;
    RootedCell owner(holder);
    ownership::bind_value(owner.get(), owner.get(), &none);
  }
  return hooks;
}

bool has_deep_hook_q(uint32_t ctx) {
  return hook_index(_context::self_cell(ctx)->data3, kHookDeepChange) != kNoHookIndex;
}

void fire_on_change(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(object);
  Cell* fn = stack::push_new_cell();
  if (!hook_function(obj, kHookChange, fn)) return;
  if (TYPE_OF(fn) != TYPE_FUNCTION) {
    Cell v = *fn;
    fire(ErrorCategory::kScript, "invalid-obj-evt", v);
  }
  Cell* args = stack::push_copy(word);
  uint32_t ctx = context_of(obj);
  if (args->data1 != ctx || args->data3 == kUnresolved) {
    args->header = TYPE_WORD;
    _context::word_bind_to(ctx, args);
  }
  clear_new_line(args);
  stack::push_copy(old_value);
  stack::push_copy(new_value);
  Cell* result = stack::push_new_cell();
  eval_hooks::call_function(fn, args, 3, words::cell_of(words::WORD_ON_CHANGE_STAR), kCallbackChange, result);
}

void fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(owner);
  if (!any_object_q(TYPE_OF(obj)) || hooks_of(obj) == 0) {
    Cell o = *obj;
    fire(ErrorCategory::kScript, "invalid-obj-evt", o);
  }
  Cell* fn = stack::push_new_cell();
  if (!hook_function(obj, kHookDeepChange, fn)) return;
  if (TYPE_OF(fn) != TYPE_FUNCTION) return;
  Cell* args = stack::push_copy(obj);
  stack::push_copy(word);
  stack::push_copy(target);
  stack::push_copy(action);
  Cell* fresh = stack::push_copy(new_value);
  if (TYPE_OF(fresh) == TYPE_UNSET) *fresh = none_cell();
  *stack::push_new_cell() = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
  *stack::push_new_cell() = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(part), 0};
  for (Cell* c = args; c < stack::top(); ++c) clear_new_line(c);
  Cell* result = stack::push_new_cell();
  eval_hooks::call_function(fn, args, 7, words::cell_of(words::WORD_ON_DEEP_CHANGE_STAR), kCallbackDeep,
                              result);
}

// ---------------------------------------------------------------------------
// Natives' parts.

void set_many(Cell* object, Cell* value, bool any, bool only, bool some) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(object);
  Cell* val = stack::push_copy(value);
  uint32_t ctx = context_of(obj);
  uint32_t n = _context::word_count(ctx);
  bool hooks = hooks_of(obj) != 0;
  enum class From { kBlock, kObject, kSame } from = From::kSame;
  if (!only && TYPE_OF(val) == TYPE_BLOCK) from = From::kBlock;
  else if (!only && any_object_q(TYPE_OF(val))) from = From::kObject;

  // The value word i takes; false when it takes none from the source object
  // (the source lacks the word).
  auto value_for = [&](uint32_t i, Cell* out) -> bool {
    switch (from) {
      case From::kBlock: {
        uint32_t k = block::rs_tail_q(val) ? series_length(val->data2) : val->data1;
        k += i;
        *out = k < series_length(val->data2) ? series_head_cell(val->data2)[k] : none_cell();
        clear_new_line(out);
        return true;
      }
      case From::kObject: {
        Cell w = *_context::word_at(ctx, i);
        int32_t at = _context::find_symbol(context_of(val), w.data2, true);
        if (at < 0) return false;
        *out = read_value(context_of(val), static_cast<uint32_t>(at));
        return true;
      }
      default:
        *out = *val;
        return true;
    }
  };

  if (!any && !only && !some) {
    for (uint32_t i = 0; i < n; ++i) {
      Cell v;
      if (!value_for(i, &v)) continue;
      if (TYPE_OF(&v) == TYPE_UNSET) {
        Cell w = bound_word(ctx, i);
        fire(ErrorCategory::kScript, "need-value", w);
      }
    }
  }
  for (uint32_t i = 0; i < n && i < _context::word_count(ctx); ++i) {
    Cell v;
    if (!value_for(i, &v)) continue;
    if (some && TYPE_OF(&v) == TYPE_NONE) continue;
    Cell w = bound_word(ctx, i);
    if (hooks) {
      if (hook_symbol_q(w.data2)) continue;
      _context::set_in(&w, &v, ctx, true);
    } else {
      _context::set_in(&w, &v, ctx, false);
    }
  }
}

void set_from_spec(uint32_t ctx, const Cell* spec_in, bool only) {
  stack::TopGuard guard;
  RootedNode keep(ctx);
  Cell* spec = stack::push_copy(spec_in);
  uint32_t node = spec->data2;
  uint32_t i = spec->data1;
  while (i < series_length(node)) {
    Cell c = series_head_cell(node)[i];
    if (TYPE_OF(&c) != TYPE_SET_WORD) {
      ++i;
      continue;
    }
    uint32_t first = i;
    while (i < series_length(node) && TYPE_OF(&series_head_cell(node)[i]) == TYPE_SET_WORD) ++i;
    Cell* value = stack::push_new_cell();
    *value = i < series_length(node) ? series_head_cell(node)[i] : none_cell();
    clear_new_line(value);
    if (!only && TYPE_OF(value) == TYPE_WORD) {
      uint32_t s = value->data2;
      if (symbol_is(s, words::SYM_TRUE) || symbol_is(s, words::SYM_YES) || symbol_is(s, words::SYM_ON))
        *value = logic_cell(true);
      else if (symbol_is(s, words::SYM_FALSE) || symbol_is(s, words::SYM_NO) || symbol_is(s, words::SYM_OFF))
        *value = logic_cell(false);
      else if (symbol_is(s, words::SYM_NONE))
        *value = none_cell();
    }
    for (uint32_t k = first; k < i; ++k) {
      Cell w = series_head_cell(node)[k];
      w.header = TYPE_WORD;
      _context::put_symbol(ctx, &w, value);
    }
    stack::drop_cells(1);
  }
}

void construct(Cell* out, const Cell* spec, const Cell* prototype, bool only) {
  stack::TopGuard guard;
  Cell* spec_held = stack::push_copy(spec);
  Cell* obj = stack::push_new_cell();
  bool grew = false;
  if (prototype) {
    copy_object(prototype, obj, false, nullptr, true);
    obj->data3 = 0;
    sync_self(obj);
    uint32_t before = _context::word_count(obj->data1);
    set_from_spec(obj->data1, spec_held, only);
    grew = _context::word_count(obj->data1) != before;
  } else {
    init_new(obj, kNewObjectWords);
    set_from_spec(obj->data1, spec_held, only);
    grew = true;
  }
  if (grew) obj->data2 = static_cast<uint32_t>(next_class_id());
  sync_self(obj);
  find_hooks(obj);
  *out = *obj;
}

void copy_values_from(const Cell* source, Cell* target) {
  stack::TopGuard guard;
  Cell* src = stack::push_copy(source);
  Cell* dst = stack::push_copy(target);
  uint32_t n = _context::word_count(src->data1);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t symbol = _context::word_at(src->data1, i)->data2;
    int32_t at = _context::find_symbol(dst->data1, symbol, true);
    if (at < 0) continue;
    Cell* v = stack::push_new_cell();
    *v = read_value(src->data1, i);
    if (copied_series_q(TYPE_OF(v))) copy_series_value(v, false);
    *_context::value_at(dst->data1, static_cast<uint32_t>(at)) = *v;
    stack::drop_cells(1);
  }
}

// ---------------------------------------------------------------------------
// Handlers.

namespace {

// make object! with a spec block and no prototype, for a spec of up to eight
// set-words: the context is made, its words collected and the spec bound to
// it in one walk of the spec; the hook words are looked for only when the
// spec named one or its evaluation added words. False, having done nothing,
// for a longer spec.
bool make_from_block(Cell* type, Cell* spec) {
  stack::TopGuard guard;
  Cell* obj = stack::push_new_cell();
  Cell* code = stack::push_copy(spec);
  const uint32_t hook_words[2] = {words::symbol_of(words::WORD_ON_CHANGE_STAR),
                                  words::symbol_of(words::WORD_ON_DEEP_CHANGE_STAR)};
  int32_t hooks[2];
  const uint32_t ctx = _context::object_for_block(code, hook_words, hooks, 2);
  if (!ctx) return false;
  *obj = Cell{TYPE_OBJECT, ctx, 0, 0};
  sync_self(obj);
  const uint32_t collected = series_length(_context::record(ctx)->data1);  // no word table yet
  eval_hooks::evaluate_block(code, false);
  // The spec ran: no changed marks, no new-line marks on the values.
  clear_changed(ctx);
  series_clear_new_lines(_context::record(ctx)->data2);
  obj->data2 = static_cast<uint32_t>(next_class_id());
  *_context::self_cell(ctx) = *obj;
  if (hooks[0] >= 0 || hooks[1] >= 0 || _context::word_count(ctx) != collected) find_hooks(obj);
  *type = *obj;
  return true;
}

}  // namespace

Cell* make(Cell* type, Cell* spec) {
  bool prototype = any_object_q(TYPE_OF(type));
  uint32_t spec_type = TYPE_OF(spec);
  if (!prototype && spec_type == TYPE_BLOCK && make_from_block(type, spec)) return type;
  stack::TopGuard guard;
  Cell* obj = stack::push_new_cell();
  if (spec_type != TYPE_BLOCK && !any_object_q(spec_type)) {
    Cell s = *spec;
    fire(ErrorCategory::kSyntax, "malconstruct", s);
  }
  if (prototype) {
    copy_object(type, obj, false, nullptr, true);
    set_type(obj, TYPE_OBJECT);
  } else {
    init_new(obj, spec_type == TYPE_BLOCK ? set_word_count(spec) : kNewObjectWords);
  }
  // Nothing fires while the spec is applied: hooks are found afterwards.
  obj->data3 = 0;
  sync_self(obj);
  uint32_t ctx = context_of(obj);
  bool grew = false;

  if (any_object_q(spec_type)) {
    Cell* source = stack::push_copy(spec);
    uint32_t n = _context::word_count(source->data1);
    for (uint32_t i = 0; i < n; ++i) {
      stack::TopGuard step;
      Cell w = bound_word(source->data1, i);
      if (_context::find_symbol(ctx, w.data2, true) < 0) grew = true;
      Cell* v = stack::push_new_cell();
      *v = read_value(source->data1, i);
      if (copied_series_q(TYPE_OF(v))) copy_series_value(v, false);
      _context::put_symbol(ctx, &w, v);
      if (TYPE_OF(v) == TYPE_FUNCTION)
        copy_function(ctx, static_cast<uint32_t>(_context::find_symbol(ctx, w.data2, true)));
    }
  } else {
    Cell* code = stack::push_copy(spec);
    grew = _context::collect_set_words(ctx, code);
    _context::bind_block(code, ctx, true);
    if (prototype) refresh_values(ctx, false, SeriesCopy::kMake);
    eval_hooks::evaluate_block(code, false);
    stack::drop_cells(1);
    clear_changed(ctx);
    Cell* rec = _context::record(ctx);
    if (rec->data2) series_clear_new_lines(rec->data2);
  }
  if (grew || !prototype) obj->data2 = static_cast<uint32_t>(next_class_id());
  sync_self(obj);
  find_hooks(obj);
  *type = *obj;
  return type;
}

Cell* reflect(Cell* value, Cell* field) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(value);
  uint32_t ctx = context_of(obj);
  uint32_t n = _context::word_count(ctx);
  Cell* out = stack::push_new_cell();
  if (field_is(field, words::WORD_CHANGED)) {
    block::init_cell(out, 4);
    for (uint32_t i = 0; i < n; ++i) {
      if (!(_context::word_at(ctx, i)->header & kFlagWordChanged)) continue;
      Cell w = bound_word(ctx, i);
      block::append_cell(out, &w);
    }
  } else if (field_is(field, words::SYM_CLASS)) {
    *out = Cell{TYPE_INTEGER, 0, obj->data2, 0};
  } else if (field_is(field, words::SYM_WORDS)) {
    block::init_cell(out, static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
      Cell w = bound_word(ctx, i);
      block::append_cell(out, &w);
    }
  } else if (field_is(field, words::SYM_VALUES)) {
    block::init_cell(out, static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
      Cell v = read_value(ctx, i);
      clear_new_line(&v);
      block::append_cell(out, &v);
    }
  } else if (field_is(field, words::SYM_BODY)) {
    block::init_cell(out, static_cast<int32_t>(2 * n));
    for (uint32_t i = 0; i < n; ++i) {
      Cell w = bound_word(ctx, i, TYPE_SET_WORD);
      w.header |= kFlagNewLine;
      block::append_cell(out, &w);
      Cell v = read_value(ctx, i);
      clear_new_line(&v);
      if (TYPE_OF(&v) == TYPE_WORD) set_type(&v, TYPE_LIT_WORD);
      else if (TYPE_OF(&v) == TYPE_PATH) set_type(&v, TYPE_LIT_PATH);
      block::append_cell(out, &v);
    }
  } else if (field_is(field, words::SYM_OWNER)) {
    *out = logic_cell((_context::record(ctx)->header & kFlagOwned) != 0);
  } else if (field_is(field, words::SYM_EVENTS_Q)) {
    *out = logic_cell(hooks_of(obj) != 0);
  } else {
    fire(ErrorCategory::kInternal, "not-done");
  }
  *value = *out;
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(value);
  if (support::cycle_stack::mold_placeholder(obj, string::node_of(buffer), &limit, true)) return limit;
  support::cycle_stack::Entry visiting(context_of(obj));
  return write_body(obj, buffer, {}, false, 0, false, part, limit);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  return mold_as(value, buffer, "make object! [", flags, part, limit, indent);
}

int32_t mold_as(Cell* value, Cell* buffer, const char* opener, MoldFlags flags, Cell* part, int32_t limit,
                int32_t indent) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(value);
  if (support::cycle_stack::mold_placeholder(obj, string::node_of(buffer), &limit, true)) return limit;
  support::cycle_stack::Entry visiting(context_of(obj));
  if (!flags.only) {
    string::append_text(buffer, opener);
    limit -= static_cast<int32_t>(std::strlen(opener));
  }
  limit = write_body(obj, buffer, flags, true, indent + 1, true, part, limit);
  if (!flags.flat && indent >= 1) limit = mold_indent(string::node_of(buffer), indent, limit);
  if (!flags.only) {
    string::append_text(buffer, "]");
    --limit;
  }
  return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* /*grand_parent*/,
                Cell* /*prev_element*/, int32_t /*index*/, PathFlags flags) {
  uint32_t t = TYPE_OF(element);
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
    Cell p = path ? *path : *element;
    Cell e = *element;
    fire(ErrorCategory::kScript, "invalid-path", p, e);
  }
  uint32_t ctx = context_of(parent);
  int32_t at = _context::find_symbol(ctx, element->data2, true);
  if (at < 0) {
    if (flags.get && flags.tail && !value) return &none_value;
    fire_absent(flags.tail, path, element);
  }
  if (value && hooks_of(parent) == 0 && !_context::on_stack_q(ctx)) {
    // No hook to call: the store and the changed mark set_in would make.
    if (Cell* slot = _context::value_at(ctx, static_cast<uint32_t>(at))) {
      if (_context::object_q(ctx)) _context::word_at(ctx, static_cast<uint32_t>(at))->header |= kFlagWordChanged;
      *slot = *value;
      return value;
    }
  }
  Cell word = bound_word(ctx, static_cast<uint32_t>(at));
  if (value) {
    stack::TopGuard guard;
    Cell* obj = stack::push_copy(parent);
    Cell* fresh = stack::push_copy(value);
    bool hooks = hooks_of(obj) != 0;
    Cell* old = stack::push_new_cell();
    if (hooks) *old = read_value(ctx, static_cast<uint32_t>(at));
    _context::set_in(&word, fresh, ctx, false);
    if (hooks) fire_on_change(obj, &word, old, fresh);
    return value;
  }
  Cell* slot = _context::value_at(ctx, static_cast<uint32_t>(at));
  if (!slot || TYPE_OF(slot) == TYPE_UNSET || TYPE_OF(slot) == 0) {
    if (flags.get && flags.tail) return &none_value;
    fire_absent(flags.tail, path, element);
  }
  return slot;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_OF(value1)) return kNotComparable;
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
    Cell va = read_value(a, i), vb = read_value(b, i);
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

Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types) {
  if (part) {
    Cell p = *part;
    Cell name = words::cell_of(words::REF_PART) ? *words::cell_of(words::REF_PART) : none_cell();
    fire(ErrorCategory::kScript, "invalid-refine-arg", name, p);
  }
  copy_object(value, destination, deep, types, false);
  return destination;
}

Cell* put(Cell* series, Cell* key, Cell* value, bool /*case_sensitive*/) {
  if (TYPE_OF(key) != TYPE_WORD) {
    Cell k = *key;
    fire(ErrorCategory::kScript, "invalid-key-type", k);
  }
  eval_path(series, key, value, nullptr, nullptr, nullptr, 1, {.tail = true});
  return value;
}

Cell* select(Cell* series, Cell* value, const FindOptions&) {
  if (!word::any_word_q(TYPE_OF(value))) {
    Cell k = *value;
    fire(ErrorCategory::kScript, "invalid-type", k);
  }
  int32_t at = _context::find_symbol(context_of(series), value->data2, true);
  Cell found = at < 0 ? none_cell() : read_value(context_of(series), static_cast<uint32_t>(at));
  *series = found;
  return series;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool /*case_sensitive*/) {
  stack::TopGuard guard;
  Cell* obj = stack::push_copy(target);
  uint32_t ctx = context_of(obj);
  if (field_is(field, words::WORD_CHANGED)) {
    if (TYPE_OF(value) != TYPE_NONE) {
      Cell v = *value;
      fire(ErrorCategory::kScript, "invalid-arg", v);
    }
    clear_changed(ctx);
  } else if (field_is(field, words::SYM_OWNER)) {
    Cell none = none_cell();
    ownership::bind_value(obj, obj, &none);
  } else if (field_is(field, words::SYM_OWNED)) {
    if (TYPE_OF(value) == TYPE_NONE) {
      ownership::unbind(obj);
      _context::record(ctx)->header &= ~kFlagOwned;
      uint32_t n = _context::word_count(ctx);
      for (uint32_t i = 0; i < n; ++i) {
        Cell* v = _context::value_at(ctx, i);
        if (v) ownership::unbind(v);
      }
    } else if (TYPE_OF(value) == TYPE_BLOCK && block::rs_length_q(value) >= 2) {
      Cell* owner = stack::push_copy(block::rs_head(value));
      Cell* word = stack::push_copy(block::rs_head(value) + 1);
      if (any_object_q(TYPE_OF(owner))) ownership::bind_value(obj, owner, word);
    }
  }
  return value;
}

void init() {
  datatype::register_type(TYPE_OBJECT, 0, "object!", {
      own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_COPY>(copy),
      own<ACT_PUT>(put), own<ACT_SELECT>(select), own<ACT_MODIFY>(modify),
  });
  _context::set_change_hook(change_hook);
  ownership::set_deep_change_handler(deep_change_handler);
  ownership::set_object_walker(walk_owned_object);
}

}  // namespace kiv::object
