// Operator fast paths: while tracing is off, an operator on integer! and
// float! operands that cannot raise is computed here, without a call frame,
// argument list or action dispatch. Every answer is the one the action or
// native would give (the same integer and float routines do the work); any
// other case (other types, a zero divisor, NaN in an ordering) takes the
// ordinary call. A right operand that needs evaluating is evaluated inside
// the operator's frame, as the ordinary call does, before the fast path
// looks at it (call_fast_operator).
//
// The steps the loop takes in are inline here: the infix step after a value
// (apply_infix) and the number chain at the start of an expression
// (number_prefix).
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter_internal.h"
#include "runtime/eval/trace.h"

namespace kiv::interpreter::internal {

enum FastKind { kFastNone, kFastArith, kFastCompare };

// What the function an operator calls is: arithmetic (add subtract multiply
// divide remainder and~ or~ xor~) or a comparison native, with its op code.
[[gnu::always_inline]] inline FastKind fast_operator(const Cell* fn, int32_t* op) {
  if (TYPE_OF(fn) == TYPE_ACTION) {
    switch (native::entry_index(fn)) {
      case ACT_ADD: *op = OP_ADD; return kFastArith;
      case ACT_SUBTRACT: *op = OP_SUBTRACT; return kFastArith;
      case ACT_MULTIPLY: *op = OP_MULTIPLY; return kFastArith;
      case ACT_DIVIDE: *op = OP_DIVIDE; return kFastArith;
      case ACT_REMAINDER: *op = OP_REMAINDER; return kFastArith;
      case ACT_AND_T: *op = OP_AND; return kFastArith;
      case ACT_OR_T: *op = OP_OR; return kFastArith;
      case ACT_XOR_T: *op = OP_XOR; return kFastArith;
      default: return kFastNone;
    }
  }
  if (TYPE_OF(fn) == TYPE_NATIVE) {
    // The comparison natives, equal? to greater-or-equal? in natives.def's
    // order (runtime/eval/natives.cpp).
    static constexpr uint32_t kFirst = native_index(NativeId::kEqualQ);
    static constexpr uint32_t kLast = native_index(NativeId::kGreaterOrEqualQ);
    static constexpr int32_t kCompareOf[] = {COMP_EQUAL,   COMP_NOT_EQUAL,    COMP_STRICT_EQUAL,  COMP_LESSER,
                                             COMP_GREATER, COMP_LESSER_EQUAL, COMP_GREATER_EQUAL};
    static_assert(kLast - kFirst + 1 == sizeof kCompareOf / sizeof kCompareOf[0] &&
                  native_index(NativeId::kLesserQ) == kFirst + 3 &&
                  native_index(NativeId::kGreaterOrEqualQ) == kFirst + 6);
    uint32_t index = native::entry_index(fn);
    if (index >= kFirst && index <= kLast) {
      *op = kCompareOf[index - kFirst];
      return kFastCompare;
    }
  }
  return kFastNone;
}

inline bool number_type_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT; }
inline double number_value(const Cell* c) {
  return TYPE_OF(c) == TYPE_INTEGER ? static_cast<double>(integer::get(c)) : cell_float(c);
}

// Arithmetic on two numbers, as integer! and float! compute it; false when
// the action must run (it would raise).
[[gnu::always_inline]] inline bool fast_arith(int32_t op, const Cell* left, const Cell* right, Cell* out) {
  if (TYPE_OF(left) == TYPE_INTEGER && TYPE_OF(right) == TYPE_INTEGER) {
    int32_t l = integer::get(left), r = integer::get(right);
    if (op <= OP_MULTIPLY) {
      // The exact result in 64 bits; outside 32 bits it is a float!, as
      // integer::do_op makes it.
      const int64_t wide = integer::exact_op(op, l, r);
      if (integer::fits_q(wide)) integer::init_cell(out, static_cast<int32_t>(wide));
      else float_::init_cell(out, static_cast<double>(wide));
      return true;
    }
    if ((op == OP_DIVIDE || op == OP_REMAINDER) && (r == 0 || (r == -1 && l == INT32_MIN))) return false;
    if (op == OP_REMAINDER) {
      // Truncating, the sign of the left operand; it always fits.
      integer::init_cell(out, l % r);
      return true;
    }
    integer::init_cell(out, 0);
    integer::do_op(op, l, r, out);
    return true;
  }
  if (op == OP_AND || op == OP_OR || op == OP_XOR) return false;
  // The four common operators here; float_::do_op computes them alike.
  double l = number_value(left), r = number_value(right), d;
  switch (op) {
    case OP_ADD: d = l + r; break;
    case OP_SUBTRACT: d = l - r; break;
    case OP_MULTIPLY: d = l * r; break;
    case OP_DIVIDE: d = l / r; break;
    default: d = float_::do_op(op, l, r); break;
  }
  float_::init_cell(out, d);
  return true;
}

// A comparison of two numbers, as the comparison natives answer it; false
// when the native must run (an ordering with NaN raises).
[[gnu::always_inline]] inline bool fast_compare(int32_t op, const Cell* left, const Cell* right, Cell* out) {
  bool truth;
  if (TYPE_OF(left) == TYPE_INTEGER && TYPE_OF(right) == TYPE_INTEGER) {
    int32_t l = integer::get(left), r = integer::get(right);
    switch (op) {
      case COMP_EQUAL: case COMP_STRICT_EQUAL: truth = l == r; break;
      case COMP_NOT_EQUAL: truth = l != r; break;
      case COMP_LESSER: truth = l < r; break;
      case COMP_LESSER_EQUAL: truth = l <= r; break;
      case COMP_GREATER: truth = l > r; break;
      default: truth = l >= r; break;
    }
  } else {
    if (std::isnan(number_value(left)) || std::isnan(number_value(right))) return false;
    Cell l = *left, r = *right;
    truth = actions::compare(&l, &r, op);
  }
  out->header = TYPE_LOGIC;
  out->data1 = truth ? 1u : 0u;
  out->data2 = 0;
  out->data3 = 0;
  return true;
}

// An operator whose right operand needs evaluating (a paren, a call),
// called as evaluate_call calls it in infix position (interpreter_fast.cpp).
[[gnu::noinline]] uint32_t call_fast_operator(const Cell* code, uint32_t pos, Cell fn_value, FastKind kind, int32_t op);

// The number of cells of a code buffer.
inline uint32_t cell_count(const SeriesBuffer* b) { return b->used_bytes() >> 4; }

// The values of the context looked up last, kept while nothing can move
// them or change the context (one run of number_prefix: no allocation, no
// call out): the words of a loop body are mostly of one context. Answers
// what _context::value_at answers.
struct ValuesCache {
  uint32_t ctx = 0;  // none yet (a bound word's context is never 0)
  Cell* base = nullptr;
  uint32_t count = 0;
  bool plain = false;  // setting a value is a plain store (_context::plain_slot)

  [[gnu::always_inline]] const Cell* at(uint32_t c, uint32_t index) {
    if (c != ctx) fill(c);
    return index < count ? base + index : nullptr;
  }

  // What _context::plain_slot answers for a word of the cached context;
  // null for any other word (and when there is no slot).
  [[gnu::always_inline]] Cell* plain_slot(const Cell* word) const {
    if (word->data1 != ctx || ctx == 0 || !plain || word->data3 == kUnresolved) return nullptr;
    return word->data3 < count ? base + word->data3 : nullptr;
  }

  [[gnu::always_inline]] void fill(uint32_t c) {
    ctx = c;
    if (c == _context::detail::g_global_node) {
      // The global context: no object's, values in its series.
      plain = true;
      SeriesBuffer* values = reinterpret_cast<SeriesBuffer*>(*_context::detail::g_global_values_slot);
      count = values->used_bytes() >> 4;
      base = values->head_cell();
      return;
    }
    base = nullptr;
    count = 0;
    const Cell* rec = series_head_cell(c);  // the record
    plain = !(rec->header & kFlagObjectContext) || (rec->header & kFlagContextOnStack);
    if (rec->data2 == 0) return;
    if (rec->header & kFlagContextOnStack) {
      if (rec->data2 >= stack::kArgumentStackCells) return;
      uint32_t room = stack::kArgumentStackCells - rec->data2;
      count = rec->data3 < room ? rec->data3 : room;
      base = stack::at(rec->data2);
      return;
    }
    SeriesBuffer* values = node_buffer(rec->data2);
    count = values->used_bytes() >> 4;
    base = values->head_cell();
  }
};

// The value of a bound word, through the cache when there is one.
[[gnu::always_inline]] inline const Cell* bound_value(const Cell* w, ValuesCache* cache) {
  return cache ? cache->at(w->data1, w->data3) : _context::value_at(w->data1, w->data3);
}

// The number in an object's field that a path of two words written in the
// code names (p/x), read as evaluate_path reads it; null for any other path
// or value. Reads only: nothing here raises, calls out or allocates
// (interpreter_paths.cpp).
const Cell* path_field_number(const Cell* path);

// A number written in the code, or the number a bound word has for value,
// or that a path names (path_field_number).
[[gnu::always_inline]] inline const Cell* number_operand(const Cell* c, ValuesCache* cache = nullptr) {
  if (TYPE_OF(c) == TYPE_WORD) {
    c = c->data1 != 0 && c->data3 != kUnresolved ? bound_value(c, cache) : nullptr;
    if (!c) return nullptr;
  } else if (TYPE_OF(c) == TYPE_PATH) [[unlikely]] {
    return path_field_number(c);
  }
  return number_type_q(TYPE_OF(c)) ? c : nullptr;
}

// The op! value of a word of the code, or null. Only a word that has a
// value now can name an operator; looking at any other word must not raise.
[[gnu::always_inline]] inline const Cell* op_value(const Cell* w, ValuesCache* cache = nullptr) {
  if (TYPE_OF(w) != TYPE_WORD || w->data1 == 0 || w->data3 == kUnresolved) return nullptr;
  const Cell* value = bound_value(w, cache);  // nullptr without values
  return value && TYPE_OF(value) == TYPE_OP ? value : nullptr;
}

// The longest start of the expression at pos that is numbers joined by
// operators of the fast path (i + 1 * 2), computed into result as the
// ordinary evaluation computes it. Answers the position after it (an
// operator the fast path declined, or the end of the expression, when
// complete is set), or 0 when the expression does not start with a number.
// Nothing in it can raise, call out or allocate. kCached: the words'
// values are read through the cache given (set-words: the words of a loop
// body share a context; an argument like n - 1 mixes a function's and the
// global one).
// This form takes the code's cells and tail as the caller just read them.
// number_chain: the same, its first operand (the number at pos) given.
template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_chain(const Cell* cells, uint32_t tail, uint32_t pos, const Cell* first,
                                                    Cell* result, bool* complete, ValuesCache* values);

template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_prefix(const Cell* cells, uint32_t tail, uint32_t pos, Cell* result,
                                                     bool* complete, ValuesCache* values) {
  *complete = false;
  if (pos >= tail) return 0;
  const Cell* first = number_operand(cells + pos, kCached ? values : nullptr);
  if (!first) return 0;
  return number_chain<kCached>(cells, tail, pos, first, result, complete, values);
}

template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_chain(const Cell* cells, uint32_t tail, uint32_t pos, const Cell* first,
                                                    Cell* result, bool* complete, ValuesCache* values) {
  ValuesCache* cache = kCached ? values : nullptr;
  *complete = false;
  *result = *first;
  uint32_t at = pos + 1;
  while (at < tail) {
    // Only a word can be an operator: anything else ends the chain here (a
    // set-word starting the next expression, mostly), before its neighbour
    // is looked up.
    if (TYPE_OF(cells + at) != TYPE_WORD) break;
    // The right operand is looked at next: when it is no number the
    // ordinary evaluation goes on from here, operator or not, and the
    // operator's lookup is left to it.
    const Cell* r = at + 1 < tail ? number_operand(cells + at + 1, cache) : nullptr;
    if (!r) return at;
    const Cell* value = op_value(cells + at, cache);
    if (!value) break;
    if (!number_type_q(TYPE_OF(result))) return at;
    Cell fn = op_target(value);
    int32_t op;
    FastKind kind = fast_operator(&fn, &op);
    if (kind == kFastNone) return at;
    Cell right = *r;
    if (!(kind == kFastArith ? fast_arith(op, result, &right, result) : fast_compare(op, result, &right, result)))
      return at;
    at += 2;
  }
  *complete = true;
  return at;
}

template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_prefix(const Cell* code, uint32_t pos, Cell* result, bool* complete,
                                                     ValuesCache* values) {
  const SeriesBuffer* b = node_buffer(code->data2);
  return number_prefix<kCached>(reinterpret_cast<const Cell*>(b->data() + b->head), cell_count(b), pos, result,
                                complete, values);
}

// The value of the expression at pos (before tail) when it calls nothing and
// cannot raise: a chain of numbers and fast operators that ends the
// expression, a word whose value is plain (plain_value_q), or a block,
// string or number written in the code; after the last two nothing that is
// an operator now may follow. Answers the position after it, or 0 when the
// expression needs the ordinary evaluation. Reads only: the value is what
// evaluate_expression would push, and pos may be evaluated again.
[[gnu::always_inline]] inline uint32_t quiet_operand(const Cell* cells, uint32_t tail, uint32_t pos, Cell* out) {
  const Cell* c = cells + pos;
  const Cell* value = c;
  if (TYPE_OF(c) == TYPE_WORD) {
    value = c->data1 != 0 && c->data3 != kUnresolved ? _context::value_at(c->data1, c->data3) : nullptr;
    if (!value) return 0;
  }
  const uint32_t t = TYPE_OF(value);
  if (number_type_q(t)) {
    bool complete = false;
    const uint32_t after = number_chain<false>(cells, tail, pos, value, out, &complete, nullptr);
    return complete ? after : 0;
  }
  if (value == c ? !(t == TYPE_BLOCK || t == TYPE_STRING) : !plain_value_q(t)) return 0;
  if (pos + 1 < tail && op_value(c + 1)) return 0;
  *out = *value;
  return pos + 1;
}

// Applies the operators that follow an expression whose value was pushed.
// The code's buffer is looked up once per operator; nothing between that
// and the fast path's store can move it.
[[gnu::always_inline]] inline uint32_t apply_infix(const Cell* code, uint32_t pos, uint32_t* seen_tail = nullptr) {
  for (;;) {
    const SeriesBuffer* b = node_buffer(code->data2);
    uint32_t tail = cell_count(b);
    if (seen_tail) *seen_tail = tail;
    if (pos >= tail) break;
    const Cell* cells = reinterpret_cast<const Cell*>(b->data() + b->head);
    const Cell* w = cells + pos;
    const Cell* value = op_value(w);
    if (!value) break;
    Cell fn = op_target(value);
    if (!trace::on() && pos + 1 < tail) {
      int32_t op;
      FastKind kind = fast_operator(&fn, &op);
      Cell* left = stack::last_pushed();
      if (kind != kFastNone && number_type_q(TYPE_OF(left))) {
        // The right operand when it needs no evaluation: a number written
        // in the code, or a bound word whose value is a number.
        if (const Cell* r = number_operand(cells + pos + 1)) {
          // The result goes straight over the left operand: both operands
          // are read before it is written, and nothing is written when the
          // fast path declines.
          Cell right = *r;
          if (kind == kFastArith ? fast_arith(op, left, &right, left) : fast_compare(op, left, &right, left)) {
            pos += 2;
            continue;
          }
        } else {
          // A right operand that needs evaluating (a paren, a call).
          pos = call_fast_operator(code, pos, fn, kind, op);
          continue;
        }
      }
    }
    Cell word = *w;
    trace::event(trace::EV_FETCH, code, pos, &word);
    CallSite site{code, &word, nullptr, 0};
    pos = evaluate_call(fn, site, pos + 1, true);
  }
  return pos;
}

// The operators after a pushed value, out of line (interpreter_fast.cpp).
[[gnu::noinline]] uint32_t infix_after(const Cell* code, uint32_t pos);

}  // namespace kiv::interpreter::internal
