#include "runtime/eval/natives_value.h"

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/natives_core.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv::natives {
namespace {

inline Cell* arg(int32_t n) { return stack::arguments() + n; }
inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }

bool path_q(uint32_t t) { return any_path_type_q(t); }

// The value a number of bytes stands for: integer! when it fits, else float!.
Cell byte_count(double bytes) {
  if (bytes <= 2147483647.0) return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int64_t>(bytes)), 0};
  Cell c{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&c, bytes);
  return c;
}

// Appends a value to the block, starting a new line.
void append_line(Cell* block, Cell value) {
  value.header |= kFlagNewLine;
  block::append_cell(block, &value);
}

// The block stats/info and stats/show hand out (a rooted cell).
void memory_info(Cell* out) {
  MemoryStats s = memory_stats();
  block::init_cell(out, 5);
  auto triples = [&](const std::vector<MemoryStats::Frame>& frames) {
    Cell* list = stack::push_new_cell();
    block::init_cell(list, static_cast<int32_t>(frames.size()));
    for (const MemoryStats::Frame& f : frames) {
      Cell* triple = stack::push_new_cell();
      block::init_cell(triple, 3);
      Cell free = byte_count(static_cast<double>(f.free));
      Cell used = byte_count(static_cast<double>(f.used));
      Cell total = byte_count(static_cast<double>(f.total));
      block::append_cell(triple, &free);
      block::append_cell(triple, &used);
      block::append_cell(triple, &total);
      append_line(list, *triple);
      stack::drop_cells(1);
    }
    append_line(out, *list);
    stack::drop_cells(1);
  };
  triples(s.node_frames);
  triples(s.series_frames);
  Cell* big = stack::push_new_cell();
  block::init_cell(big, static_cast<int32_t>(s.big_series.size()));
  for (uint64_t size : s.big_series) append_line(big, byte_count(static_cast<double>(size)));
  append_line(out, *big);
  stack::drop_cells(1);
  append_line(out, byte_count(memory_in_use()));
  append_line(out, byte_count(static_cast<double>(s.os_total)));
}

// The context a value names for bind and in: a word's own context, an
// object's or function's context, a native's or action's spec context.
uint32_t context_of_value(const Cell* v) {
  uint32_t t = TYPE_OF(v);
  if (word::any_word_q(t)) {
    if (v->data1 == 0) fire(ErrorCategory::kScript, "not-defined", *v);
    return v->data1;
  }
  if (object::any_object_q(t) || t == TYPE_FUNCTION || t == TYPE_ROUTINE) return v->data1;
  if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP) {
    HeldPtr<const Cell> ctx = series_head_cell(native::aux_node(v)) + native::kAuxContext;
    if (TYPE_OF(ctx) == TYPE_CONTEXT) return ctx->data2;
    return 0;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Paths outside evaluation.

void path_access(const Cell* path_value, const Cell* new_value, bool case_sensitive) {
  uint32_t slot = stack::top_index();
  // slot+0 the path, +1 the value before the parent, +2 the parent, +3 the
  // element, +4 the previous element, +5 the value to write.
  Cell* p = stack::push_copy(path_value);
  clear_new_line(p);
  stack::push_new_cell();
  stack::push_new_cell();
  stack::push_new_cell();
  stack::push_new_cell();
  Cell* fresh = stack::push_new_cell();
  if (new_value) *fresh = *new_value;
  bool set = new_value != nullptr;
  bool get = TYPE_OF(p) == TYPE_GET_PATH;
  uint32_t node = p->data2;
  uint32_t head = p->data1;
  uint32_t length = series_length(node) > head ? series_length(node) - head : 0;
  if (length == 0) fire(ErrorCategory::kScript, "empty-path");
  Cell first = series_head_cell(node)[head];
  if (TYPE_OF(&first) != TYPE_WORD) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "word-first", path);
  }
  if (set && length == 1) {
    _context::set_word(&first, fresh);
    Cell result = *fresh;
    stack::drop_cells(stack::top_index() - slot);
    stack::push_copy(&result);
    return;
  }
  Cell value = *_context::get_word(&first);
  if (TYPE_OF(&value) == TYPE_UNSET || TYPE_OF(&value) == 0) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "unset-path", path, first);
  }
  *stack::at(slot + 2) = value;
  *stack::at(slot + 4) = first;
  for (uint32_t k = 1; k < length; ++k) {
    Cell element = series_head_cell(stack::at(slot)->data2)[stack::at(slot)->data1 + k];
    if (TYPE_OF(&element) == TYPE_GET_WORD) {
      element = *_context::get_word(&element);
    } else if (TYPE_OF(&element) == TYPE_PAREN) {
      interpreter::evaluate_block(&element, false);
      element = *stack::last_pushed();
      stack::drop_cells(1);
    }
    if (TYPE_OF(&element) == TYPE_UNSET) {
      Cell path = *stack::at(slot);
      fire(ErrorCategory::kScript, "invalid-path", path, element);
    }
    clear_new_line(&element);
    *stack::at(slot + 3) = element;
    bool last = k + 1 == length;
    Cell* parent = stack::at(slot + 2);
    Handler h = get_path_action_handler(parent, ACT_EVAL_PATH, stack::at(slot), stack::at(slot + 3),
                                        static_cast<int32_t>(k));
    Cell* set_value = nullptr;
    if (set && last) set_value = stack::push_copy(stack::at(slot + 5));
    Cell* result = handler_as<ACT_EVAL_PATH>(h)(parent, stack::at(slot + 3), set_value, stack::at(slot),
                                                stack::at(slot + 1), stack::at(slot + 4),
                                                static_cast<int32_t>(k), {.case_sensitive = case_sensitive, .get = get, .tail = last});
    Cell next = result ? *result : none_cell();
    stack::drop_cells(stack::top_index() - (slot + 6));
    *stack::at(slot + 1) = *stack::at(slot + 2);
    *stack::at(slot + 2) = next;
    *stack::at(slot + 4) = *stack::at(slot + 3);
  }
  Cell result = set ? *stack::at(slot + 5) : *stack::at(slot + 2);
  stack::drop_cells(stack::top_index() - slot);
  stack::push_copy(&result);
}

double memory_in_use() {
  MemoryStats s = memory_stats();
  double nodes = 0;
  for (const MemoryStats::Frame& f : s.node_frames) nodes += static_cast<double>(f.used);
  return 4.0 * nodes + static_cast<double>(s.series_used);
}

bool same_core(const Cell* a, const Cell* b) {
  uint32_t t = TYPE_OF(a);
  if (t != TYPE_OF(b)) return false;
  if (series_group_q(t)) return a->data1 == b->data1 && a->data2 == b->data2;  // same series, same head
  switch (t) {
    case TYPE_NONE:
    case TYPE_UNSET:
      return true;
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_OBJECT:
      return a->data1 == b->data1;
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_BITSET:
      return a->data2 == b->data2;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_PAIR:
    case TYPE_TIME:
      return a->data2 == b->data2 && a->data3 == b->data3;
    case TYPE_MONEY: {
      RootedCell x(*a), y(*b);
      return dispatch_compare(x.get(), y.get(), COMP_SAME) == 0;
    }
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_POINT2D:
      return a->data1 == b->data1 && a->data2 == b->data2;
    case TYPE_OP:
      return a->data2 == b->data2 && a->data3 == b->data3;
    default:
      return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
  }
}

// ---------------------------------------------------------------------------
// The natives.

// get: word [any-word! any-path! object!] /any /case.
void get(int32_t, const int32_t* refs) {
  bool any = refined(refs, 0);
  Cell target = *arg(0);
  uint32_t t = TYPE_OF(&target);
  Cell result;
  if (path_q(t)) {
    path_access(&target, nullptr, refined(refs, 1));
    result = *stack::last_pushed();
  } else if (object::any_object_q(t)) {
    Cell* field = stack::push_new_cell();
    *field = *words::cell_of(words::SYM_VALUES);
    if (TYPE_OF(field) != TYPE_WORD) word::init_global(words::symbol_of(words::SYM_VALUES), field);
    dispatch_reflect(arg(0), field);
    result = *arg(0);
  } else {
    result = *_context::get_word(&target);
    if (TYPE_OF(&result) == 0) set_unset(&result);
  }
  if (!any && TYPE_OF(&result) == TYPE_UNSET) fire(ErrorCategory::kScript, "no-value", target);
  stack::set_only_result(&result);
}

// set: word [any-word! block! object! any-path!] value /any /case /only /some.
void set_value(int32_t check, const int32_t* refs) {
  Cell target = *arg(0);
  uint32_t t = TYPE_OF(&target);
  bool any = refined(refs, 0);
  if (!any && TYPE_OF(arg(1)) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", target);
  if (object::any_object_q(t)) {
    object::set_many(arg(0), arg(1), any, refined(refs, 2), refined(refs, 3));
  } else if (path_q(t)) {
    path_access(&target, arg(1), refined(refs, 1));
  } else {
    natives::set(check, refs);
    return;
  }
  Cell value = *arg(1);
  stack::set_only_result(&value);
}

void same_q(int32_t, const int32_t*) {
  bool same = same_core(arg(0), arg(1));
  Cell r{TYPE_LOGIC, same ? 1u : 0u, 0, 0};
  stack::set_only_result(&r);
}

// stats: /show /info.
void stats(int32_t, const int32_t* refs) {
  bool show = refined(refs, 0), info = refined(refs, 1);
  if (!show && !info) {
    Cell r = byte_count(memory_in_use());
    stack::set_only_result(&r);
    return;
  }
  Cell* block = stack::push_new_cell();
  memory_info(block);
  if (!show) {
    Cell r = *block;
    stack::set_only_result(&r);
    return;
  }
  Cell word;
  word::init_global(symbol::intern("show-memory-stats"), &word);
  Cell* fn = stack::push_copy(get_word_value_checked(&word));
  if (TYPE_OF(fn) != TYPE_FUNCTION) fire(ErrorCategory::kScript, "invalid-arg", *fn);
  Cell* result = stack::push_new_cell();
  interpreter::call_function(fn, block, 1, &word, 0, result);
  Cell unset{TYPE_UNSET, 0, 0, 0};
  stack::set_only_result(&unset);
}

// bind: word [block! any-word!] context [any-word! any-object! function!] /copy.
void bind(int32_t, const int32_t* refs) {
  uint32_t ctx = context_of_value(arg(1));
  Cell* target = arg(0);
  if (ctx == 0) {
    Cell v = *arg(1);
    fire(ErrorCategory::kScript, "invalid-arg", v);
  }
  if (word::any_word_q(TYPE_OF(target))) {
    _context::word_bind_to(ctx, target);
    stack::keep_first();
    return;
  }
  if (refined(refs, 0)) {
    Cell* copy = stack::push_copy(target);
    copy->data2 = block::copy_cells(target, true, true);
    copy->data1 = 0;
    *target = *copy;
  }
  RootedNode keep(ctx);
  _context::bind_block(target, ctx, _context::object_q(ctx));
  stack::keep_first();
}

// in: object [any-object! any-function!] word [any-word! refinement!].
void in(int32_t, const int32_t*) {
  uint32_t ctx = context_of_value(arg(0));
  Cell word = *arg(1);
  int32_t at = ctx ? _context::find_symbol(ctx, word.data2, true) : -1;
  if (at < 0) {
    Cell none = none_cell();
    stack::set_only_result(&none);
    return;
  }
  if (TYPE_OF(&word) == TYPE_REFINEMENT) set_type(&word, TYPE_WORD);
  word.data1 = ctx;
  word.data3 = static_cast<uint32_t>(at);
  clear_new_line(&word);
  stack::set_only_result(&word);
}

// construct: block [block!] /with object [object!] /only.
void construct(int32_t, const int32_t* refs) {
  Cell* out = stack::push_new_cell();
  const Cell* prototype = refined(refs, 0) ? arg(refs[0]) : nullptr;
  object::construct(out, arg(0), prototype, refined(refs, 1));
  Cell r = *out;
  stack::set_only_result(&r);
}

}  // namespace kiv::natives
