#include "runtime/eval/interpreter_fast.h"

#include <cstdint>

#include "runtime/eval/interpreter_internal.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::interpreter::internal {

// An operator whose right operand needs evaluating (a paren, a call), called
// as evaluate_call calls it in infix position: the same frame, the same order
// of checks and evaluation. When both operands are numbers the fast path
// computes the result in place of the action or native; anything else goes
// on through fetch_arguments with both operands already pushed.
uint32_t call_fast_operator(const Cell* code, uint32_t pos, Cell fn_value, FastKind kind, int32_t op) {
  Cell word = read_at(code, pos);
  CallSite site{code, &word, nullptr, 0};
  ++pos;
  check_stack();
  Cell left = *stack::last_pushed();
  stack::drop_cells(1);
  const uint32_t slot = push_function_cell(&fn_value);
  {
    stack::FrameGuard guard;
    stack::open_interp_call_frame(site.name);
    stack::push_copy(&left);
    // The first two arguments: the left operand must pass the first's check
    // and the second must be an evaluated one, or the ordinary fetch runs.
    const SeriesBuffer* lb = node_buffer(argument_list(stack::at(slot)));
    const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
    const Cell* end = e + (lb->used_bytes() >> 4);
    const Cell* first = nullptr;
    const Cell* second = nullptr;
    // A simple call shape says the list starts with its evaluated arguments.
    const uint32_t shape = g_resolved ? call_shape(stack::at(slot)) : 0;
    if ((shape & kShapeSimple) && shape_args(shape) >= 2) {
      first = e;
      second = e + 1;
    }
    for (; e < end && !second; ++e) {
      if (TYPE_OF(e) == TYPE_REFINEMENT) break;
      if (TYPE_OF(e) != TYPE_TYPESET || arg_kind(e) == kArgReturn) continue;
      if (!first) first = e;
      else second = e;
    }
    if (!second || !typeset_admits(first, TYPE_OF(&left)) || arg_kind(second) != kArgEvaluated) {
      pos = fetch_arguments(site, slot, pos, true);
    } else {
      // The paren is evaluated as evaluate_value would (tracing is off: no
      // fetch event), straight into its block frame.
      Cell paren = read_at(site.code, pos);
      if (TYPE_OF(&paren) == TYPE_PAREN) [[likely]] {
        evaluate_block_in(&paren, false, true);
        if (trace::on()) trace::event(trace::EV_PUSH, site.code, pos, stack::last_pushed());
        ++pos;
      } else {
        pos = evaluate_expression(site.code, pos, true, true, false);
      }
      Cell* l = stack::at(stack::base_index());
      const Cell* r = stack::last_pushed();
      if (!pending() && !trace::on() && stack::top_index() == stack::base_index() + 2 && number_type_q(TYPE_OF(r)) &&
          (kind == kFastArith ? fast_arith(op, l, r, l) : fast_compare(op, l, r, l))) {
        stack::drop_cells(1);
      } else {
        pos = fetch_arguments(site, slot, pos, true, 2);
      }
    }
    stack::pop_frame();
  }
  result_to_function_slot(slot);
  if (trace::on()) {
    Cell ref = name_or_path(site);
    trace::event(trace::EV_RETURN, site.code, pos, stack::at(slot), &ref);
  }
  return pos;
}

// The operators after a pushed value, out of line.
uint32_t infix_after(const Cell* code, uint32_t pos) { return apply_infix(code, pos); }

}  // namespace kiv::interpreter::internal
