// Calls: the arguments of a call fetched from the code and checked against
// the function's argument list, then the native, action, routine or
// function body run; call_function and apply call from native code.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter_fast.h"
#include "runtime/eval/interpreter_internal.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/natives_core.h"
#include "runtime/eval/trace.h"
#include "runtime/scope_guard.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter {

namespace internal {

namespace {

// Puts a pending departure aside while native code runs Kiv code (the
// tracer, a callback), and back afterwards.
class PendingHold {
 public:
  PendingHold() : code_(g_pending), target_(g_pending_target), value_(g_pending_value) { g_pending = 0; }
  ~PendingHold() {
    g_pending = code_;
    g_pending_target = target_;
    g_pending_value = *value_;
  }
  PendingHold(const PendingHold&) = delete;
  PendingHold& operator=(const PendingHold&) = delete;

 private:
  uint32_t code_;
  uint32_t target_;
  RootedCell value_;
};

void mark_passes_return() { stack::current_frame()->header |= stack::kFramePassesReturn; }

// Whether the argument list (its buffer) is an own list of if, unless or
// either: count evaluated arguments and nothing else.
[[gnu::always_inline]] inline bool branch_list_q(const SeriesBuffer* lb, uint32_t count) {
  constexpr uint32_t kMask = kTypeMask | kArgKindMask;
  constexpr uint32_t kEvaluated = TYPE_TYPESET | (kArgEvaluated << kArgKindShift);
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  return (lb->used_bytes() >> 4) == count && (e[0].header & kMask) == kEvaluated &&
         (e[1].header & kMask) == kEvaluated && (count == 2 || (e[2].header & kMask) == kEvaluated);
}

// if, unless or either, its frame open with its arguments fetched: the
// frame may let a departure from the block pass; the branch chosen is run
// as the native's entry would run it, inside run_entry (C++ code that runs
// out of heap there raises no-memory from this frame).
[[gnu::always_inline]] inline void run_branch(int32_t branch) {
  mark_passes_return();
  const Cell block = stack::arguments()[branch];
  run_entry([&] { evaluate_block_in(&block, true, true); });
  stack::keep_first();
}

// The most refinements a native or action has (now has 10).
constexpr uint32_t kMaxRefinements = 16;


[[noreturn]] void expect_arg(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry, const Cell* value) {
  Cell name = *site.name;
  Cell word = argument_word(fn, list, entry);
  fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(value), word);
}

void check_argument(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry) {
  const Cell* value = stack::last_pushed();
  Cell typeset = series_head_cell(list)[entry];
  if (!typeset_admits(&typeset, TYPE_OF(value))) expect_arg(site, fn, list, entry, value);
}

// Fetches one argument from the code and pushes it.
uint32_t fetch_argument(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry, uint32_t pos,
                        bool no_infix) {
  Cell typeset = series_head_cell(list)[entry];
  uint32_t kind = arg_kind(&typeset);
  if (pos >= tail_of(site.code)) {
    if (kind == kArgQuoted && typeset_admits(&typeset, TYPE_UNSET)) {
      stack::push_new_cell();
      return pos;
    }
    Cell name = *site.name;
    fire(ErrorCategory::kScript, "no-arg", name, argument_word(fn, list, entry));
  }
  switch (kind) {
    case kArgLiteral: {
      Cell v = read_at(site.code, pos);
      trace::event(trace::EV_FETCH, site.code, pos, &v);
      stack::push_copy(&v);
      trace::event(trace::EV_PUSH, site.code, pos, &v);
      return pos + 1;
    }
    case kArgQuoted: {
      Cell v = read_at(site.code, pos);
      trace::event(trace::EV_FETCH, site.code, pos, &v);
      switch (TYPE_OF(&v)) {
        case TYPE_PAREN: {
          stack::FrameGuard guard;
          stack::open_interp_call_frame(word_cell(words::WORD_ANON));
          evaluate_block(&v, true);
          stack::pop_frame();
          break;
        }
        case TYPE_GET_WORD:
          stack::push_copy(_context::get_word(&v));
          break;
        case TYPE_GET_PATH:
          return evaluate_path(&v, site.code, pos + 1, false, true, nullptr);
        default:
          stack::push_copy(&v);
          break;
      }
      trace::event(trace::EV_PUSH, site.code, pos, stack::last_pushed());
      return pos + 1;
    }
    default:
      return evaluate_expression(site.code, pos, no_infix, true, false);
  }
}

// Skips one argument without evaluating it (apply/safer).
uint32_t skip_argument(const CallSite& site, uint32_t pos) { return pos < tail_of(site.code) ? pos + 1 : pos; }

// Finds the refinement entry for a word: its index in the list, or -1.
// The same symbol needs no case folding; nothing here allocates, so the
// list's cells are read in place.
int32_t find_refinement(uint32_t list, const Cell* word) {
  const uint32_t n = series_length(list);
  const Cell* e = series_head_cell(list);
  const uint32_t symbol = word->data2;
  // The same symbol first, with no case folding: a spec holds no two
  // refinements that fold to one spelling, so an exact match is the one the
  // folded search would find.
  for (uint32_t i = 0; i < n; ++i)
    if (e[i].data2 == symbol && TYPE_OF(e + i) == TYPE_REFINEMENT) return static_cast<int32_t>(i);
  const uint32_t folded = symbol::canonical(symbol);
  for (uint32_t i = 0; i < n; ++i) {
    if (TYPE_OF(e + i) != TYPE_REFINEMENT) continue;
    if (e[i].data2 == symbol || symbol::canonical(e[i].data2) == folded) return static_cast<int32_t>(i);
  }
  return -1;
}

// Reads the logic! that says whether a refinement is used (apply modes).
bool read_refinement_flag(const CallSite& site, const Cell* refinement, uint32_t* pos) {
  if (*pos >= tail_of(site.code)) return false;
  *pos = evaluate_expression(site.code, *pos, false, true, false);
  Cell flag = *stack::last_pushed();
  stack::drop_cells(1);
  if (TYPE_OF(&flag) != TYPE_LOGIC) {
    Cell name = *site.name;
    Cell word = *refinement;
    word.header = TYPE_WORD;
    fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&flag), word);
  }
  return flag.data1 != 0;
}

// The state of one argument fetch.
struct Fetch {
  const CallSite& site;
  uint32_t fn_slot;  // the function cell's stack index (just below the frame)
  uint32_t list;
  bool builtin;
  std::array<int32_t, kMaxRefinements> refs;
  uint32_t fetched = 0;  // the arguments pushed so far (natives' positions)
  // The refinements met through the path or block, by the ordinal or slot
  // their entry holds: those below 64 as bits, any others on the heap.
  uint64_t seen_low = 0;
  std::vector<uint32_t> seen_far;

  Fetch(const CallSite& s, uint32_t slot, uint32_t l, bool b) : site(s), fn_slot(slot), list(l), builtin(b) {
    std::memset(refs.data(), 0xFF, sizeof refs);  // every entry -1: unused
  }
  const Cell* fn() const { return stack::at(fn_slot); }

  // A refinement met through a path or an apply block: a second use of the
  // same refinement raises dup-refine; used is what the element says. Its
  // arguments are fetched in order (evaluated even when unused, unless
  // safer) and stored in their slots when it is used.
  void use_refinement(int32_t at, bool used, uint32_t* pos, bool from_block, bool safer);

  // The refinements the call's path names, in order, each with its
  // arguments (use_refinement). Answers the position after them.
  uint32_t use_path(uint32_t pos, bool from_block) {
    const uint32_t path_node = site.path->data2;
    const uint32_t head = site.path->data1;
    for (uint32_t k = head + site.path_pos; k < cells_in(path_node); ++k) {
      Cell element = series_head_cell(path_node)[k];
      bool used;
      if (TYPE_OF(&element) == TYPE_WORD) {
        used = true;
      } else if (TYPE_OF(&element) == TYPE_GET_WORD) {
        used = !logic::falsy(_context::get_word(&element));
      } else {
        fire(ErrorCategory::kScript, "bad-refine", element);
      }
      int32_t at = find_refinement(list, &element);
      if (at < 0) {
        Cell name = *site.name;
        fire(ErrorCategory::kScript, "no-refine", name, element);
      }
      use_refinement(at, used, &pos, from_block, false);
    }
    return pos;
  }

  static constexpr Cell kNoneCell{TYPE_NONE, 0, 0, 0};

 private:
  // A second use of one refinement raises dup-refine.
  [[gnu::always_inline]] void note_seen(uint32_t ordinal) {
    const uint64_t bit = uint64_t{1} << (ordinal & 63);
    if (ordinal < 64 && !(seen_low & bit)) [[likely]] {
      seen_low |= bit;
      return;
    }
    note_seen_again(ordinal);
  }
  // An ordinal past the bits, or one met before.
  [[gnu::noinline]] void note_seen_again(uint32_t ordinal) {
    if (ordinal >= 64) {
      bool met = false;
      for (uint32_t o : seen_far) met = met || o == ordinal;
      if (!met) {
        seen_far.push_back(ordinal);
        return;
      }
    }
    Cell p = name_or_path(site);
    fire(ErrorCategory::kScript, "dup-refine", p);
  }
};

// Reports the call to the tracer, then calls a native or action entry with
// the refinement positions, or pushes a function's locals.
[[gnu::always_inline]] inline void finish_fetch(const CallSite& site, uint32_t fn_slot, uint32_t pos, const int32_t* refs,
                                              int32_t locals) {
  if (trace::on()) {
    Cell fn_value = *stack::at(fn_slot);
    Cell ref = name_or_path(site);
    trace::event(trace::EV_CALL, site.code, pos, &fn_value, &ref);
  }
  Cell fn_value = *stack::at(fn_slot);
  switch (TYPE_OF(&fn_value)) {
    case TYPE_NATIVE:
      // The arguments are fetched: from here on if, unless and either only
      // evaluate their block, so their frame may let a departure pass.
      if (passes_return_q(&fn_value)) mark_passes_return();
      call_native(native::entry_index(&fn_value), 0, refs);
      break;
    case TYPE_ACTION: {
      uint32_t index = native::entry_index(&fn_value);
      ActionEntry entry = index <= kActionCount ? action_table[index] : nullptr;
      if (!entry) fire(ErrorCategory::kInternal, "not-done");
      run_entry([&] { entry(refs); });
      break;
    }
    default:
      if (locals > 0) function::init_locals(locals);
      break;
  }
}

// Every refinement unused: the positions a native or action gets.
constexpr std::array<int32_t, kMaxRefinements> kNoRefinements = [] {
  std::array<int32_t, kMaxRefinements> a{};
  for (int32_t& r : a) r = -1;
  return a;
}();

uint32_t fetch_arguments_full(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed);

// One evaluated argument, tracing off and pos before the tail of the code
// whose cells and tail the caller holds: pushes its value and answers the
// position after it. The cheap cases first, each giving what
// evaluate_expression gives: a number, written in the code or the value of
// a word, starts a number chain (n - 1), computed at once, the operators the
// fast start declined running as calls; a block, string or number written in
// the code, or a word whose value is a number or plain (plain_value_q), is
// pushed as it is when no operator may take it (infix: none is applied
// after an operand; otherwise the next cell is no word whose value is an
// op! now, and looking at it cannot raise). Anything else is evaluated.
// *ran is set when code ran: the buffers may have moved, and the caller
// takes its addresses again.
[[gnu::always_inline]] inline uint32_t fetch_evaluated(const Cell* code, uint32_t pos, bool infix, const Cell* cells,
                                                       uint32_t tail, bool* ran) {
  const Cell* c = cells + pos;
  const uint32_t t = TYPE_OF(c);
  const Cell* value = c;
  if (t == TYPE_WORD) {
    value = c->data1 != 0 && c->data3 != kUnresolved ? _context::value_at(c->data1, c->data3) : nullptr;
  } else if (!(t == TYPE_BLOCK || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_STRING)) {
    value = nullptr;
  }
  if (value) {
    const uint32_t vt = TYPE_OF(value);
    if (number_type_q(vt) && !infix) {
      Cell prefix;
      bool complete = false;
      const uint32_t after = number_chain<false>(cells, tail, pos, value, &prefix, &complete, nullptr);
      stack::push_copy(&prefix);
      // Only a word can be an operator.
      if (complete || after >= tail || TYPE_OF(cells + after) != TYPE_WORD) return after;
      *ran = true;
      return infix_after(code, after);
    }
    if ((value == c || number_type_q(vt) || plain_value_q(vt)) &&
        (infix || pos + 1 >= tail || !op_value(c + 1))) {
      stack::push_copy(value);
      return pos + 1;
    }
  }
  *ran = true;
  return evaluate_expression(code, pos, infix, true, false);
}

// One evaluated argument, pos before the code's tail and tracing off: as
// evaluate_expression with keep, by the cheap cases of fetch_evaluated.
uint32_t fetch_evaluated_at(const CallSite& site, uint32_t pos, bool infix) {
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  bool ran = false;
  return fetch_evaluated(site.code, pos, infix, reinterpret_cast<const Cell*>(cb->data() + cb->head),
                         cb->used_bytes() >> 4, &ran);
}

// The common call of a function of simple shape (call_shape): the same
// fetch as fetch_arguments' walk of the list, with the walk found once:
// the arguments fetched and checked in order, then for a function the
// tail cells pushed from the mask.
[[gnu::always_inline]] inline uint32_t fetch_shaped_arguments(const CallSite& site, uint32_t fn_slot, uint32_t pos,
                                                              uint32_t shape) {
  const uint32_t args = shape_args(shape);
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  uint32_t tail = cb->used_bytes() >> 4;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  for (uint32_t i = 0; i < args; ++i) {
    if (pos < tail && !trace::on()) {
      bool ran = false;
      pos = fetch_evaluated(site.code, pos, false, cells, tail, &ran);
      const uint32_t t = stack::top_type();
      if (!((shape & kShapeDefaultTypes) ? default_types_admit(t)
                                         : typeset_admits(series_head_cell(argument_list(stack::at(fn_slot))) + i, t)))
        expect_arg(site, stack::at(fn_slot), argument_list(stack::at(fn_slot)), i, stack::last_pushed());
      if (!ran) continue;
    } else {
      const uint32_t list = argument_list(stack::at(fn_slot));
      pos = fetch_argument(site, stack::at(fn_slot), list, i, pos, false);
      check_argument(site, stack::at(fn_slot), list, i);
    }
    cb = node_buffer(site.code->data2);
    tail = cb->used_bytes() >> 4;
    cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  }
  const uint32_t cells_after = shape_tail(shape);
  for (uint32_t k = 0; k < cells_after; ++k) {
    if (shape & (1u << k)) {
      Cell flag{TYPE_LOGIC, 0, 0, 0};
      stack::push_copy(&flag);
    } else {
      stack::push_copy(&Fetch::kNoneCell);
    }
  }
  return pos;
}

[[gnu::always_inline]] inline uint32_t fetch_shaped(const CallSite& site, uint32_t fn_slot, uint32_t pos,
                                                    uint32_t shape) {
  pos = fetch_shaped_arguments(site, fn_slot, pos, shape);
  finish_fetch(site, fn_slot, pos, kNoRefinements.data(), static_cast<int32_t>(shape_locals(shape)));
  return pos;
}

void Fetch::use_refinement(int32_t at, bool used, uint32_t* pos, bool from_block, bool safer) {
  Cell e = series_head_cell(list)[at];
  note_seen(e.data3);
  uint32_t base = stack::base_index();
  if (builtin) {
    uint32_t ordinal = e.data3;
    if (ordinal == 0 || ordinal > kMaxRefinements) fire(ErrorCategory::kInternal, "limit-hit", "refinements");
    if (used) refs[ordinal - 1] = static_cast<int32_t>(fetched);
  } else if (used) {
    *stack::at(base + e.data3) = Cell{TYPE_LOGIC, 1, 0, 0};
  }
  uint32_t count = 0;
  // The list never changes once built (its length is read once); its
  // buffer may move while an argument is evaluated, so each entry is read
  // through the node again.
  const uint32_t entries = cells_in(list);
  for (uint32_t j = static_cast<uint32_t>(at) + 1; j < entries; ++j) {
    const Cell* a = series_head_cell(list) + j;
    const uint32_t kind = arg_kind(a);
    if (TYPE_OF(a) != TYPE_TYPESET || kind == kArgReturn) break;
    ++count;
    if (!used && safer) {
      *pos = skip_argument(site, *pos);
      continue;
    }
    const SeriesBuffer* cb = node_buffer(site.code->data2);
    const uint32_t tail = cb->used_bytes() >> 4;
    if (from_block && *pos >= tail) {
      stack::push_copy(&kNoneCell);
    } else if (kind == kArgEvaluated && *pos < tail && !trace::on()) {
      bool ran = false;
      *pos = fetch_evaluated(site.code, *pos, false, reinterpret_cast<const Cell*>(cb->data() + cb->head), tail, &ran);
      // The entry read again: the list's buffer may have moved.
      if (!typeset_admits(series_head_cell(list) + j, stack::top_type()))
        expect_arg(site, fn(), list, j, stack::last_pushed());
    } else {
      *pos = fetch_argument(site, fn(), list, j, *pos, false);
      check_argument(site, fn(), list, j);
    }
    if (used && !builtin) {
      copy_cell(stack::last_pushed(), stack::at(base + e.data3 + count));
      stack::drop_cells(1);
    } else if (used) {
      ++fetched;
    } else {
      stack::drop_cells(1);  // evaluated for its effects, then dropped
    }
  }
}

// A call through a path (no apply, not infix) of a function of simple
// shape: the mandatory arguments and the unused refinements' cells as the
// common call pushes them, then the refinements the path names, as
// fetch_arguments_full takes them after its walk of the list (which gives
// the same cells in the same order).
[[gnu::noinline]] uint32_t fetch_path_shaped(const CallSite& site, uint32_t fn_slot, uint32_t pos, uint32_t shape) {
  pos = fetch_shaped_arguments(site, fn_slot, pos, shape);
  Fetch f(site, fn_slot, argument_list(stack::at(fn_slot)), builtin_q(stack::at(fn_slot)));
  f.fetched = shape_args(shape);
  pos = f.use_path(pos, false);
  finish_fetch(site, fn_slot, pos, f.refs.data(), static_cast<int32_t>(shape_locals(shape)));
  return pos;
}

}  // namespace

// Fetches the arguments of a call (the frame is open, the function cell sits
// at fn_slot just below its base), then calls a native or action entry, or
// pushes a function's locals. In infix position the left operand is already
// the first argument.
//
// The common call (no apply mode, no path, nothing pushed by the caller)
// walks the list once: its mandatory arguments, then the unused refinements
// and their arguments (none! and false for a function, nothing for a native).
uint32_t fetch_arguments(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed) {
  if (site.mode != kApplyNone || site.path || pushed) [[unlikely]] {
    if (g_resolved && site.mode == kApplyNone && site.path && !pushed && !infix) {
      const uint32_t shape = call_shape(stack::at(fn_slot));
      if (shape & kShapeSimple) return fetch_path_shaped(site, fn_slot, pos, shape);
    }
    return fetch_arguments_full(site, fn_slot, pos, infix, pushed);
  }
  if (g_resolved && !infix) {
    const uint32_t shape = call_shape(stack::at(fn_slot));
    if (shape & kShapeSimple) [[likely]] return fetch_shaped(site, fn_slot, pos, shape);
  }
  uint32_t list = argument_list(stack::at(fn_slot));
  uint32_t fetched = 0;
  uint32_t i = 0;
  // The list is built once and never changes, and the code changes only when
  // code runs; but both buffers may move whenever anything allocates. So the
  // addresses below are taken again after every argument that was evaluated
  // as an expression, and kept over the ones pushed or computed in place.
  const SeriesBuffer* lb = node_buffer(list);
  const uint32_t entries = lb->used_bytes() >> 4;
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  uint32_t tail = cb->used_bytes() >> 4;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  auto again = [&] {
    lb = node_buffer(list);
    e = reinterpret_cast<const Cell*>(lb->data() + lb->head) + i;
    cb = node_buffer(site.code->data2);
    tail = cb->used_bytes() >> 4;
    cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  };
  for (; i < entries; ++i, ++e) {
    if (TYPE_OF(e) != TYPE_TYPESET) break;
    uint32_t kind = arg_kind(e);
    if (kind == kArgReturn) continue;
    if (infix && fetched == 0) {
      check_argument(site, stack::at(fn_slot), list, i);
    } else if (kind == kArgEvaluated && pos < tail && !trace::on()) {
      bool ran = false;
      pos = fetch_evaluated(site.code, pos, infix, cells, tail, &ran);
      if (ran) again();
      if (!typeset_admits(e, stack::top_type())) expect_arg(site, stack::at(fn_slot), list, i, stack::last_pushed());
    } else {
      pos = fetch_argument(site, stack::at(fn_slot), list, i, pos, infix);
      again();
      check_argument(site, stack::at(fn_slot), list, i);
    }
    ++fetched;
  }
  int32_t locals = 0;
  if (!builtin_q(stack::at(fn_slot))) {
    for (; i < entries; ++i) {
      Cell e = series_head_cell(list)[i];
      switch (TYPE_OF(&e)) {
        case TYPE_TYPESET:
          if (arg_kind(&e) != kArgReturn) stack::push_copy(&Fetch::kNoneCell);
          break;
        case TYPE_REFINEMENT: {
          Cell flag{TYPE_LOGIC, 0, 0, 0};
          stack::push_copy(&flag);
          break;
        }
        case TYPE_INTEGER:
          if (locals == 0) locals = static_cast<int32_t>(e.data2);
          break;
        default:
          break;
      }
    }
  }
  finish_fetch(site, fn_slot, pos, kNoRefinements.data(), locals);
  return pos;
}

uint32_t find_call_shape(const Cell* fn) {
  const uint32_t list = argument_list(fn);
  const bool builtin = builtin_q(fn);
  const uint32_t count = cells_in(list);
  const Cell* e = series_head_cell(list);
  bool simple = true;
  bool default_types = true;
  uint32_t locals = 0;
  uint32_t i = 0;
  for (; i < count && TYPE_OF(e + i) == TYPE_TYPESET && arg_kind(e + i) != kArgReturn; ++i) {
    if (arg_kind(e + i) != kArgEvaluated) simple = false;
    for (uint32_t t = 0; t < 96; ++t) {
      if (typeset_admits(e + i, t) != default_types_admit(t)) default_types = false;
    }
  }
  const uint32_t args = i;
  // A return: entry after the arguments is none (the fetch skips it); an
  // argument after it takes the walk of the list.
  for (; i < count && TYPE_OF(e + i) == TYPE_TYPESET; ++i) {
    if (arg_kind(e + i) != kArgReturn) simple = false;
  }
  uint32_t cells_after = 0;
  uint32_t mask = 0;
  // Natives and actions get nothing for their unused refinements; functions
  // and routines a false per refinement and a none! per argument.
  for (; !builtin && i < count; ++i) {
    switch (TYPE_OF(e + i)) {
      case TYPE_TYPESET:
        if (arg_kind(e + i) != kArgReturn) ++cells_after;
        break;
      case TYPE_REFINEMENT:
        if (cells_after < kShapeMaxTail) mask |= 1u << cells_after;
        ++cells_after;
        break;
      case TYPE_INTEGER:
        // The locals count: the first integer! only, as the fetch reads it.
        if (locals == 0) locals = e[i].data2;
        break;
      default:
        break;
    }
  }
  if (args > kShapeMaxArgs || cells_after > kShapeMaxTail || locals > kShapeMaxLocals) simple = false;
  uint32_t shape = kShapeKnown;
  if (simple) {
    shape |= kShapeSimple | (args << kShapeArgsShift) | (cells_after << kShapeTailShift) |
             (locals << kShapeLocalsShift) | mask;
    if (default_types) shape |= kShapeDefaultTypes;
  }
  series_head_cell(native::aux_node(fn))[native::kAuxArgumentList].data3 = shape;
  return shape;
}

namespace {

// Every other call: apply modes, refinements named by a path, operands
// pushed by the caller.
uint32_t fetch_arguments_full(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed) {
  uint32_t list = argument_list(stack::at(fn_slot));
  Fetch f(site, fn_slot, list, builtin_q(stack::at(fn_slot)));
  uint32_t mode = site.mode;
  bool all = mode & kApplyAll;
  bool safer = mode & kApplySafer;
  bool active = true;
  int32_t locals = 0;
  // The list is built once and never changes; its buffer may move.
  uint32_t entries = series_length(list);
  for (uint32_t i = 0; i < entries; ++i) {
    Cell e = series_head_cell(list)[i];
    switch (TYPE_OF(&e)) {
      case TYPE_TYPESET:
        if (arg_kind(&e) == kArgReturn) break;
        if (!active) {
          // The argument of an unused refinement: in apply/all the block
          // still holds it.
          if (all) {
            if (safer) {
              pos = skip_argument(site, pos);
            } else if (pos < tail_of(site.code)) {
              pos = fetch_argument(site, f.fn(), list, i, pos, false);
              stack::drop_cells(1);
            }
          }
          if (!f.builtin) stack::push_copy(&Fetch::kNoneCell);
          break;
        }
        if (f.fetched < pushed) {
          // Pushed by the caller already (an operator's operands): checked
          // where they lie.
          const Cell* value = stack::at(stack::base_index() + f.fetched);
          if (!typeset_admits(&e, TYPE_OF(value))) expect_arg(site, f.fn(), list, i, value);
        } else if (mode && pos >= tail_of(site.code)) {
          stack::push_copy(&Fetch::kNoneCell);
        } else if (infix && f.fetched == 0) {
          check_argument(site, f.fn(), list, i);
        } else if (arg_kind(&e) == kArgEvaluated && pos < tail_of(site.code)) {
          // The common argument, fetched and checked here against the
          // entry read above.
          pos = trace::on() ? evaluate_expression(site.code, pos, infix, true, false)
                            : fetch_evaluated_at(site, pos, infix);
          if (!typeset_admits(&e, stack::top_type())) expect_arg(site, f.fn(), list, i, stack::last_pushed());
        } else {
          pos = fetch_argument(site, f.fn(), list, i, pos, infix);
          check_argument(site, f.fn(), list, i);
        }
        ++f.fetched;
        break;
      case TYPE_REFINEMENT: {
        bool used = all && read_refinement_flag(site, &e, &pos);
        if (f.builtin) {
          if (used) f.refs[e.data3 - 1] = static_cast<int32_t>(f.fetched);
        } else {
          Cell flag{TYPE_LOGIC, used ? 1u : 0u, 0, 0};
          stack::push_copy(&flag);
        }
        active = used;
        break;
      }
      case TYPE_INTEGER:
        if (!f.builtin && locals == 0) locals = static_cast<int32_t>(e.data2);
        break;
      default:
        break;
    }
  }

  if (site.path) pos = f.use_path(pos, mode != 0);

  if (mode & kApplyRefinements) {
    // refinement! values, each followed by a logic! and its arguments.
    bool any = false;
    for (uint32_t i = 0; i < series_length(list) && !any; ++i) any = TYPE_OF(series_head_cell(list) + i) == TYPE_REFINEMENT;
    while (any && pos < tail_of(site.code)) {
      Cell element = read_at(site.code, pos);
      if (TYPE_OF(&element) != TYPE_REFINEMENT) fire(ErrorCategory::kScript, "bad-refine", element);
      ++pos;
      int32_t at = find_refinement(list, &element);
      if (at < 0) {
        Cell name = *site.name;
        fire(ErrorCategory::kScript, "no-refine", name, element);
      }
      bool used = read_refinement_flag(site, &element, &pos);
      f.use_refinement(at, used, &pos, true, safer);
    }
  }

  finish_fetch(site, fn_slot, pos, f.refs.data(), locals);
  return pos;
}

// Runs a routine whose arguments are pushed (its frame is open).
void invoke_routine(const Cell* fn) {
  Cell r = *fn;
  int32_t index = 0;
  Cell entry_cell = *function::aux_cell(&r, function::kAuxNative);
  if (TYPE_OF(&entry_cell) == TYPE_INTEGER) index = static_cast<int32_t>(entry_cell.data2);
  routine::Entry entry = routine::entry_at(index);
  if (!entry) fire(ErrorCategory::kInternal, "routines");
  if (r.header & routine::kFlagRoutine) {
    run_entry(entry);
    return;
  }
  // Each argument against the type its spec names; the result made from
  // the declared return type.
  uint32_t spec = function::spec_node(&r);
  uint32_t arg = 0;
  uint32_t result_type = 0;
  for (uint32_t i = 0; i < series_length(spec); ++i) {
    Cell v = series_head_cell(spec)[i];
    uint32_t t = TYPE_OF(&v);
    if (t == TYPE_REFINEMENT) break;
    if (t != TYPE_WORD && t != TYPE_SET_WORD) continue;
    uint32_t type = 0;
    if (i + 1 < series_length(spec) && TYPE_OF(series_head_cell(spec) + i + 1) == TYPE_BLOCK) {
      Cell types = series_head_cell(spec)[i + 1];
      Cell first = series_length(types.data2) > types.data1 ? series_head_cell(types.data2)[types.data1]
                                                            : Cell{TYPE_NONE, 0, 0, 0};
      Cell value = TYPE_OF(&first) == TYPE_WORD && first.data1 ? *_context::get_word(&first) : first;
      if (TYPE_OF(&value) == TYPE_DATATYPE) {
        type = value.data1;
      } else if (TYPE_OF(&value) == TYPE_TYPESET && t == TYPE_SET_WORD) {
        continue;  // a typeset return type converts nothing
      } else if (TYPE_OF(&value) == TYPE_TYPESET && t == TYPE_WORD) {
        Cell* a = stack::arguments() + arg;
        if (!typeset_admits(&value, TYPE_OF(a))) {
          Cell name = *_context::self_cell(function::context_node(&r));
          Cell w = v;
          w.header = TYPE_WORD;
          Cell at = *a;
          stack::calling_word(&name);
          fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&at), w);
        }
        ++arg;
        continue;
      } else {
        fire(ErrorCategory::kScript, "invalid-type-spec", first);
      }
    }
    if (t == TYPE_SET_WORD) {
      result_type = type;
      continue;
    }
    Cell* a = stack::arguments() + arg;
    if (type != 0 && TYPE_OF(a) != type) {
      Cell name;
      stack::calling_word(&name);
      Cell w = v;
      w.header = TYPE_WORD;
      Cell at = *a;
      fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&at), w);
    }
    ++arg;
  }
  run_entry(entry);
  Cell* result = stack::arguments();
  switch (result_type) {
    case TYPE_LOGIC:
      if (TYPE_OF(result) == TYPE_INTEGER) *result = Cell{TYPE_LOGIC, result->data2 != 0 ? 1u : 0u, 0, 0};
      break;
    case TYPE_INTEGER:
      if (TYPE_OF(result) == TYPE_LOGIC) *result = Cell{TYPE_INTEGER, 0, result->data1 ? 1u : 0u, 0};
      break;
    case TYPE_FLOAT:
      if (TYPE_OF(result) == TYPE_INTEGER) {
        double d = static_cast<int32_t>(result->data2);
        *result = Cell{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(result, d);
      }
      break;
    default:
      break;
  }
}

// Runs the body of the function whose frame is the top frame; the result is
// left in the frame's base cell.
[[gnu::always_inline]] inline void run_function_body(const Cell* fn, const Cell* name) {
  Cell f = *fn;
  uint32_t ctx = function::context_node(&f);
  uint32_t frame = stack::frame_count() - 1;
  // The arguments and locals live on the stack from the base on, one cell
  // for each word of the context: the cells pushed are the values, and no
  // word reaches past them.
  stack::start_function_body(ctx);

  bool trace_on = trace::on();
  if (trace::active() && (f.header & function::kFlagTrace)) trace_on = true;
  if (f.header & function::kFlagNoTrace) trace_on = false;
  trace::Scope tracing(trace_on);

  Cell body = series_head_cell(function::aux_node(&f))[function::kAuxBody];
  trace::event(trace::EV_PROLOG, &body, -1, &f, name);
  // A return aimed at this frame ends here, however the body is left.
  ScopeExit pending_end([frame] {
    if (g_pending && g_pending_target == frame) g_pending = 0;
  });
  if (TYPE_OF(&body) == TYPE_BLOCK) {
    try {
      evaluate_body_block(&body);
    } catch (const stack::NonLocalExit& e) {
      // return and exit aimed at this frame end here, their value in the
      // base cell; everything else goes on unwinding.
      bool ours = (e.code == stack::THROW_RETURN || e.code == stack::THROW_EXIT) && stack::frame_count() == frame + 1;
      if (!ours) throw;
    }
    if (g_pending && g_pending_target == frame) {
      g_pending = 0;
      stack::set_only_result(&g_pending_value);
      g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
    }
  } else {
    Cell unset{TYPE_UNSET, 0, 0, 0};
    stack::set_only_result(&unset);
  }
  trace::event(trace::EV_EPILOG, &body, -1, &f, name);
  stack::keep_first();
}

uint32_t call_branch_native(const CallSite& site, uint32_t fn_slot, uint32_t pos);

}  // namespace

// Calls a function value: pushes exactly one cell, its result. In infix
// position the left operand (the last pushed cell) becomes the first
// argument and the result takes its place.
uint32_t evaluate_call(const Cell& fn_value, const CallSite& site, uint32_t pos, bool infix) {
  check_stack();
  uint32_t t = TYPE_OF(&fn_value);
  if (trace::on()) trace::event(trace::EV_OPEN, site.code, static_cast<int64_t>(pos) - 1, site.name);
  Cell left{TYPE_UNSET, 0, 0, 0};
  if (infix) {
    left = *stack::last_pushed();
    stack::drop_cells(1);
  }
  Cell fn = fn_value;
  const uint32_t slot = push_function_cell(&fn);
  {
    stack::FrameGuard guard;
    switch (t) {
      case TYPE_FUNCTION:
        // Opened as a call frame while the arguments are fetched (a return
        // met there leaves the enclosing function), turned into a function
        // frame when the body starts.
        stack::open_interp_fetch_frame(site.name, function::context_node(&fn_value));
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        run_function_body(stack::at(slot), site.name);
        stack::pop_body_frame();
        break;
      case TYPE_ROUTINE:
        stack::open_interp_call_frame(site.name);
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        invoke_routine(stack::at(slot));
        stack::pop_frame();
        break;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        stack::open_interp_call_frame(site.name);
        if (!infix && passes_return_q(&fn_value)) {
          pos = call_branch_native(site, slot, pos);
          stack::pop_frame();
          break;
        }
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        stack::pop_frame();
        break;
      default:
        fatal_runtime_error(101);
    }
  }
  result_to_function_slot(slot);
  if (trace::on()) {
    Cell ref = name_or_path(site);
    trace::event(trace::EV_RETURN, site.code, pos, stack::at(slot), &ref);
  }
  return pos;
}

namespace {

// A call named by a word of the code (or by a path whose first word names
// it), not in infix position, tracing off, of a function (kFunction) or of a
// native or action, of simple shape: what evaluate_call does, by the
// shortest way (no apply mode or infix operand to look for, the arguments
// fetched by the shape, then a path's refinements). Each kind has its own
// copy, with one fetch in it: unoptimised builds give every inlined copy a
// stack frame of its own, and deep recursion goes through here.
template <bool kFunction>
[[gnu::always_inline]] inline uint32_t word_call(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos,
                                                 uint32_t shape, const Cell* path) {
  CallSite site{code, word, path, 1};
  if (!kFunction && native::entry_index(&fn_value) == native_index(NativeId::kReturn) &&
      TYPE_OF(&fn_value) == TYPE_NATIVE && shape_args(shape) == 1 && !path) {
    // return of a value that needs no call: nothing can see a frame for
    // it, so none is opened when the departure can go quickly.
    const SeriesBuffer* cb = node_buffer(code->data2);
    const uint32_t tail = cell_count(cb);
    Cell value;
    const uint32_t after =
        pos < tail ? quiet_operand(reinterpret_cast<const Cell*>(cb->data() + cb->head), tail, pos, &value) : 0;
    if (after && ((shape & kShapeDefaultTypes) ? default_types_admit(TYPE_OF(&value))
                                               : typeset_admits(series_head_cell(argument_list(&fn_value)),
                                                                TYPE_OF(&value))) &&
        return_without_frame(&value))
      return after;
  }
  check_stack();
  Cell fn = fn_value;
  const uint32_t slot = push_function_cell(&fn);
  {
    stack::FrameGuard guard;
    if (kFunction) {
      stack::open_interp_fetch_frame(word, function::context_node(&fn));
    } else {
      stack::open_interp_call_frame(word);
    }
    if (path) [[unlikely]] {
      pos = fetch_path_shaped(site, slot, pos, shape);
    } else {
      pos = fetch_shaped_arguments(site, slot, pos, shape);
      if (kFunction) {
        if (trace::on()) [[unlikely]] {
          Cell ref = name_or_path(site);
          trace::event(trace::EV_CALL, code, pos, &fn, &ref);
        }
        if (const uint32_t locals = shape_locals(shape)) function::init_locals(static_cast<int32_t>(locals));
      } else if (TYPE_OF(&fn) == TYPE_NATIVE && native::entry_index(&fn) == native_index(NativeId::kReturn) &&
                 !trace::on()) {
        // return: the departure starts here, as its entry would start it.
        const Cell value = *stack::arguments();
        leave_function(&value);
      } else {
        finish_fetch(site, slot, pos, kNoRefinements.data(), 0);
      }
    }
    if (kFunction) {
      run_function_body(&fn, word);
      stack::pop_body_frame();
    } else {
      stack::pop_frame();
    }
  }
  result_to_function_slot(slot);
  if (trace::on()) [[unlikely]] {
    Cell ref = name_or_path(site);
    trace::event(trace::EV_RETURN, code, pos, stack::at(slot), &ref);
  }
  return pos;
}

}  // namespace

uint32_t evaluate_word_call(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos, uint32_t shape,
                            const Cell* path) {
  return word_call<false>(code, word, fn_value, pos, shape, path);
}

uint32_t evaluate_function_word_call(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos,
                                     uint32_t shape, const Cell* path) {
  return word_call<true>(code, word, fn_value, pos, shape, path);
}

namespace {

// The branch of if, unless or either taken (evaluate_branch_word): the call
// as evaluate_call makes it, its frame opened and its arguments (the
// condition's value, then the blocks at `blocks`) pushed as the common
// fetch pushes them, then the branch run as call_branch_native runs it.
[[gnu::noinline]] uint32_t run_branch_word(const Cell* code, const Cell* word, const Cell& fn_value, const Cell& cond,
                                           uint32_t blocks, uint32_t count, int32_t branch) {
  check_stack();
  Cell fn = fn_value;
  const uint32_t slot = push_function_cell(&fn);
  {
    stack::FrameGuard guard;
    stack::open_interp_call_frame(word);
    stack::push_copy(&cond);
    for (uint32_t i = 1; i < count; ++i) stack::push_copy(series_head_cell(code->data2) + blocks + i - 1);
    run_branch(branch);
    stack::pop_frame();
  }
  result_to_function_slot(slot);
  const uint32_t pos = blocks + count - 1;
  if (trace::on()) {
    Cell ref = *word;
    trace::event(trace::EV_RETURN, code, pos, stack::at(slot), &ref);
  }
  return pos;
}

}  // namespace

// if, unless and either called by a word, tracing off, whose condition needs
// no call (quiet_operand) and whose branches are blocks written in the code:
// the condition is found without a frame, since nothing in it can see one,
// and the call's frame is opened only when a branch runs. Anything else
// answers 0, for evaluate_call.
uint32_t evaluate_branch_word(const Cell* code, const Cell* word, const Cell& fn_value, uint32_t pos) {
  const uint32_t index = native::entry_index(&fn_value);
  const uint32_t count = index == native_index(NativeId::kEither) ? 3 : 2;
  const SeriesBuffer* cb = node_buffer(code->data2);
  const uint32_t tail = cell_count(cb);
  if (pos >= tail) return 0;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  Cell cond;
  const uint32_t blocks = quiet_operand(cells, tail, pos, &cond);
  const uint32_t after = blocks + count - 1;
  if (!blocks || after > tail || TYPE_OF(cells + blocks) != TYPE_BLOCK ||
      (count == 3 && TYPE_OF(cells + blocks + 1) != TYPE_BLOCK) || (after < tail && op_value(cells + after)))
    return 0;
  // The native's own list, taking these values.
  const SeriesBuffer* lb = node_buffer(argument_list(&fn_value));
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  if (!branch_list_q(lb, count) || !typeset_admits(e, TYPE_OF(&cond)) || !typeset_admits(e + 1, TYPE_BLOCK) ||
      (count == 3 && !typeset_admits(e + 2, TYPE_BLOCK)))
    return 0;
  const int32_t branch = natives::branch_of(index, &cond);
  if (branch >= 0) return run_branch_word(code, word, fn_value, cond, blocks, count, branch);
  const Cell none{TYPE_NONE, 0, 0, 0};
  stack::push_copy(&none);
  return after;
}

namespace {

// if, unless and either (passes_return_q) called by a word of the code, not
// in infix position, their frame open: their two or three evaluated
// arguments are fetched as fetch_arguments fetches them, in the same order
// with the same checks, without its walk of a general argument list; then the
// native runs. A path or an apply, tracing, or a native made with another
// argument list take fetch_arguments.
uint32_t call_branch_native(const CallSite& site, uint32_t fn_slot, uint32_t pos) {
  const uint32_t index = native::entry_index(stack::at(fn_slot));
  const uint32_t count = index == native_index(NativeId::kEither) ? 3 : 2;
  const uint32_t list = argument_list(stack::at(fn_slot));
  const SeriesBuffer* lb = node_buffer(list);
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  if (site.mode != kApplyNone || site.path || trace::on() || !branch_list_q(lb, count)) [[unlikely]]
    return fetch_arguments(site, fn_slot, pos, false);
  // Each argument as the common fetch takes an evaluated one. The list's and
  // the code's addresses are taken again after anything that evaluated code.
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  uint32_t tail = cb->used_bytes() >> 4;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  for (uint32_t i = 0; i < count; ++i) {
    if (pos < tail && !trace::on()) {
      bool moved = false;
      pos = fetch_evaluated(site.code, pos, false, cells, tail, &moved);
      if (moved) {
        lb = node_buffer(list);
        e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
      }
      if (!typeset_admits(e + i, stack::top_type()))
        expect_arg(site, stack::at(fn_slot), list, i, stack::last_pushed());
      if (!moved) continue;
    } else {
      pos = fetch_argument(site, stack::at(fn_slot), list, i, pos, false);
      check_argument(site, stack::at(fn_slot), list, i);
      lb = node_buffer(list);
      e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
    }
    cb = node_buffer(site.code->data2);
    tail = cb->used_bytes() >> 4;
    cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  }
  if (trace::on()) {
    Cell fn_value = *stack::at(fn_slot);
    Cell ref = name_or_path(site);
    trace::event(trace::EV_CALL, site.code, pos, &fn_value, &ref);
  }
  // The arguments are fetched: the native's own choice of branch, then its
  // block run here as the native would run it.
  const int32_t branch = natives::branch_of(index, stack::arguments());
  if (branch < 0) {
    Cell none{TYPE_NONE, 0, 0, 0};
    stack::set_only_result(&none);
    return pos;
  }
  run_branch(branch);
  return pos;
}

}  // namespace

}  // namespace internal

using namespace internal;

void invoke_function_value(const Cell* fn, const Cell* name, uint32_t callback_kind) {
  // An ordinary call: the body's own tracing scope puts the state back.
  if (callback_kind == trace::CB_NONE) {
    run_function_body(fn, name);
    return;
  }
  // Tracing stays on inside a callback only when its kind is enabled.
  bool traced = trace::on();
  if (traced && callback_kind != trace::CB_NONE && !trace::callback_traced_q(callback_kind)) traced = false;
  trace::Scope tracing(traced);
  Cell f = *fn;
  if (callback_kind != trace::CB_NONE && trace::on()) trace::event(trace::EV_CALL, nullptr, -1, &f, name);
  run_function_body(&f, name);
  if (callback_kind != trace::CB_NONE && trace::on()) trace::event(trace::EV_RETURN, nullptr, -1, stack::arguments(), name);
}

namespace {
// Where call_function_reading_back copies a function!'s argument cells as
// they stand when its body has run (nullptr: nowhere).
Cell* g_read_back = nullptr;
}  // namespace

void call_function_reading_back(const Cell* fn, Cell* args, uint32_t count, const Cell* name,
                                uint32_t callback_kind, Cell* result) {
  Restore<Cell*> back(g_read_back, TYPE_OF(fn) == TYPE_FUNCTION ? args : nullptr);
  call_function(fn, args, count, name, callback_kind, result);
}

void call_function(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, uint32_t callback_kind,
                   Cell* result) {
  check_stack();
  Cell* read_back = g_read_back;
  g_read_back = nullptr;
  Cell f = *fn;
  if (TYPE_OF(&f) == TYPE_OP) f = op_target(&f);
  f.header &= ~kFlagNewLine;
  uint32_t t = TYPE_OF(&f);
  bool builtin = t == TYPE_NATIVE || t == TYPE_ACTION;
  if (!builtin && t != TYPE_FUNCTION && t != TYPE_ROUTINE) fatal_runtime_error(101);
  Cell frame_name = name ? *name : *word_cell(words::WORD_ANON);
  uint32_t slot = stack::top_index();
  stack::push_copy(&f);
  PendingHold hold;
  {
    stack::FrameGuard guard;
    if (t == TYPE_FUNCTION) {
      stack::open_interp_function_frame(&frame_name, function::context_node(&f));
    } else {
      stack::open_interp_call_frame(&frame_name);
    }
    // The given arguments go on the stack before anything allocates: they
    // may be held nowhere else (the tracer's arguments are C++ copies).
    for (uint32_t k = 0; k < count; ++k) {
      Cell a = args[k];
      a.header &= ~kFlagNewLine;
      stack::push_copy(&a);
    }
    uint32_t base = stack::base_index();
    uint32_t list = argument_list(stack::at(slot));
    CallSite site{nullptr, &frame_name, nullptr, 0};
    // The mandatory arguments: the given ones checked in place, extra ones
    // dropped, missing ones none!.
    uint32_t n = series_length(list);
    uint32_t i = 0;
    uint32_t k = 0;
    for (; i < n; ++i) {
      Cell e = series_head_cell(list)[i];
      if (TYPE_OF(&e) == TYPE_REFINEMENT || TYPE_OF(&e) == TYPE_INTEGER) break;
      if (TYPE_OF(&e) != TYPE_TYPESET || arg_kind(&e) == kArgReturn) continue;
      if (k < count) {
        Cell value = *stack::at(base + k);
        if (!typeset_admits(&e, TYPE_OF(&value))) expect_arg(site, stack::at(slot), list, i, &value);
      }
      ++k;
    }
    if (count > k) stack::drop_cells(count - k);
    for (uint32_t m = count; m < k; ++m) stack::push_copy(&Fetch::kNoneCell);
    // Refinements unused, their arguments none!; then the locals.
    int32_t locals = 0;
    for (; i < n; ++i) {
      Cell e = series_head_cell(list)[i];
      if (TYPE_OF(&e) == TYPE_INTEGER) {
        if (!builtin && locals == 0) locals = static_cast<int32_t>(e.data2);
        continue;
      }
      if (builtin) continue;
      if (TYPE_OF(&e) == TYPE_REFINEMENT) {
        Cell flag{TYPE_LOGIC, 0, 0, 0};
        stack::push_copy(&flag);
      } else if (TYPE_OF(&e) == TYPE_TYPESET && arg_kind(&e) != kArgReturn) {
        stack::push_copy(&Fetch::kNoneCell);
      }
    }
    std::array<int32_t, kMaxRefinements> refs;
    refs.fill(-1);
    switch (t) {
      case TYPE_FUNCTION:
        function::init_locals(locals);
        invoke_function_value(stack::at(slot), &frame_name, callback_kind);
        // The result is in the first cell; the others are the arguments'
        // words as the body left them.
        if (read_back)
          for (uint32_t m = 1; m < count && m < k; ++m) read_back[m] = *stack::at(base + m);
        stack::pop_function_frame();
        break;
      case TYPE_ROUTINE:
        invoke_routine(stack::at(slot));
        stack::pop_frame();
        break;
      case TYPE_NATIVE:
        call_native(native::entry_index(&f), 0, refs.data());
        stack::pop_frame();
        break;
      default: {
        uint32_t index = native::entry_index(&f);
        ActionEntry entry = index <= kActionCount ? action_table[index] : nullptr;
        if (!entry) fire(ErrorCategory::kInternal, "not-done");
        run_entry([&] { entry(refs.data()); });
        stack::pop_frame();
        break;
      }
    }
  }
  *result = *stack::at(slot + 1);
  stack::drop_cells(stack::top_index() - slot);
}

void call_function_frame(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, Cell* result) {
  check_stack();
  Cell f = *fn;
  f.header &= ~kFlagNewLine;
  if (TYPE_OF(&f) != TYPE_FUNCTION) fatal_runtime_error(101);
  Cell frame_name = name ? *name : *word_cell(words::WORD_ANON);
  uint32_t slot = stack::top_index();
  stack::push_copy(&f);
  PendingHold hold;
  {
    stack::FrameGuard guard;
    stack::open_interp_function_frame(&frame_name, function::context_node(&f));
    uint32_t list = argument_list(stack::at(slot));
    // The frame's cells: the arguments, the refinements and their arguments,
    // up to the locals.
    uint32_t n = series_length(list);
    uint32_t cells = 0;
    int32_t locals = 0;
    for (uint32_t i = 0; i < n; ++i) {
      Cell e = series_head_cell(list)[i];
      if (TYPE_OF(&e) == TYPE_INTEGER) {
        locals = static_cast<int32_t>(e.data2);
        break;
      }
      if (TYPE_OF(&e) == TYPE_REFINEMENT || (TYPE_OF(&e) == TYPE_TYPESET && arg_kind(&e) != kArgReturn)) ++cells;
    }
    // The given values go on the stack before anything allocates: they may
    // be held nowhere else.
    for (uint32_t k = 0; k < cells; ++k) {
      Cell a = k < count ? args[k] : Fetch::kNoneCell;
      a.header &= ~kFlagNewLine;
      stack::push_copy(&a);
    }
    uint32_t base = stack::base_index();
    CallSite site{nullptr, &frame_name, nullptr, 0};
    bool active = true;
    uint32_t k = 0;
    for (uint32_t i = 0; i < n && k < cells; ++i) {
      Cell e = series_head_cell(list)[i];
      Cell* at = stack::at(base + k);
      if (TYPE_OF(&e) == TYPE_REFINEMENT) {
        active = !logic::falsy(at);
        logic::init_cell(at, active);
        ++k;
      } else if (TYPE_OF(&e) == TYPE_TYPESET && arg_kind(&e) != kArgReturn) {
        if (!active) {
          *at = Fetch::kNoneCell;
        } else if (!typeset_admits(&e, TYPE_OF(at))) {
          Cell value = *at;
          expect_arg(site, stack::at(slot), list, i, &value);
        }
        ++k;
      }
    }
    function::init_locals(locals);
    invoke_function_value(stack::at(slot), &frame_name, trace::CB_NONE);
    stack::pop_function_frame();
  }
  *result = *stack::at(slot + 1);
  stack::drop_cells(stack::top_index() - slot);
}

void apply(const Cell* fn, const Cell* block, const Cell* path, uint32_t mode) {
  Cell f = *fn;
  if (TYPE_OF(&f) == TYPE_OP) f = op_target(&f);
  // The block and the path stay on the stack below the call.
  uint32_t slot = stack::top_index();
  Cell* code = stack::push_copy(block);
  code->header = TYPE_BLOCK;
  uint32_t tail = tail_of(code);
  if (code->data1 > tail) code->data1 = tail;
  Cell* p = path ? stack::push_copy(path) : nullptr;
  Cell name = *word_cell(words::WORD_ANON);
  if (p) {
    Cell first = series_length(p->data2) > p->data1 ? series_head_cell(p->data2)[p->data1] : name;
    if (TYPE_OF(&first) == TYPE_WORD) name = first;
  }
  CallSite site{code, &name, p, 1, mode};
  {
    stack::FrameGuard guard;
    stack::open_interp_call_frame(&name);
    stack::mark_top_interpreted();
    evaluate_call(f, site, code->data1, false);
    stack::pop_frame();
  }
  copy_cell(stack::at(slot + (p ? 2 : 1)), stack::at(slot));
  stack::drop_cells(stack::top_index() - slot - 1);
}

}  // namespace kiv::interpreter
