#include "runtime/eval/natives_core.h"

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/natives.h"
#include "runtime/print_hooks.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::natives {
namespace {

bool g_last_line_feed = true;

inline Cell* arg(int32_t n) { return stack::arguments() + n; }

inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

void result_none() {
  Cell none{TYPE_NONE, 0, 0, 0};
  stack::set_only_result(&none);
}

// The index of a series value clamped to its tail.
uint32_t clamped_index(Cell* series) {
  uint32_t tail = series_length(series->data2);
  if (series->data1 > tail) series->data1 = tail;
  return series->data1;
}

// Evaluates the block argument n into the result cell.
// if, unless and either end right after it: the interpreter lets a quick
// return, break or continue pass their frames (runtime/eval/interpreter.h).
void evaluate_branch(int32_t n) {
  Cell block = *arg(n);
  interpreter::evaluate_block(&block, true);
  stack::keep_first();
}

// Evaluates one value as an expression (a word gives its value, a path is
// evaluated, a function is called) and pushes the result.
void evaluate_single(const Cell* value) {
  Cell* holder = stack::push_new_cell();
  block::init_cell(holder, 1);
  Cell v = *value;
  block::append_cell(holder, &v);
  Cell code = *holder;
  interpreter::evaluate_next(&code, 0, true);
  copy_cell(stack::last_pushed(), holder);
  stack::drop_cells(1);
}

// The lenient truth test with unset allowed; the strict one raises no-return.
bool strict_true(const Cell* v) {
  if (TYPE_OF(v) == TYPE_UNSET) fire(ErrorCategory::kScript, "no-return");
  return !logic::falsy(v);
}

// Appends or inserts a value at out (a stable cell): appended when out was
// at its tail when the native began (append, decided once: the first value
// appended leaves out before the new tail), else inserted at out's
// position, which then moves past it.
void put_into(Cell* out, Cell* value, bool append) {
  if (append) {
    Cell series = *out;
    dispatch_append(&series, value, -1, true, 1);
  } else {
    Cell* after = dispatch_insert(out, value, -1, true, 1);
    if (after) *out = *after;
  }
}

// Cuts the print scratch block back to the length it had when the scope
// began, on every exit: a print that a reduction ran, or an error, leaves
// nothing behind.
class ScratchMark {
 public:
  explicit ScratchMark(uint32_t node) : node_(node), length_(series_length(node)) {}
  ~ScratchMark() {
    Cell block{TYPE_BLOCK, 0, node_, 0};
    block::truncate_at(&block, static_cast<int32_t>(length_));
  }
  uint32_t length() const { return length_; }
  ScratchMark(const ScratchMark&) = delete;
  ScratchMark& operator=(const ScratchMark&) = delete;

 private:
  uint32_t node_;
  uint32_t length_;
};

// Output of print and prin: the value (a block reduced first, into the
// native table's scratch block after what an enclosing print keeps there)
// formed and handed to the print hooks with the new-line flag.
void print_core(bool new_line) {
  Cell* value = arg(0);
  uint32_t scratch = print_scratch_block();
  ScratchMark mark(scratch);
  if (TYPE_OF(value) == TYPE_BLOCK) {
    Cell code = *value;
    Cell into{TYPE_BLOCK, mark.length(), scratch, 0};
    uint32_t pos = clamped_index(&code);
    while (pos < interpreter::code_tail(&code)) {
      pos = interpreter::evaluate_next(&code, pos, true);
      Cell* v = stack::last_pushed();
      v->header &= ~kFlagNewLine;
      block::append_cell(&into, v);
      stack::drop_cells(1);
    }
    *value = into;
  }
  Cell* text;
  if (TYPE_OF(value) == TYPE_STRING) {
    text = value;
    clamped_index(text);
  } else {
    text = stack::push_new_cell();
    string::init_cell(text, 16);
    dispatch_form(value, text, nullptr, kNoPartLimit);
  }
  call_value_hooks(text, new_line ? 1 : 0);
  g_last_line_feed = new_line;
  Cell unset{TYPE_UNSET, 0, 0, 0};
  stack::set_only_result(&unset);
}

// reduce of a block into a new block (or into out): one expression at a time,
// each value without its new-line marker.
void reduce_block(Cell* out, bool into, bool append) {
  Cell code = *arg(0);
  uint32_t pos = clamped_index(&code);
  while (pos < interpreter::code_tail(&code)) {
    pos = interpreter::evaluate_next(&code, pos, true);
    Cell* v = stack::last_pushed();
    v->header &= ~kFlagNewLine;
    if (into) {
      put_into(out, v, append);
    } else {
      block::append_cell(out, v);
    }
    stack::drop_cells(1);
  }
}

// compose into out (a stable cell on the stack): parens evaluated and their
// values inserted (blocks spliced unless only), nested blocks composed with
// deep, everything else copied.
void compose_core(const Cell* input, Cell* out, bool deep, bool only, bool into, bool append) {
  Cell code = *input;
  uint32_t node = code.data2;
  for (uint32_t i = clamped_index(&code); i < series_length(node); ++i) {
    Cell v = series_head_cell(node)[i];
    if (TYPE_OF(&v) == TYPE_BLOCK && deep) {
      Cell* nested = stack::push_new_cell();
      block::init_cell(nested, block::rs_length_q(&v));
      nested->header |= v.header & kFlagNewLine;
      stack::push_copy(&v);
      compose_core(stack::last_pushed(), nested, true, only, false, false);
      stack::drop_cells(1);
      if (into) put_into(out, nested, append);
      else block::append_cell(out, nested);
      stack::drop_cells(1);
      continue;
    }
    if (TYPE_OF(&v) != TYPE_PAREN) {
      Cell* copy = stack::push_copy(&v);
      if (into) put_into(out, copy, append);
      else block::append_cell(out, copy);
      stack::drop_cells(1);
      continue;
    }
    if (block::rs_tail_q(&v)) continue;  // an empty paren contributes nothing
    interpreter::evaluate_block(&v, false);
    Cell* r = stack::last_pushed();
    uint32_t t = TYPE_OF(r);
    if (t == TYPE_UNSET || (t == TYPE_BLOCK && !only && block::rs_tail_q(r))) {
      stack::drop_cells(1);
      continue;
    }
    if (t == TYPE_BLOCK && !only) {
      Cell spliced = *r;
      uint32_t snode = spliced.data2;
      for (uint32_t k = clamped_index(&spliced); k < series_length(snode); ++k) {
        Cell* item = stack::push_copy(series_head_cell(snode) + k);
        if (into) put_into(out, item, append);
        else block::append_cell(out, item);
        stack::drop_cells(1);
      }
    } else {
      if (into) put_into(out, r, append);
      else block::append_cell(out, r);
    }
    stack::drop_cells(1);
  }
}

}  // namespace

bool last_line_feed() { return g_last_line_feed; }

int32_t branch_of(uint32_t native_index, const Cell* args) {
  switch (static_cast<NativeId>(native_index)) {
    case NativeId::kIf:
      return logic::falsy(args) ? -1 : 1;
    case NativeId::kUnless:
      return logic::falsy(args) ? 1 : -1;
    default:
      return strict_true(args) ? 1 : 2;
  }
}

void if_(int32_t, const int32_t*) {
  int32_t n = branch_of(native_index(NativeId::kIf), arg(0));
  if (n < 0) return result_none();
  evaluate_branch(n);
}

void unless_(int32_t, const int32_t*) {
  int32_t n = branch_of(native_index(NativeId::kUnless), arg(0));
  if (n < 0) return result_none();
  evaluate_branch(n);
}

void either_(int32_t, const int32_t*) { evaluate_branch(branch_of(native_index(NativeId::kEither), arg(0))); }

void any_(int32_t, const int32_t*) {
  Cell code = *arg(0);
  uint32_t pos = clamped_index(&code);
  while (pos < interpreter::code_tail(&code)) {
    pos = interpreter::evaluate_next(&code, pos, true);
    Cell v = *stack::last_pushed();
    stack::drop_cells(1);
    if (!logic::falsy(&v)) {
      stack::set_only_result(&v);
      return;
    }
  }
  result_none();
}

void all_(int32_t, const int32_t*) {
  Cell code = *arg(0);
  uint32_t pos = clamped_index(&code);
  if (pos >= interpreter::code_tail(&code)) return result_none();
  Cell last{TYPE_NONE, 0, 0, 0};
  while (pos < interpreter::code_tail(&code)) {
    pos = interpreter::evaluate_next(&code, pos, true);
    last = *stack::last_pushed();
    stack::drop_cells(1);
    if (logic::falsy(&last)) return result_none();
  }
  // Nothing has allocated since the last value was dropped.
  stack::set_only_result(&last);
}

// set: /any, /case, /only, /some. Word and block targets; object and path
// targets come with their datatypes.
void set(int32_t, const int32_t* refs) {
  Cell target = *arg(0);
  Cell value = *arg(1);
  bool any = refined(refs, 0);
  if (!any && TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", target);
  uint32_t t = TYPE_OF(&target);
  if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) {
    _context::set_word(&target, &value);
  } else if (t == TYPE_BLOCK) {
    bool only = refined(refs, 2), some = refined(refs, 3);
    bool spread = TYPE_OF(&value) == TYPE_BLOCK && !only;
    uint32_t from = spread ? clamped_index(&value) : 0;
    for (uint32_t i = clamped_index(&target); i < series_length(target.data2); ++i) {
      Cell word = series_head_cell(target.data2)[i];
      if (TYPE_OF(&word) < TYPE_WORD || TYPE_OF(&word) > TYPE_REFINEMENT) continue;
      Cell v = value;
      if (spread) {
        uint32_t k = from + (i - target.data1);
        v = k < series_length(value.data2) ? series_head_cell(value.data2)[k] : Cell{TYPE_NONE, 0, 0, 0};
        if (some && TYPE_OF(&v) == TYPE_NONE) continue;
        if (!any && TYPE_OF(&v) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", word);
      }
      _context::set_word(&word, &v);
    }
  } else {
    fire(ErrorCategory::kInternal, "not-done");
  }
  stack::set_only_result(&value);
}

void print(int32_t, const int32_t*) { print_core(true); }
void prin(int32_t, const int32_t*) { print_core(false); }

// reduce: /into out.
void reduce(int32_t, const int32_t* refs) {
  bool into = refined(refs, 0);
  Cell* value = arg(0);
  uint32_t t = TYPE_OF(value);
  if (t == TYPE_BLOCK) {
    Cell* out;
    if (into) {
      out = stack::push_copy(arg(refs[0]));
    } else {
      out = stack::push_new_cell();
      block::init_cell(out, block::rs_length_q(value));
    }
    reduce_block(out, into, into && block::rs_tail_q(out));
    Cell r = *out;
    stack::set_only_result(&r);
    return;
  }
  if (any_function_q(t)) {
    stack::keep_first();
    return;
  }
  Cell v = *value;
  evaluate_single(&v);
  if (into) {
    Cell* out = stack::push_copy(arg(refs[0]));
    put_into(out, stack::at(stack::top_index() - 2), block::rs_tail_q(out));
    Cell r = *out;
    stack::set_only_result(&r);
    return;
  }
  Cell r = *stack::last_pushed();
  stack::set_only_result(&r);
}

// compose: /deep, /only, /into out.
void compose(int32_t, const int32_t* refs) {
  Cell* value = arg(0);
  if (TYPE_OF(value) != TYPE_BLOCK) {
    Cell v = *value;
    fire(ErrorCategory::kScript, "expect-val", datatype_cell(TYPE_BLOCK), datatype_cell(TYPE_OF(&v)));
  }
  bool into = refined(refs, 2);
  Cell* out;
  if (into) {
    out = stack::push_copy(arg(refs[2]));
  } else {
    out = stack::push_new_cell();
    block::init_cell(out, block::rs_length_q(value));
  }
  compose_core(arg(0), out, refined(refs, 0), refined(refs, 1), into, into && block::rs_tail_q(out));
  Cell r = *out;
  stack::set_only_result(&r);
}

}  // namespace kiv::natives
