#include "runtime/eval/natives_control.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "runtime/datatypes/map.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/lexer.h"
#include "runtime/eval/natives.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::natives {
namespace {

TraceRunner g_trace_runner = nullptr;

constexpr Cell kNone{TYPE_NONE, 0, 0, 0};
constexpr Cell kUnset{TYPE_UNSET, 0, 0, 0};

inline Cell* arg(int32_t n) { return stack::arguments() + n; }

inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

inline bool word_kind_q(uint32_t t) { return type_in_group(t, kGroupAnyWord); }

void result_none() { stack::set_only_result(&kNone); }

// The index of a series value clamped to its tail (stored back).
uint32_t clamped_index(Cell* series) {
  uint32_t tail = series_length(series->data2);
  if (series->data1 > tail) series->data1 = tail;
  return series->data1;
}

// ---------------------------------------------------------------------------
// Argument checks, made only when the entry is asked to check (the
// interpreter has checked already). Bits run most significant first.

constexpr ArgTypeset kBlockArg = arg_typeset({TYPE_BLOCK});
constexpr ArgTypeset kCountArg = arg_typeset({TYPE_INTEGER, TYPE_FLOAT});
constexpr ArgTypeset kWordArg = arg_typeset({TYPE_WORD});
constexpr ArgTypeset kWordsArg = arg_typeset({TYPE_WORD, TYPE_BLOCK});
constexpr ArgTypeset kSeriesArg =
    arg_typeset({TYPE_BLOCK, TYPE_PAREN, TYPE_HASH, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH,
                 TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_BINARY, TYPE_VECTOR,
                 TYPE_IMAGE});
constexpr ArgTypeset kSeriesOrMapArg =
    arg_typeset({TYPE_BLOCK, TYPE_PAREN, TYPE_HASH, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH,
                 TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_BINARY, TYPE_VECTOR,
                 TYPE_IMAGE, TYPE_MAP});

struct ArgCheck {
  int32_t index;
  const ArgTypeset* types;
  const char* name;
};

// script/expect-arg naming the calling word, the value's datatype and the
// argument. A negative index is an absent refinement argument.
void check_args(int32_t check, std::initializer_list<ArgCheck> checks) {
  if (!check) return;
  for (const ArgCheck& c : checks) {
    if (c.index < 0) continue;
    const Cell* value = arg(c.index);
    if (typeset_has_q(c.types->bits, TYPE_OF(value))) continue;
    Cell name = word::load(c.name);
    check_arg_type(value, c.types->bits, &name);
  }
}

// ---------------------------------------------------------------------------
// The loop frame and the rounds of a body.

enum class Round { kNormal, kBreak, kContinue };

// Opens a loop frame above everything pushed so far; its base cell is the
// loop's result, unset! to start with, and the steps push above it. close() pops it and makes that cell
// the native's result. When an error leaves the scope the guard pops it.
class LoopFrame {
 public:
  LoopFrame() {
    stack::open_loop_frame(words::cell_of(words::WORD_BODY));
    stack::push_new_cell();
    index_ = stack::frame_count() - 1;
  }
  uint32_t index() const { return index_; }
  void close() {
    stack::pop_frame_return();
    stack::keep_first();
  }

 private:
  stack::FrameGuard guard_;
  uint32_t index_ = 0;
};

// Evaluates a block into the loop frame's result cell. A break or continue
// aimed at this frame comes back as its kind (the throw routine has already
// reset the stacks to the frame and written the break value into the result
// cell); every other departure, and a break aimed at another frame, passes.
// Taken in line by each loop native, so that a round makes no call of its own.
[[gnu::always_inline]] inline Round run_block(const LoopFrame& loop, const Cell* block) {
  try {
    // A break or continue may also come back without a throw.
    interpreter::LoopBody body(loop.index());
    // The loop frame is the top frame between rounds and now lets every
    // departure pass, so the block runs as evaluate_block would run it
    // there: with no frame record.
    interpreter::evaluate_block_in(block, true, true);
    stack::keep_first();
    uint32_t code = body.take_exit();
    if (code == stack::THROW_BREAK) return Round::kBreak;
    if (code == stack::THROW_CONTINUE) return Round::kContinue;
    return Round::kNormal;
  } catch (const stack::NonLocalExit& t) {
    if (stack::frame_count() != loop.index() + 1) throw;
    if (t.code == stack::THROW_BREAK) return Round::kBreak;
    if (t.code == stack::THROW_CONTINUE) return Round::kContinue;
    throw;
  }
}

// The count of loop and repeat, checked and converted.
int32_t loop_count(int32_t n) {
  Cell* count = arg(n);
  count_to_integer(count);
  return integer::get(count);
}

// ---------------------------------------------------------------------------
// Reading series elements.

// The element at position `at` (absolute, before the tail) of a series:
// the cell of a block kind, else what pick answers (a char! of a string
// kind, an integer! of a binary! ...). The value is pushed.
Cell* push_element(const Cell* series, uint32_t at) {
  if (series::any_block_q(TYPE_OF(series))) {
    Cell v = series_head_cell(series->data2)[at];
    v.header &= ~kFlagNewLine;
    return stack::push_copy(&v);
  }
  Cell* probe = stack::push_copy(series);
  probe->data1 = at;
  Cell* picked = dispatch_pick(probe, 1, nullptr);
  if (picked != probe) copy_cell(picked, probe);
  return probe;
}

// The number of values a series has from its index.
// Values from the index to the tail; an image! counts pixels (its length?
// counts all of them whatever the index, which would never end a loop).
int32_t remaining(Cell* series) { return series::length(series); }

// The words of a foreach or remove-each: a block must hold at least one
// value, else script invalid-arg with the block. Answers N.
int32_t word_count(Cell* words) {
  if (TYPE_OF(words) != TYPE_BLOCK) return 1;
  uint32_t at = clamped_index(words);
  int32_t n = static_cast<int32_t>(series_length(words->data2) - at);
  if (n < 1) fire(ErrorCategory::kScript, "invalid-arg", *words);
  return n;
}

// ---------------------------------------------------------------------------
// do.

struct DoRequest {
  uint32_t base;  // the argument base of do's frame
  int32_t expand, args, next;
};

// Calls a library function given by a word or path, with argument values
// passed as they are: each reaches the function through a get-word of a
// one-word context holding it, so no argument is evaluated a second time.
// The result is pushed.
void call_library(const Cell& callee, std::initializer_list<const Cell*> values) {
  uint32_t slot = stack::top_index();
  Cell* code = stack::push_new_cell();
  block::init_cell(code, static_cast<int32_t>(values.size()) + 1);
  block::append_cell(code, &callee);
  Cell name = word::load("value");
  for (const Cell* v : values) {
    Cell* holder = stack::push_copy(v);
    uint32_t ctx = _context::allocate(1, false, true, 0, kContextObject);
    // The pushed get-word keeps the new context reachable.
    Cell* get = stack::push_new_cell();
    *get = Cell{TYPE_GET_WORD, ctx, name.data2, 0};
    _context::put_symbol(ctx, &name, holder);
    block::append_cell(stack::at(slot), get);
    stack::drop_cells(2);
  }
  Cell block = *stack::at(slot);
  interpreter::evaluate_next(&block, 0, true);
  copy_cell(stack::last_pushed(), stack::at(slot));
  stack::drop_cells(stack::top_index() - slot - 1);
}

// The global value of a library word, or unset! when it has none.
Cell library_value(const char* name) {
  Cell word = word::load(name);
  return *_context::get_word(&word);
}

// Evaluates one value as an expression (a word gives its value, a path is
// evaluated and may call, a function is called) and pushes the result.
void evaluate_single(const Cell* value) {
  uint32_t slot = stack::top_index();
  Cell* holder = stack::push_new_cell();
  block::init_cell(holder, 1);
  Cell v = *value;
  v.header &= ~kFlagNewLine;
  block::append_cell(holder, &v);
  Cell code = *holder;
  interpreter::evaluate_next(&code, 0, true);
  copy_cell(stack::last_pushed(), stack::at(slot));
  stack::drop_cells(stack::top_index() - slot - 1);
}

// Raises an error! value as the error it holds.
[[noreturn]] void raise_error_value(const Cell* error);

void do_evaluate(void* state) {
  const DoRequest& request = *static_cast<const DoRequest*>(state);
  Cell* value = stack::at(request.base);
  if (TYPE_OF(value) == TYPE_STRING) {
    lexer::LexRequest lex;
    lexer::LexResult loaded = lexer::transcode_string(value, -1, lex);
    *value = Cell{TYPE_BLOCK, 0, loaded.block, 0};
  }
  switch (TYPE_OF(value)) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      clamped_index(value);
      if (request.expand >= 0) {
        Cell expander = library_value("preprocessor");
        if (TYPE_OF(&expander) != TYPE_OBJECT) fire(ErrorCategory::kScript, "no-value", word::load("preprocessor"));
        // preprocessor/expand block none false, which changes the block in place.
        Cell* path = stack::push_new_cell();
        block::init_cell(path, 2);
        for (const char* name : {"preprocessor", "expand"}) {
          Cell element = word::load(name);
          block::append_cell(path, &element);
        }
        set_type(path, TYPE_PATH);
        Cell callee = *path;
        Cell falsity{TYPE_LOGIC, 0, 0, 0};
        call_library(callee, {stack::at(request.base), &kNone, &falsity});
        stack::drop_cells(2);
        value = stack::at(request.base);
      }
      Cell code = *value;
      if (request.next >= 0) {
        Cell word = *stack::at(request.base + request.next);
        uint32_t pos = code.data1;
        Cell result = kUnset;
        uint32_t slot = stack::top_index();
        stack::push_new_cell();
        if (pos < interpreter::code_tail(&code)) {
          pos = interpreter::evaluate_next(&code, pos, true);
          copy_cell(stack::last_pushed(), stack::at(slot));
        }
        Cell next = code;
        next.data1 = pos;
        next.header &= ~kFlagNewLine;
        _context::set_word(&word, &next);
        result = *stack::at(slot);
        copy_cell(&result, stack::at(request.base));
        stack::drop_cells(stack::top_index() - request.base - 1);
        return;
      }
      interpreter::evaluate_block(&code, true);
      stack::drop_cells(stack::top_index() - request.base - 1);
      return;
    }
    case TYPE_FILE:
    case TYPE_URL: {
      Cell runner = library_value("do-file");
      Cell callee = word::load("do-file");
      if (!any_function_q(TYPE_OF(&runner))) fire(ErrorCategory::kScript, "no-value", callee);
      Cell file = *value;
      Cell args = request.args >= 0 ? *stack::at(request.base + request.args) : kNone;
      Cell* kept = stack::push_copy(&args);
      call_library(callee, {&file, &kNone, kept});
      Cell result = *stack::last_pushed();
      copy_cell(&result, stack::at(request.base));
      stack::drop_cells(stack::top_index() - request.base - 1);
      return;
    }
    case TYPE_ERROR:
      raise_error_value(value);
    default: {
      Cell v = *value;
      evaluate_single(&v);
      Cell result = *stack::last_pushed();
      copy_cell(&result, stack::at(request.base));
      stack::drop_cells(stack::top_index() - request.base - 1);
      return;
    }
  }
}

// The error is raised again by its category, id and arguments (trailing
// none! arguments left out); where and near are those of the raise.
[[noreturn]] void raise_error_value(const Cell* error) {
  Cell e = *error;
  uint32_t type = error::type_symbol(&e);
  uint32_t id = error::id_symbol(&e);
  ErrorCategory category = ErrorCategory::kInternal;
  bool known = false;
  if (type != 0) {
    std::string_view name = symbol::utf8_of(symbol::canonical(type));
    for (uint8_t c = 0; c < 10 && !known; ++c) {
      if (name == error_category_name(static_cast<ErrorCategory>(c))) {
        category = static_cast<ErrorCategory>(c);
        known = true;
      }
    }
  }
  if (!known || id == 0) fire(ErrorCategory::kInternal, "invalid-error", e);
  std::string id_text(symbol::utf8_of(id));
  Cell args[3];
  int count = 0;
  for (int i = 0; i < 3; ++i) {
    args[i] = *error::field(&e, error::FIELD_ARG1 + static_cast<uint32_t>(i));
    if (TYPE_OF(&args[i]) != TYPE_NONE) count = i + 1;
  }
  switch (count) {
    case 0:
      fire(category, id_text.c_str());
    case 1:
      fire(category, id_text.c_str(), args[0]);
    case 2:
      fire(category, id_text.c_str(), args[0], args[1]);
    default:
      fire(category, id_text.c_str(), args[0], args[1], args[2]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Conversions and loop steps.

int32_t number_to_integer(const Cell* value) {
  if (TYPE_OF(value) == TYPE_INTEGER) return integer::get(value);
  int32_t n;
  if (!float_::truncate_checked(cell_float(value), &n))
    fire(ErrorCategory::kScript, "type-limit", datatype_cell(TYPE_INTEGER));
  return n;
}

void count_to_integer(Cell* value) {
  if (TYPE_OF(value) != TYPE_FLOAT) return;
  int32_t n = number_to_integer(value);
  integer::init_cell(value, n);
}

bool series_more_q(Cell* series) { return remaining(series) > 0; }

void set_words_from_series(const Cell* words, const Cell* series, int32_t n) {
  Cell s = *series;
  uint32_t from = s.data1;
  bool one = TYPE_OF(words) != TYPE_BLOCK;
  for (int32_t i = 0; i < n; ++i) {
    Cell word;
    if (one) {
      word = *words;
    } else {
      uint32_t at = words->data1 + static_cast<uint32_t>(i);
      word = at < series_length(words->data2) ? series_head_cell(words->data2)[at] : kNone;
      if (!word_kind_q(TYPE_OF(&word))) fire(ErrorCategory::kScript, "invalid-arg", *words);
    }
    uint32_t at = from + static_cast<uint32_t>(i);
    // The series is measured again each time: a change hook may shorten it.
    Cell probe = s;
    Cell* value = static_cast<int32_t>(at) < series::length(&probe, true) ? push_element(&s, at)
                                                                            : stack::push_copy(&kNone);
    _context::set_word(&word, value);
    stack::drop_cells(1);
  }
}

bool foreach_step(uint32_t slot, int32_t n) {
  Cell* series = stack::at(slot);
  if (n <= 0) return false;
  if (TYPE_OF(series) == TYPE_MAP) {
    Cell words = *stack::at(slot + 1);
    Cell key = series_head_cell(words.data2)[words.data1];
    Cell val = series_head_cell(words.data2)[words.data1 + 1];
    if (!word_kind_q(TYPE_OF(&key)) || !word_kind_q(TYPE_OF(&val))) fire(ErrorCategory::kScript, "invalid-arg", words);
    return map::foreach_step(slot, &key, &val);
  }
  if (TYPE_OF(stack::at(slot + 1)) != TYPE_BLOCK) return foreach_step_one(slot);
  if (!series_more_q(series)) return false;
  Cell words = *stack::at(slot + 1);
  set_words_from_series(&words, series, n);
  series = stack::at(slot);
  series->data1 += static_cast<uint32_t>(n);
  return true;
}

// Gives a loop's word its next value. The usual word, of no object's
// context, takes it by a plain store; a word that may call a change hook goes
// through the setter with the value pushed, so the value stays rooted while
// the hook runs.
static void set_loop_word(Cell word, const Cell& v) {
  if (Cell* target = _context::plain_slot(&word)) {
    *target = v;
    return;
  }
  Cell* value = stack::push_copy(&v);
  _context::set_word_slow(&word, value);
  stack::drop_cells(1);
}

// The word of a loop that takes a value each round. A word of the global
// context (the usual loop word of a script) is stored into by its index
// alone: its binding cannot change during the loop, and the global values,
// which may move or grow between rounds, are found again each round.
// store answers false for any other word, which the loop then sets by its
// full path.
class LoopWord {
 public:
  explicit LoopWord(const Cell& word)
      : index_(word.data3),
        global_(word.data1 != 0 && word.data3 != kUnresolved && word.data1 == _context::detail::g_global_node) {}
  [[gnu::always_inline]] bool store(const Cell& v) const {
    Cell* slot = global_ ? _context::value_at(_context::detail::g_global_node, index_) : nullptr;
    if (!slot) [[unlikely]] return false;
    *slot = v;
    return true;
  }

 private:
  const uint32_t index_;
  const bool global_;
};

bool foreach_step_one(uint32_t slot) {
  Cell* series = stack::at(slot);
  if (series::any_block_q(TYPE_OF(series)) && static_cast<int32_t>(series->data1) >= 0) {
    // A block's values are its cells: measured once, read in place, as
    // series_more_q, series::length and push_element would.
    const uint32_t total = series_length(series->data2);
    if (series->data1 >= total) {
      series->data1 = total;
      return false;
    }
    Cell v = series_head_cell(series->data2)[series->data1];
    v.header &= ~kFlagNewLine;
    set_loop_word(*stack::at(slot + 1), v);
    stack::at(slot)->data1 += 1;
    return true;
  }
  if (!series_more_q(series)) return false;
  Cell word = *stack::at(slot + 1);
  set_words_from_series(&word, series, 1);
  stack::at(slot)->data1 += 1;
  return true;
}

void remove_each_step(uint32_t slot, int32_t n) {
  if (logic::falsy(stack::arguments())) return;
  Cell* series = stack::at(slot);
  uint32_t start = series->data1 >= static_cast<uint32_t>(n) ? series->data1 - static_cast<uint32_t>(n) : 0;
  series->data1 = start;
  Cell probe = *series;
  int32_t total = series::length(&probe, true);
  if (static_cast<int32_t>(start) >= total) return;
  int32_t count = std::min(n, total - static_cast<int32_t>(start));
  Cell* target = stack::push_copy(series);
  Cell* part = integer::push(count);
  dispatch_remove(target, part, nullptr);
  stack::drop_cells(2);
}

bool forall_step(uint32_t slot, bool advance) {
  Cell word = *stack::at(slot + 1);
  Cell value = *_context::get_word(&word);
  if (advance) {
    const Cell* saved = stack::at(slot);
    if (TYPE_OF(&value) != TYPE_OF(saved) || value.data2 != saved->data2) {
      fire(ErrorCategory::kScript, "bad-loop-series", value);
    }
    value.data1 += 1;
    Cell* kept = stack::push_copy(&value);
    _context::set_word(&word, kept);
    stack::drop_cells(1);
  }
  Cell* probe = stack::push_copy(&value);
  bool tail = !series_more_q(probe);
  stack::drop_cells(1);
  return tail;
}

void forall_restore(uint32_t slot) {
  Cell word = *stack::at(slot + 1);
  _context::set_word(&word, stack::at(slot));
}

void repeat_step(Cell* word) {
  Cell value = *_context::get_word(word);
  if (TYPE_OF(&value) != TYPE_INTEGER) return;
  integer::init_cell(&value, integer::get(&value) + 1);
  _context::set_word(word, &value);
}

void set_do_trace_runner(TraceRunner runner) { g_trace_runner = runner; }

// ---------------------------------------------------------------------------
// The natives.

void while_(int32_t check, const int32_t*) {
  check_args(check, {{0, &kBlockArg, "cond"}, {1, &kBlockArg, "body"}});
  Cell cond = *arg(0);
  Cell body = *arg(1);
  LoopFrame loop;
  for (;;) {
    if (run_block(loop, &cond) != Round::kNormal) fire(ErrorCategory::kThrow, "while-cond");
    if (!logic::result_true_q()) break;
    if (run_block(loop, &body) == Round::kBreak) return loop.close();
  }
  stack::set_only_result(&kUnset);
  loop.close();
}

void until_(int32_t check, const int32_t*) {
  check_args(check, {{0, &kBlockArg, "body"}});
  Cell body = *arg(0);
  LoopFrame loop;
  for (;;) {
    Round r = run_block(loop, &body);
    if (r == Round::kBreak) break;
    if (r == Round::kContinue) continue;
    if (logic::result_true_q()) break;
  }
  loop.close();
}

void loop(int32_t check, const int32_t*) {
  check_args(check, {{0, &kCountArg, "count"}, {1, &kBlockArg, "body"}});
  int32_t count = loop_count(0);
  if (count < 1) return result_none();
  Cell body = *arg(1);
  LoopFrame frame;
  for (int32_t i = 0; i < count; ++i)
    if (run_block(frame, &body) == Round::kBreak) break;
  frame.close();
}

void repeat(int32_t check, const int32_t*) {
  check_args(check, {{0, &kWordArg, "word"}, {1, &kCountArg, "value"}, {2, &kBlockArg, "body"}});
  int32_t count = loop_count(1);
  if (count < 1) return result_none();
  Cell body = *arg(2);
  uint32_t word_slot = stack::base_index();
  const LoopWord word(*stack::at(word_slot));
  LoopFrame loop;
  for (int32_t i = 1; i <= count; ++i) {
    Cell counter;
    integer::init_cell(&counter, i);
    if (!word.store(counter)) _context::set_word(stack::at(word_slot), &counter);
    if (run_block(loop, &body) == Round::kBreak) break;
  }
  loop.close();
}

void forever(int32_t check, const int32_t*) {
  check_args(check, {{0, &kBlockArg, "body"}});
  Cell body = *arg(0);
  LoopFrame loop;
  while (run_block(loop, &body) != Round::kBreak) {
  }
  loop.close();
}

void foreach(int32_t check, const int32_t*) {
  check_args(check, {{0, &kWordsArg, "word"}, {1, &kSeriesOrMapArg, "series"}, {2, &kBlockArg, "body"}});
  Cell* words = arg(0);
  int32_t n = word_count(words);
  if (TYPE_OF(arg(1)) == TYPE_MAP && (TYPE_OF(words) != TYPE_BLOCK || n != 2))
    fire(ErrorCategory::kScript, "invalid-arg", *words);
  Cell body = *arg(2);
  uint32_t slot = stack::top_index();
  stack::push_copy(arg(1));
  stack::push_copy(arg(0));
  LoopFrame loop;
  const Cell* series = stack::at(slot);
  if (TYPE_OF(stack::at(slot + 1)) == TYPE_WORD && series::any_block_q(TYPE_OF(series)) &&
      static_cast<int32_t>(series->data1) >= 0) {
    // One word over a block kind, the commonest loop: the position lives
    // here (the pushed copy keeps the block alive), the block is measured
    // again each round, as the body may change it, and the word takes the
    // value as foreach_step_one gives it.
    const uint32_t node = series->data2;
    uint32_t position = series->data1;
    const LoopWord word(*stack::at(slot + 1));
    for (;;) {
      // A block's unit is a cell: its length is its used bytes by sixteen.
      SeriesBuffer* b = node_buffer(node);
      if (position >= b->used_bytes() >> 4) break;
      Cell v = b->head_cell()[position++];
      v.header &= ~kFlagNewLine;
      if (!word.store(v)) set_loop_word(*stack::at(slot + 1), v);
      if (run_block(loop, &body) == Round::kBreak) break;
    }
  } else if (TYPE_OF(stack::at(slot + 1)) == TYPE_WORD) {
    // One word over another series: each round takes the next value, no more.
    while (foreach_step_one(slot))
      if (run_block(loop, &body) == Round::kBreak) break;
  } else {
    while (foreach_step(slot, n))
      if (run_block(loop, &body) == Round::kBreak) break;
  }
  loop.close();
}

void forall(int32_t check, const int32_t*) {
  check_args(check, {{0, &kWordArg, "word"}, {1, &kBlockArg, "body"}});
  Cell word = *arg(0);
  Cell value = *_context::get_word(&word);
  if (!typeset_has_q(kSeriesArg.bits, TYPE_OF(&value))) {
    Cell name = word::load("word");
    check_arg_type(&value, kSeriesArg.bits, &name);
  }
  Cell body = *arg(1);
  uint32_t slot = stack::top_index();
  stack::push_copy(&value);
  stack::push_copy(&word);
  LoopFrame loop;
  if (!forall_step(slot, false)) {
    do {
      if (run_block(loop, &body) == Round::kBreak) break;
    } while (!forall_step(slot, true));
  }
  // Restoring may run a change hook: keep the result below it.
  forall_restore(slot);
  stack::keep_first();
  loop.close();
}

void remove_each(int32_t check, const int32_t*) {
  check_args(check, {{0, &kWordsArg, "word"}, {1, &kSeriesArg, "data"}, {2, &kBlockArg, "body"}});
  Cell* words = arg(0);
  int32_t n = word_count(words);
  Cell body = *arg(2);
  uint32_t slot = stack::top_index();
  stack::push_copy(arg(1));
  stack::push_copy(arg(0));
  LoopFrame loop;
  while (foreach_step(slot, n)) {
    Round r = run_block(loop, &body);
    if (r == Round::kBreak) break;
    if (r == Round::kContinue) continue;
    remove_each_step(slot, n);
  }
  loop.close();
  // The result is the series as it was given (its values now removed); its
  // argument cell lies just above the new top, untouched by the loop.
  copy_cell(arg(1), arg(0));
}

void switch_(int32_t check, const int32_t* refs) {
  int32_t def = refined(refs, 0) ? refs[0] : -1;
  check_args(check, {{1, &kBlockArg, "cases"}, {def, &kBlockArg, "case"}});
  Cell* value = arg(0);
  if (TYPE_OF(value) != TYPE_BLOCK) {
    Cell* cases = arg(1);
    uint32_t node = cases->data2;
    for (uint32_t i = clamped_index(cases); i < series_length(node); ++i) {
      Cell candidate = series_head_cell(node)[i];
      if (TYPE_OF(&candidate) != TYPE_OF(value)) continue;
      Cell* pushed = stack::push_copy(&candidate);
      bool equal = actions::compare(value, pushed, COMP_EQUAL);
      stack::drop_cells(1);
      if (!equal) continue;
      for (uint32_t j = i + 1; j < series_length(node); ++j) {
        Cell branch = series_head_cell(node)[j];
        if (TYPE_OF(&branch) != TYPE_BLOCK) continue;
        interpreter::evaluate_block(&branch, true);
        stack::keep_first();
        return;
      }
      return result_none();
    }
  }
  if (def < 0) return result_none();
  Cell branch = *arg(def);
  interpreter::evaluate_block(&branch, true);
  stack::keep_first();
}

void case_(int32_t check, const int32_t* refs) {
  check_args(check, {{0, &kBlockArg, "cases"}});
  bool all = refined(refs, 0);
  Cell code = *arg(0);
  uint32_t pos = clamped_index(&code);
  // The value to answer lives on the stack across the evaluations.
  uint32_t slot = stack::top_index();
  stack::push_copy(&kNone);
  while (pos < interpreter::code_tail(&code)) {
    pos = interpreter::evaluate_next(&code, pos, true);
    Cell condition = *stack::last_pushed();
    stack::drop_cells(1);
    if (pos >= interpreter::code_tail(&code)) {
      Cell name = word::load("case");
      fire(ErrorCategory::kScript, "need-value", name);
    }
    if (TYPE_OF(&condition) == TYPE_UNSET) fire(ErrorCategory::kScript, "no-return");
    if (logic::falsy(&condition)) {
      ++pos;
      continue;
    }
    Cell next = series_head_cell(code.data2)[pos];
    if (TYPE_OF(&next) == TYPE_BLOCK) {
      interpreter::evaluate_block(&next, false);
      ++pos;
    } else {
      pos = interpreter::evaluate_next(&code, pos, true);
    }
    copy_cell(stack::last_pushed(), stack::at(slot));
    stack::drop_cells(1);
    if (!all) break;
  }
  Cell result = *stack::at(slot);
  stack::set_only_result(&result);
}

// do: /expand, /args arg, /next position, /trace callback.
void do_value(int32_t, const int32_t* refs) {
  DoRequest request{stack::base_index(), refined(refs, 0) ? refs[0] : -1, refined(refs, 1) ? refs[1] : -1,
                    refined(refs, 2) ? refs[2] : -1};
  if (refined(refs, 3)) {
    if (!g_trace_runner) fire(ErrorCategory::kInternal, "not-done");
    Cell callback = *arg(refs[3]);
    g_trace_runner(&callback, do_evaluate, &request);
  } else {
    do_evaluate(&request);
  }
  stack::keep_first();
}

void break_(int32_t, const int32_t* refs) {
  if (refined(refs, 0)) {
    Cell value = *arg(refs[0]);
    interpreter::leave_loop(false, &value);
    return;
  }
  interpreter::leave_loop(false, nullptr);
}

void continue_(int32_t, const int32_t*) { interpreter::leave_loop(true, nullptr); }

}  // namespace kiv::natives
