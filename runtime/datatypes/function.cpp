#include "runtime/datatypes/function.h"

#include <string_view>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/argument_list.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::function {
namespace {

const Cell kNone{TYPE_NONE, 0, 0, 0};

inline bool arg_word_q(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }
// The kinds whose symbols may not repeat in a spec.
inline bool var_word_q(uint32_t t) { return arg_word_q(t) || t == TYPE_REFINEMENT; }
inline bool any_word_kind_q(uint32_t t) { return type_in_group(t, kGroupAnyWord) || t == TYPE_REFINEMENT; }

uint32_t canonical_of(const Cell* w) { return symbol::canonical(w->data2); }

bool is_symbol(const Cell* w, words::Id id) {
  uint32_t sym = words::symbol_of(id);
  return sym != 0 && canonical_of(w) == symbol::canonical(sym);
}

[[noreturn]] void bad_func_def(const Cell* spec) {
  Cell s = *spec;
  fire(ErrorCategory::kScript, "bad-func-def", s);
}

// The values of a type block: each a word naming a datatype, a typeset or
// a word (a typeset the library has not defined yet counts by its name).
void check_type_block(uint32_t node, uint32_t head) {
  for (uint32_t i = head; i < series_length(node); ++i) {
    Cell v = series_head_cell(node)[i];
    if (TYPE_OF(&v) != TYPE_WORD) fire(ErrorCategory::kScript, "invalid-type-spec", v);
    if (v.data1 == 0) fire(ErrorCategory::kScript, "no-value", v);
    Cell value = *_context::get_word(&v);
    switch (TYPE_OF(&value)) {
      case TYPE_DATATYPE:
      case TYPE_TYPESET:
      case TYPE_WORD:
        continue;
      case TYPE_UNSET:
        if (interpreter::named_typeset_q(v.data2)) continue;
        fire(ErrorCategory::kScript, "no-value", v);
      default:
        fire(ErrorCategory::kScript, "invalid-type-spec", v);
    }
  }
}

class SpecChecker {
 public:
  explicit SpecChecker(const Cell* spec) : spec_(spec), node_(spec->data2) {}

  uint32_t run() {
    uint32_t i = spec_->data1;
    uint32_t flags = 0;
    if (i < length()) {
      Cell first = at(i);
      if (TYPE_OF(&first) == TYPE_BLOCK) {
        for (uint32_t k = first.data1; k < series_length(first.data2); ++k) {
          Cell a = series_head_cell(first.data2)[k];
          if (TYPE_OF(&a) != TYPE_WORD) bad_func_def(spec_);
          if (is_symbol(&a, words::SYM_TRACE)) flags |= kFlagTrace;
          if (is_symbol(&a, words::SYM_NO_TRACE)) flags |= kFlagNoTrace;
        }
        ++i;
      }
    }
    bool local = false, returned = false;
    while (i < length()) {
      Cell v = at(i);
      uint32_t t = TYPE_OF(&v);
      if (arg_word_q(t)) {
        if (local && t != TYPE_WORD) bad_func_def(spec_);
        if (returned && !local) bad_func_def(spec_);
        note_var(v);
        ++i;
        if (i + 1 < length() && type_at(i) == TYPE_STRING && type_at(i + 1) == TYPE_BLOCK)
          bad_func_def(spec_);
        if (i < length() && type_at(i) == TYPE_BLOCK) {
          Cell types = at(i);
          check_type_block(types.data2, types.data1);
          ++i;
        }
        continue;
      }
      switch (t) {
        case TYPE_STRING:
          ++i;
          continue;
        case TYPE_SET_WORD: {
          if (!is_symbol(&v, words::SYM_RETURN) || returned || local) bad_func_def(spec_);
          ++i;
          if (i >= length() || type_at(i) != TYPE_BLOCK) bad_func_def(spec_);
          Cell types = at(i);
          check_type_block(types.data2, types.data1);
          ++i;
          if (i < length()) {
            uint32_t n = type_at(i);
            if (n != TYPE_REFINEMENT && n != TYPE_STRING) bad_func_def(spec_);
          }
          returned = true;
          continue;
        }
        case TYPE_REFINEMENT: {
          bool is_local = is_symbol(&v, words::REF_LOCAL);
          if (local || (returned && !is_local)) bad_func_def(spec_);
          if (is_local) local = true;
          note_var(v);
          ++i;
          if (i < length()) {
            uint32_t n = type_at(i);
            if (!arg_word_q(n) && n != TYPE_REFINEMENT && n != TYPE_SET_WORD && n != TYPE_STRING)
              bad_func_def(spec_);
          }
          continue;
        }
        default:
          bad_func_def(spec_);
      }
    }
    return flags;
  }

 private:
  uint32_t length() const { return series_length(node_); }
  Cell at(uint32_t i) const { return series_head_cell(node_)[i]; }
  uint32_t type_at(uint32_t i) const { return TYPE_OF(series_head_cell(node_) + i); }

  void note_var(const Cell& v) {
    uint32_t c = canonical_of(&v);
    for (uint32_t seen : seen_)
      if (seen == c) fire(ErrorCategory::kScript, "dup-vars", v);
    seen_.push_back(c);
  }

  const Cell* spec_;
  uint32_t node_;
  std::vector<uint32_t> seen_;
};

// ---------------------------------------------------------------------------
// The local collector.

struct Collector {
  std::vector<uint32_t> known;  // canonical symbols
  std::vector<Cell> collected;  // word! cells, in order found

  bool known_q(uint32_t canonical) const {
    for (uint32_t k : known)
      if (k == canonical) return true;
    return false;
  }

  void add(const Cell& w) {
    uint32_t c = canonical_of(&w);
    if (known_q(c)) return;
    known.push_back(c);
    Cell word = w;
    word.header = TYPE_WORD;
    collected.push_back(word);
  }

  // Descends into blocks and parens; nesting is bounded by the cycle stack.
  void walk(uint32_t node, uint32_t head) {
    if (support::cycle_stack::find_q(node)) return;
    support::cycle_stack::Entry visiting(node);
    for (uint32_t i = head; i < series_length(node); ++i) {
      Cell v = series_head_cell(node)[i];
      uint32_t t = TYPE_OF(&v);
      if (t == TYPE_SET_WORD) {
        add(v);
      } else if (t == TYPE_WORD && i + 1 < series_length(node)) {
        bool each = is_symbol(&v, words::SYM_FOREACH) || is_symbol(&v, words::SYM_REMOVE_EACH);
        if (each || is_symbol(&v, words::SYM_REPEAT)) {
          Cell next = series_head_cell(node)[i + 1];
          uint32_t nt = TYPE_OF(&next);
          if (nt == TYPE_WORD || nt == TYPE_SET_WORD) {
            add(next);
            ++i;
            if (nt == TYPE_SET_WORD) continue;
          } else if (each && nt == TYPE_BLOCK) {
            for (uint32_t k = next.data1; k < series_length(next.data2); ++k) {
              Cell w = series_head_cell(next.data2)[k];
              if (TYPE_OF(&w) == TYPE_WORD) add(w);
            }
            ++i;
          }
        }
      } else if (t == TYPE_BLOCK || t == TYPE_PAREN) {
        walk(v.data2, v.data1);
      }
    }
  }
};

}  // namespace

Cell* aux_cell(const Cell* fn, uint32_t n) { return series_head_cell(aux_node(fn)) + n; }

uint32_t check_spec(const Cell* spec) {
  Cell s = *spec;
  uint32_t tail = series_length(s.data2);
  if (s.data1 > tail) s.data1 = tail;
  return SpecChecker(&s).run();
}

uint32_t push(const Cell* spec, const Cell* body, uint32_t context, int32_t native, int32_t second,
              uint32_t flags) {
  // Everything made here stays rooted through these cells until the new
  // function cell holds it.
  RootedCell spec_value(*spec);
  spec_value->header = TYPE_BLOCK;
  uint32_t spec_tail = series_length(spec_value->data2);
  if (spec_value->data1 > spec_tail) spec_value->data1 = spec_tail;
  if (spec_value->data1 > 0) {
    *spec_value = Cell{TYPE_BLOCK, 0, block::copy_cells(spec_value.get(), false, false), 0};
  }
  RootedCell body_value(body ? *body : kNone);
  if (body && series::any_block_q(TYPE_OF(body))) {
    uint32_t body_tail = series_length(body_value->data2);
    if (body_value->data1 > body_tail) body_value->data1 = body_tail;
  }

  RootedNode aux(alloc_cells(kAuxCells));
  {
    SeriesBuffer* b = node_buffer(aux);
    HeldPtr<Cell> cells = b->head_cell();
    for (uint32_t i = 0; i < kAuxCells; ++i) cells[i] = Cell{TYPE_UNSET, 0, 0, 0};
    cells[kAuxBody] = kNone;
    b->tail = b->head + kAuxCells * static_cast<uint32_t>(sizeof(Cell));
  }
  bool own_context = context == 0;
  RootedNode ctx(context);
  if (own_context) ctx = _context::from_spec(spec_value.get(), true, false, kContextFunction);

  Cell fn{TYPE_FUNCTION | flags, ctx, spec_value->data2, aux};
  Cell* pushed = stack::push_copy(&fn);
  (void)pushed;
  *_context::self_cell(ctx) = fn;

  if (series::any_block_q(TYPE_OF(body_value.get()))) {
    Cell copy{TYPE_BLOCK, 0, block::copy_cells(body_value.get(), true, true), 0};
    // A body the library wrote stays library code in the function's copy.
    if (block::library_code_q(body_value->data2)) block::mark_library_code(copy.data2);
    series_head_cell(aux)[kAuxBody] = copy;
    if (own_context) _context::bind_block(&copy, ctx, false);
  }
  if (native) series_head_cell(aux)[kAuxNative] = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(native), 0};
  if (second) series_head_cell(aux)[kAuxSecondEntry] = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(second), 0};
  return ctx;
}

void collect_locals(Cell* spec, const Cell* body) {
  Collector c;
  uint32_t node = spec->data2;
  uint32_t head = spec->data1;
  int32_t extern_at = -1;
  for (uint32_t i = head; i < series_length(node); ++i) {
    Cell v = series_head_cell(node)[i];
    if (TYPE_OF(&v) == TYPE_REFINEMENT && is_symbol(&v, words::REF_EXTERN)) {
      extern_at = static_cast<int32_t>(i);
      break;
    }
  }
  // Every word of the original spec is known, externs included.
  for (uint32_t i = head; i < series_length(node); ++i) {
    Cell v = series_head_cell(node)[i];
    uint32_t t = TYPE_OF(&v);
    if (any_word_kind_q(t)) {
      c.known.push_back(canonical_of(&v));
    } else if (extern_at >= 0 && t != TYPE_BLOCK && t != TYPE_STRING) {
      fire(ErrorCategory::kScript, "bad-func-extern", v);
    }
  }
  if (extern_at >= 0) {
    uint32_t i = static_cast<uint32_t>(extern_at) + 1;
    while (i < series_length(node) && TYPE_OF(series_head_cell(node) + i) == TYPE_WORD) ++i;
    if (i < series_length(node)) {
      Cell v = series_head_cell(node)[i];
      if (TYPE_OF(&v) == TYPE_REFINEMENT && is_symbol(&v, words::REF_LOCAL)) {
        for (++i; i < series_length(node); ++i) {
          Cell w = series_head_cell(node)[i];
          if (TYPE_OF(&w) == TYPE_WORD) c.collected.push_back(Cell{TYPE_WORD, w.data1, w.data2, w.data3});
        }
      }
    }
    Cell cut = *spec;
    block::truncate_at(&cut, extern_at);
  }
  if (body && series::any_block_q(TYPE_OF(body))) c.walk(body->data2, body->data1);
  if (c.collected.empty()) return;

  bool has_local = false;
  for (uint32_t i = head; i < series_length(node); ++i) {
    Cell v = series_head_cell(node)[i];
    if (TYPE_OF(&v) == TYPE_REFINEMENT && is_symbol(&v, words::REF_LOCAL)) has_local = true;
  }
  // The collected words are plain values in C++ memory: words keep their
  // context alive only through a rooted cell, so each is appended before
  // anything else allocates (their contexts are the global one or contexts
  // reachable from the body, which the caller roots).
  if (!has_local) {
    Cell local = *words::cell_of(words::REF_LOCAL);
    block::append_cell(spec, &local);
  }
  for (const Cell& w : c.collected) {
    if (is_symbol(&w, words::WORD_LOCAL)) continue;
    block::append_cell(spec, &w);
  }
}

int32_t count_locals(uint32_t spec, uint32_t start, bool required) {
  uint32_t n = series_length(spec);
  for (uint32_t i = start; i < n; ++i) {
    HeldPtr<const Cell> v = series_head_cell(spec) + i;
    if (TYPE_OF(v) != TYPE_REFINEMENT || !is_symbol(v, words::REF_LOCAL)) continue;
    int32_t count = 1;
    for (uint32_t k = i + 1; k < n; ++k)
      if (TYPE_OF(series_head_cell(spec) + k) == TYPE_WORD) ++count;
    return count;
  }
  return required ? -1 : 0;
}

void init_locals(int32_t n) {
  if (n < 1) return;
  Cell f{TYPE_LOGIC, 0, 0, 0};
  stack::push_copy(&f);
  for (int32_t i = 1; i < n; ++i) stack::push_copy(&kNone);
}

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  if (TYPE_OF(spec) != TYPE_BLOCK || block::rs_length_q(spec) < 2) bad_func_def(spec);
  Cell s = block::rs_head(spec)[0];
  Cell b = block::rs_head(spec)[1];
  if (TYPE_OF(&s) != TYPE_BLOCK || TYPE_OF(&b) != TYPE_BLOCK) bad_func_def(spec);
  Cell* sp = stack::push_copy(&s);
  Cell* bp = stack::push_copy(&b);
  uint32_t flags = check_spec(sp);
  push(sp, bp, 0, 0, 0, flags);
  *type = *stack::last_pushed();
  stack::drop_cells(3);
  return type;
}

Cell* reflect(Cell* value, Cell* field) {
  bool word = any_word_kind_q(TYPE_OF(field));
  if (word && is_symbol(field, words::SYM_SPEC)) {
    *value = Cell{TYPE_BLOCK, 0, spec_node(value), 0};
    return value;
  }
  if (word && is_symbol(field, words::SYM_BODY)) {
    *value = *aux_cell(value, kAuxBody);
    return value;
  }
  if (word && is_symbol(field, words::SYM_WORDS)) {
    // The words block's words are bound to the context already.
    Cell words{TYPE_BLOCK, 0, _context::words_block(context_node(value)), 0};
    *value = Cell{TYPE_BLOCK, 0, block::copy_cells(&words, false, false), 0};
    return value;
  }
  fire(ErrorCategory::kInternal, "not-done");
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  string::append_text(buffer, "?function?");
  return limit - 10;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent) {
  Cell fn = *value;
  string::append_text(buffer, "func ");
  limit -= 5;
  Cell spec{TYPE_BLOCK, 0, spec_node(&fn), 0};
  limit = dispatch_mold(&spec, buffer, flags.nested(), part, limit, indent);
  Cell body = *aux_cell(&fn, kAuxBody);
  if (TYPE_OF(&body) == TYPE_BLOCK) return dispatch_mold(&body, buffer, flags.nested(), part, limit, indent);
  string::append_text(buffer, " none");
  return limit - 5;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value1) != TYPE_OF(value2) || !equality_or_sort_op(op)) return kNotComparable;
  return three_way(value1->data3, value2->data3);
}

void init() {
  datatype::register_type(TYPE_FUNCTION, TYPE_CONTEXT, "function!",
                          {own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form),
                           own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare)});
}

}  // namespace kiv::function
