// The natives that make functions and the natives that leave code early or
// stop such a departure: func (14), function (15), does (16), has (17), try
// (70), exit (79), return (80), throw (81), catch (82) and apply (107). They
// follow the native entry convention (runtime/eval/natives.h): arguments
// from the frame's base, one integer per refinement, the result left in the
// base cell. break (77) and continue (78) live with the loops
// (runtime/eval/natives_control.h).
//
// Departures: exit and return go through stack::throw_return, throw through
// stack::throw_value; each first resets the stacks to its target frame (or
// raises its throw error when there is none, or when a try/all frame lies
// between), then throws stack::NonLocalExit.
//
// Catching: try opens a try frame (try/all: a try/all frame, which turns
// every departure that would cross it into an error) and stops the errors
// that unwind to it, turning them into error! values at once (before any
// new frame overwrites the ones the error left); catch opens a catch frame
// and stops the throws aimed at it, passing a named throw that it does not
// accept on to the next catch outward.

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/natives_control.h"
#include "runtime/eval/trace.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::natives {
namespace {

inline Cell* arg(int32_t n) { return stack::arguments() + n; }
inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

// Makes the function from the spec and body at the base and base + 1 and
// leaves it as the result.
void make_function() {
  uint32_t flags = function::check_spec(arg(0));
  function::push(arg(0), arg(1), 0, 0, 0, flags);
  Cell fn = *stack::last_pushed();
  stack::set_only_result(&fn);
}

// Replaces the block at the base cell by a shallow copy of it from its head.
void copy_spec(Cell* spec) {
  uint32_t tail = series_length(spec->data2);
  if (spec->data1 > tail) spec->data1 = tail;
  *spec = Cell{TYPE_BLOCK, 0, block::copy_cells(spec, false, false), 0};
}

bool same_canonical(const Cell* a, const Cell* b) { return symbol::canonical(a->data2) == symbol::canonical(b->data2); }

// Whether catch/name accepts the thrown name: a word names itself, a block
// any of its words (every element must be a word).
bool name_matches(const Cell* wanted, const Cell* thrown) {
  bool thrown_word = TYPE_OF(thrown) == TYPE_WORD;
  if (TYPE_OF(wanted) == TYPE_BLOCK) {
    bool match = false;
    for (uint32_t i = wanted->data1; i < series_length(wanted->data2); ++i) {
      Cell w = series_head_cell(wanted->data2)[i];
      if (TYPE_OF(&w) != TYPE_WORD) {
        Cell refinement = word::load("name", TYPE_REFINEMENT);
        Cell block = *wanted;
        fire(ErrorCategory::kScript, "invalid-refine-arg", refinement, block);
      }
      if (thrown_word && same_canonical(&w, thrown)) match = true;
    }
    return match;
  }
  return thrown_word && TYPE_OF(wanted) == TYPE_WORD && same_canonical(wanted, thrown);
}

// The function value apply calls: a function value as it is, the value of a
// word, or the value of a path's first word (the path is then given too).
Cell apply_target(const Cell* given, bool* from_path) {
  Cell v = *given;
  *from_path = false;
  uint32_t t = TYPE_OF(&v);
  if (any_function_q(t)) return v;
  Cell word = v;
  if (t >= TYPE_PATH && t <= TYPE_GET_PATH) {
    if (series_length(v.data2) <= v.data1) fire(ErrorCategory::kScript, "invalid-arg", v);
    word = series_head_cell(v.data2)[v.data1];
    *from_path = true;
  }
  uint32_t wt = TYPE_OF(&word);
  if (wt != TYPE_WORD && wt != TYPE_SET_WORD && wt != TYPE_LIT_WORD && wt != TYPE_GET_WORD)
    fire(ErrorCategory::kScript, "invalid-arg", v);
  Cell value = word.data1 ? *_context::get_word(&word) : Cell{TYPE_UNSET, 0, 0, 0};
  if (!any_function_q(TYPE_OF(&value))) {
    // An unset value says nothing: the word names the failure.
    if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "invalid-arg", word);
    fire(ErrorCategory::kScript, "invalid-arg", value);
  }
  return value;
}

}  // namespace

void func(int32_t, const int32_t*) { make_function(); }

// function: /extern only documents the /extern marker of specs; the
// collector reads the marker itself.
void function(int32_t, const int32_t*) {
  copy_spec(arg(0));
  function::collect_locals(arg(0), arg(1));
  make_function();
}

void does(int32_t, const int32_t*) {
  // does [body]: the body moves up one cell, an empty spec takes its place.
  Cell body = *arg(0);
  stack::keep_first();
  stack::push_copy(&body);
  block::init_cell(arg(0), 1);
  make_function();
}

void has(int32_t, const int32_t*) {
  copy_spec(arg(0));
  Cell local = *words::cell_of(words::REF_LOCAL);
  block::insert_cells(arg(0), &local, true, false);
  make_function();
}

void try_(int32_t, const int32_t* refs) {
  bool all = refined(refs, 0);
  bool keep = refined(refs, 1);
  Cell block = *arg(0);
  uint32_t base = stack::base_index();
  uint32_t frames = stack::frame_count();
  try {
    stack::FrameGuard guard;
    if (all) {
      stack::open_try_all_frame(nullptr);
    } else {
      stack::open_try_frame(nullptr);
    }
    interpreter::evaluate_block(&block, true);
    stack::pop_frame_return();
  } catch (const LanguageError& e) {
    // An error raised while the try frame was being opened (the call stack
    // full) was aimed at an outer try: the throw routine has unwound past
    // this native's own frame already, so it goes on.
    if (stack::frame_count() < frames) throw;
    // The stacks are back at this native's frame (the throw routine, or the
    // guard for an error thrown without it, dropped the try frame). The
    // error becomes a value now, while the frames it left are still there.
    Cell* out = stack::at(base);
    error::from_language_error(e, out);
    if (keep) error::capture_stack(out);
    else error::forget_stack(out);
  }
  stack::keep_first();
}

void exit_(int32_t, const int32_t*) { interpreter::leave_function(nullptr); }

void return_(int32_t, const int32_t*) {
  Cell value = *arg(0);
  interpreter::leave_function(&value);
}

void throw_(int32_t, const int32_t* refs) {
  Cell value = *arg(0);
  trace::event(trace::EV_THROW, nullptr, -1, &value);
  Cell name = refined(refs, 0) ? *arg(refs[0]) : Cell{TYPE_UNSET, 0, 0, 0};
  stack::throw_value(&value, &name);
}

void catch_(int32_t, const int32_t* refs) {
  bool named = refined(refs, 0);
  Cell block = *arg(0);
  uint32_t base = stack::base_index();
  uint32_t frames = stack::frame_count();
  stack::FrameGuard guard;
  stack::open_catch_frame(nullptr);
  uint32_t code = stack::catch_throws(stack::THROW_THROW, [&] { interpreter::evaluate_block(&block, true); });
  if (code == 0) {
    stack::pop_frame_return();
    stack::keep_first();
    return;
  }
  // A throw aimed at this frame: the value and its name at the catch
  // frame's base.
  if (stack::frame_count() != frames + 1) throw stack::NonLocalExit(code);
  Cell* at = stack::arguments();
  Cell value = at[0];
  Cell name = at[1];
  if (named && !name_matches(stack::at(base + refs[0]), &name)) {
    // Not ours: on to the next catch outward, name and all.
    stack::pop_frame_drop();
    stack::throw_value(&value, &name);
  }
  stack::pop_frame_drop();
  stack::set_only_result(&value);
  trace::event(trace::EV_CATCH, nullptr, -1, &value);
}

void apply(int32_t, const int32_t* refs) {
  bool from_path = false;
  Cell fn = apply_target(arg(0), &from_path);
  uint32_t mode = refined(refs, 0) ? interpreter::kApplyAll : interpreter::kApplyRefinements;
  if (refined(refs, 1)) mode |= interpreter::kApplySafer;
  Cell* f = stack::push_copy(&fn);
  interpreter::apply(f, arg(1), from_path ? arg(0) : nullptr, mode);
  Cell result = *stack::last_pushed();
  stack::set_only_result(&result);
}

}  // namespace kiv::natives
