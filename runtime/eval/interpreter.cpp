// The evaluation loop: a block walked expression by expression, each value
// of code evaluated (words, set-words, parens, paths handed on), operators
// applied after each value; the code scopes that say where evaluation is,
// the error position and the quick departures (interpreter.h).
#include "runtime/eval/interpreter.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/eval_hooks.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/interpreter_fast.h"
#include "runtime/eval/interpreter_internal.h"
#include "runtime/eval/trace.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter {

namespace detail {
uint32_t g_pending = 0;
uint32_t g_pending_target = 0;
}  // namespace detail

namespace internal {

Cell g_pending_value{TYPE_UNSET, 0, 0, 0};
bool g_resolved = true;

namespace {

class CodeScope;
// The innermost open code scope (nullptr: none). Each names the block it
// evaluates, the position of the expression being evaluated in it, and links
// to the scope it interrupted, so the chain holds every code block still
// being evaluated: all of them are collector roots, so code stays alive while
// it runs even when nothing else refers to it any more.
CodeScope* g_code_scopes = nullptr;
// The code position when the last error was raised (its near field).
Cell g_error_code{TYPE_UNSET, 0, 0, 0};
void mark_code_scopes();

void mark_roots() {
  collector::mark_cell(&g_error_code);
  collector::mark_cell(&g_pending_value);
  mark_code_scopes();
  trace::mark_roots();
}

// Makes a code block the current one while it is evaluated. The scopes live
// on the C++ stack and link to each other; a scope refers to the code cell
// of its caller (a local that outlives it), so opening and closing one copies
// no cell and allocates nothing. The current position is the innermost
// scope's own: closing a scope leaves the one it interrupted at its position
// with nothing to put back.
class CodeScope {
 public:
  explicit CodeScope(const Cell& code) : code_(&code), pos_(code.data1), prev_(g_code_scopes) { g_code_scopes = this; }
  ~CodeScope() { g_code_scopes = prev_; }
  CodeScope(const CodeScope&) = delete;
  CodeScope& operator=(const CodeScope&) = delete;

  // The position of the expression being evaluated.
  void at(uint32_t pos) { pos_ = pos; }

  friend void mark_code_scopes();
  friend const Cell* current_code_cell();
  friend uint32_t current_pos();

 private:
  const Cell* code_;
  uint32_t pos_;
  CodeScope* prev_;
};

void mark_code_scopes() {
  for (const CodeScope* s = g_code_scopes; s; s = s->prev_) collector::mark_cell(s->code_);
}

// The code of the innermost scope, nullptr when none is open.
const Cell* current_code_cell() { return g_code_scopes ? g_code_scopes->code_ : nullptr; }
// The position in it; only meaningful while a scope is open.
uint32_t current_pos() { return g_code_scopes ? g_code_scopes->pos_ : 0; }
// The word that names block frames. The word table is a fixed array: the
// cell's address never changes (set by init).
const Cell* g_body_word = nullptr;

// A set-word and the expression after it, under a frame named by the word.
//
// While tracing is off, an expression of numbers and fast operators only
// (i: i + 1) is computed and stored without the frame when the store calls
// no hook (store_word_quietly): nothing in it can raise. Otherwise the fast
// start of it, if any, is kept and the ordinary evaluation goes on from
// where it stopped.
[[gnu::noinline]] uint32_t evaluate_set_word(const Cell* code, uint32_t pos) {
  Cell prefix;
  bool complete = false;
  ValuesCache cache;
  uint32_t after = 0;
  const Cell* cells = nullptr;
  uint32_t count = 0;
  if (!trace::on()) {
    const SeriesBuffer* b = node_buffer(code->data2);
    cells = reinterpret_cast<const Cell*>(b->data() + b->head);
    count = cell_count(b);
    after = number_prefix<true>(cells, count, pos + 1, &prefix, &complete, &cache);
  }
  if (complete) {
    // Nothing has moved since the chain was read: the code's cells and the
    // cache still hold.
    const Cell* word = cells + pos;
    Cell* slot = cache.plain_slot(word);
    if (slot) {
      *slot = prefix;
    } else {
      slot = _context::store_word_quietly(word, &prefix);
    }
    if (slot) {
      stack::push_copy(&prefix);
      return after;
    }
  }
  // Tracing off, nothing has moved the code since its cells were read, and
  // nothing before the expression can change it; the tracer may.
  const Cell v = cells ? cells[pos] : read_at(code, pos);
  uint32_t at = pos;
  ++pos;
  trace::event(trace::EV_FETCH, code, at, &v);
  stack::FrameGuard guard;
  stack::open_interp_call_frame(&v);
  stack::push_copy(&v);
  trace::event(trace::EV_PUSH, code, at, &v);
  if (pos >= (cells ? count : tail_of(code))) fire(ErrorCategory::kScript, "need-value", v);
  if (after) {
    stack::push_copy(&prefix);
    pos = apply_infix(code, after);
  } else {
    pos = evaluate_expression(code, pos, false, true, false);
  }
  Cell value = *stack::last_pushed();
  trace::event(trace::EV_SET, code, at, &value, &v);
  if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
  Cell word = v;
  _context::set_word(&word, &value);
  stack::set_only_result(&value);
  stack::pop_frame();
  return pos;
}

// Every kind of value; evaluate_value below takes the common ones itself.
[[gnu::noinline]] uint32_t evaluate_any_value(const Cell* code, uint32_t pos, bool no_call) {
  Cell v = read_at(code, pos);
  if (TYPE_OF(&v) == TYPE_SET_WORD) return evaluate_set_word(code, pos);
  uint32_t at = pos;
  ++pos;
  trace::event(trace::EV_FETCH, code, at, &v);
  switch (TYPE_OF(&v)) {
    case TYPE_PAREN:
      // Its expression's caller checks for a pending return.
      evaluate_block_in(&v, false, true);
      break;
    case TYPE_WORD: {
      Cell value = *_context::get_word(&v);
      switch (TYPE_OF(&value)) {
        case TYPE_UNSET:
          fire(ErrorCategory::kScript, "no-value", v);
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
          if (no_call) {
            stack::push_copy(&value);
            break;
          }
          CallSite site{code, &v, nullptr, 0};
          return evaluate_call(value, site, pos, false);
        }
        case TYPE_OP:
          fire(ErrorCategory::kScript, "no-op-arg", v);
        default:
          stack::push_copy(&value);
          break;
      }
      break;
    }
    case TYPE_LIT_WORD:
      set_type(&v, TYPE_WORD);
      stack::push_copy(&v);
      break;
    case TYPE_GET_WORD:
      stack::push_copy(_context::get_word(&v));
      break;
    case TYPE_ISSUE:
      if (pos < tail_of(code)) {
        Cell next = read_at(code, pos);
        std::string_view name = symbol::utf8_of(v.data2);
        if (TYPE_OF(&next) == TYPE_BLOCK && (name == "system" || name == "system-global"))
          fire(ErrorCategory::kInternal, "kiv-system");
      }
      stack::push_copy(&v);
      break;
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_FUNCTION:
    case TYPE_ROUTINE: {
      if (no_call) {
        stack::push_copy(&v);
        break;
      }
      CallSite site{code, word_cell(words::WORD_ANON), nullptr, 0};
      return evaluate_call(v, site, pos, false);
    }
    case TYPE_OP:
      fire(ErrorCategory::kInternal, "not-done");
    case TYPE_PATH:
      pos = evaluate_path(&v, code, pos, false, false, nullptr);
      break;
    case TYPE_LIT_PATH:
      set_type(&v, TYPE_PATH);
      stack::push_copy(&v);
      break;
    case TYPE_SET_PATH: {
      if (!trace::on()) {
        // Numbers and fast operators only, stored into a field without
        // hooks: nothing can raise, so no frame is needed (as for a
        // set-word).
        Cell prefix;
        bool complete = false;
        const uint32_t after = number_prefix<false>(code, pos, &prefix, &complete, nullptr);
        if (complete && set_field_quietly(&v, &prefix)) return after;
      }
      stack::FrameGuard guard;
      stack::open_interp_call_frame(word_cell(words::WORD_SET_PATH));
      if (pos >= tail_of(code)) fire(ErrorCategory::kScript, "need-value", v);
      pos = evaluate_expression(code, pos, false, true, false);
      Cell value = *stack::last_pushed();
      trace::event(trace::EV_SET, code, at, &value, &v);
      if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
      evaluate_path(&v, code, pos, true, false, stack::last_pushed());
      Cell result = *stack::last_pushed();
      stack::set_only_result(&result);
      stack::pop_frame();
      return pos;
    }
    case TYPE_GET_PATH:
      pos = evaluate_path(&v, code, pos, false, true, nullptr);
      break;
    default:
      stack::push_copy(&v);
      break;
  }
  trace::event(trace::EV_PUSH, code, at, stack::last_pushed());
  return pos;
}

// A paren of the code, in its own block frame, while tracing is on (the
// fetch and push events around it). Its expression's caller checks for a
// pending return.
[[gnu::noinline]] uint32_t evaluate_paren_traced(const Cell* code, uint32_t pos) {
  Cell v = read_at(code, pos);
  trace::event(trace::EV_FETCH, code, pos, &v);
  evaluate_block_in(&v, false, true);
  if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
  return pos + 1;
}

// A word evaluated to an unset! or op! value.
[[noreturn, gnu::noinline, gnu::cold]] void word_value_error(Cell word, uint32_t type) {
  if (type == TYPE_OP) fire(ErrorCategory::kScript, "no-op-arg", word);
  fire(ErrorCategory::kScript, "no-value", word);
}

// The values met most: a word whose value is no op!, and values that push
// themselves. Kept small so that its entry and exit cost little; the rest
// goes to evaluate_any_value.
[[gnu::always_inline]] inline uint32_t evaluate_value(const Cell* code, uint32_t pos, bool no_call) {
  const Cell* c = series_head_cell(code->data2) + pos;
  switch (TYPE_OF(c)) {
    case TYPE_WORD: {
      Cell v = *c;
      trace::event(trace::EV_FETCH, code, pos, &v);
      const Cell* value = _context::get_word(&v);
      switch (TYPE_OF(value)) {
        case TYPE_UNSET:
        case TYPE_OP:
          word_value_error(v, TYPE_OF(value));
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
          if (no_call) break;
          Cell fn = *value;
          if (!trace::on()) {
            if (passes_return_q(&fn)) {
              if (g_resolved) {
                if (const uint32_t after = evaluate_branch_word(code, &v, fn, pos + 1)) return after;
              }
            } else if (const uint32_t shape = word_call_shape(&fn)) {
              return call_by_word(code, &v, fn, pos + 1, shape);
            }
          }
          CallSite site{code, &v, nullptr, 0};
          return evaluate_call(fn, site, pos + 1, false);
        }
        default:
          break;
      }
      stack::push_copy(value);
      if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
      return pos + 1;
    }
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_BLOCK:
    case TYPE_STRING: {
      Cell v = *c;
      trace::event(trace::EV_FETCH, code, pos, &v);
      stack::push_copy(&v);
      if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
      return pos + 1;
    }
    case TYPE_SET_WORD:
      return evaluate_set_word(code, pos);
    case TYPE_PAREN:
      // Straight into its block scope: evaluate_block_in reads the cell
      // before anything can move the code.
      if (trace::on()) [[unlikely]] return evaluate_paren_traced(code, pos);
      evaluate_block_in(c, false, true);
      return pos + 1;
    default:
      return evaluate_any_value(code, pos, no_call);
  }
}

// Notes where an error is raised, before anything unwinds, and reports it
// to the tracer.
void on_error(const LanguageError& error) {
  const Cell* code = current_code_cell();
  g_error_code = code ? *code : Cell{TYPE_UNSET, 0, 0, 0};
  g_error_code.header &= ~kFlagNewLine;
  g_error_code.data1 = current_pos();
  if (!trace::on()) return;
  RootedCell e;
  error::from_language_error(error, e.get());
  Cell here;
  bool has_code = current_code(&here);
  trace::event(trace::EV_ERROR, has_code ? &here : nullptr, has_code ? here.data1 : -1, e.get());
}

}  // namespace

}  // namespace internal

using namespace internal;

void init() {
  g_error_code = Cell{TYPE_UNSET, 0, 0, 0};
  g_pending = 0;
  g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
  g_code_scopes = nullptr;
  g_body_word = word_cell(words::WORD_BODY);
  const char* resolved = std::getenv("KIV_RESOLVED");
  g_resolved = !(resolved && std::string_view(resolved) == "0");
  trace::init();
  collector::set_root_hook(collector::RootHook::kInterpreterPosition, mark_roots);
  stack::set_error_hook(on_error);
  series::set_function_invoker([](const Cell* fn, const Cell* args, uint32_t count, uint32_t kind, Cell* result) {
    call_function(fn, args, count, word_cell(words::WORD_COMPARE_CALLBACK), kind, result);
  });
  eval_hooks::install([](const Cell* code, bool pop_with_result) { evaluate_block(code, pop_with_result); },
                      call_function);
  eval_hooks::install_frame_caller(call_function_frame);
}

const char* type_name(uint32_t type) {
  return builtin_type_name(type);
}

bool current_code(Cell* out) {
  const Cell* code = current_code_cell();
  if (!code) return false;
  uint32_t t = TYPE_OF(code);
  if (t != TYPE_BLOCK && t != TYPE_PAREN) return false;
  *out = *code;
  out->header &= ~kFlagNewLine;
  out->data1 = current_pos();
  return true;
}

bool error_position(Cell* out) {
  uint32_t t = TYPE_OF(&g_error_code);
  if (t != TYPE_BLOCK && t != TYPE_PAREN) return false;
  *out = g_error_code;
  return true;
}

uint32_t code_tail(const Cell* code) { return tail_of(code); }

namespace {

// evaluate_expression, for the block loop to take in. With tail, the code's
// tail as it stands once the expression is done is left there (unless a
// departure is pending): the operator step has read it last, and only the
// tracer could change the code after that.
[[gnu::always_inline]] inline uint32_t evaluate_expression_inline(const Cell* code, uint32_t pos, bool no_infix,
                                                                  bool keep, bool no_call, uint32_t* tail = nullptr) {
  uint32_t start = stack::top_index();
  pos = evaluate_value(code, pos, no_call);
  if (pending()) return pos;
  if (!no_infix) pos = apply_infix(code, pos, tail);
  if (!keep) {
    Cell value = *stack::at(start);
    stack::set_only_result(&value);
    if (trace::on()) {
      trace::event(trace::EV_EXPR, code, pos, &value);
      if (tail) *tail = tail_of(code);
    }
  }
  return pos;
}

}  // namespace

namespace {

// The expressions of a block from its index to its tail, the last one's value
// left in the current base cell.
[[gnu::always_inline]] inline void run_block_body(const Cell& block) {
  CodeScope scope(block);
  uint32_t pos = block.data1;
  uint32_t tail = tail_of(&block);
  if (pos > tail) pos = tail;
  if (trace::on()) [[unlikely]] {
    // The tracer may change the code.
    trace::event(trace::EV_ENTER, &block, pos, &block);
    tail = tail_of(&block);
  }
  while (pos < tail && !pending()) {
    scope.at(pos);
    pos = evaluate_expression_inline(&block, pos, false, false, false, &tail);
  }
  if (trace::on()) trace::event(trace::EV_EXIT, &block, tail_of(&block), stack::arguments());
}

// A block frame that stops departures: a real frame record, so that the
// walk of a quick departure stops at it.
[[gnu::noinline]] void evaluate_block_framed(const Cell& block, bool pop_with_result) {
  stack::FrameGuard guard;
  stack::open_eval_block_frame(g_body_word, 0);
  run_block_body(block);
  if (pop_with_result) {
    stack::pop_frame_return();
  } else {
    stack::pop_frame();
  }
}

}  // namespace

void evaluate_block_in(const Cell* code, bool pop_with_result, bool passes_return) {
  // Copied whole, first (code may point into a series), and left as it is:
  // changing a field of the copy just before it is read whole again stalls
  // the processor. Where the block is shown (current_code, the tracer's
  // arguments) its line flag is dropped.
  const Cell block = *code;
  check_stack();
  if (!passes_return) [[unlikely]] {
    evaluate_block_framed(block, pop_with_result);
    return;
  }
  // A frame that lets every departure pass, named by the hidden <body>
  // word, would be skipped by every walk of the frames: the block runs in a
  // scope with no record, the stack laid out as under the frame. A
  // departure or error leaving it resets the stacks to its target frame.
  uint32_t base = stack::top_index();
  uint32_t saved = stack::open_block_scope();
  run_block_body(block);
  stack::close_block_scope(base, saved, pop_with_result);
}

namespace internal {

void evaluate_body_block(const Cell* code) {
  const Cell block = *code;
  uint32_t base = stack::top_index();
  uint32_t saved = stack::open_block_scope();
  run_block_body(block);
  stack::close_block_scope(base, saved, true);
}

}  // namespace internal

uint32_t evaluate_expression(const Cell* code, uint32_t pos, bool no_infix, bool keep, bool no_call) {
  return evaluate_expression_inline(code, pos, no_infix, keep, no_call);
}

uint32_t evaluate_next(const Cell* code, uint32_t pos, bool keep) {
  Cell block = *code;
  CodeScope scope(block);
  scope.at(pos);
  stack::FrameGuard guard;
  stack::open_interp_call_frame(word_cell(words::WORD_BODY));
  pos = evaluate_expression(&block, pos, false, false, false);
  if (keep) {
    stack::pop_frame();
  } else {
    stack::pop_frame_return();
    stack::keep_first();
  }
  return pos;
}

uint32_t evaluate_next_position(const Cell* code) {
  Cell block = *code;
  uint32_t tail = tail_of(&block);
  uint32_t pos = block.data1 > tail ? tail : block.data1;
  if (pos >= tail) {
    stack::push_new_cell();
    return pos;
  }
  return evaluate_next(&block, pos, true);
}

namespace {

// The frame a quick departure goes to: the nearest frame of the kind from
// `from` down, when every frame between lets departures pass; -1 otherwise.
// A departing native starts below its own frame, the top one.
int32_t quick_target(uint32_t kind, int32_t from = static_cast<int32_t>(stack::frame_count()) - 2) {
  for (int32_t i = from; i >= 0; --i) {
    const stack::CallFrame* f = stack::frame_at(static_cast<uint32_t>(i));
    if (f->kind() == kind) return i;
    if (!(f->header & stack::kFramePassesReturn)) return -1;
  }
  return -1;
}

void note_pending(uint32_t code, int32_t target, const Cell* value) {
  g_pending = code;
  g_pending_target = static_cast<uint32_t>(target);
  g_pending_value = value ? *value : Cell{TYPE_UNSET, 0, 0, 0};
  g_pending_value.header &= ~kFlagNewLine;
}

void set_pending(uint32_t code, int32_t target, const Cell* value) {
  note_pending(code, target, value);
  Cell unset{TYPE_UNSET, 0, 0, 0};
  stack::set_only_result(&unset);
}

}  // namespace

namespace internal {

bool return_without_frame(const Cell* value) {
  const int32_t target =
      quick_target(stack::FRAME_INTERP_FUNCTION & 0x0F, static_cast<int32_t>(stack::frame_count()) - 1);
  if (target < 0) return false;
  stack::push_new_cell();
  note_pending(stack::THROW_RETURN, target, value);
  return true;
}

}  // namespace internal

void leave_function(const Cell* value) {
  int32_t target = quick_target(stack::FRAME_INTERP_FUNCTION & 0x0F);
  if (target < 0) stack::throw_return(value);
  set_pending(value ? stack::THROW_RETURN : stack::THROW_EXIT, target, value);
}

void leave_loop(bool continue_loop, const Cell* value) {
  int32_t target = quick_target(stack::FRAME_LOOP);
  if (target < 0) stack::throw_break(continue_loop, value);
  set_pending(continue_loop ? stack::THROW_CONTINUE : stack::THROW_BREAK, target, value);
}

uint32_t LoopBody::take_pending() {
  uint32_t code = g_pending;
  g_pending = 0;
  stack::set_only_result(&g_pending_value);
  g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
  return code;
}

}  // namespace kiv::interpreter
