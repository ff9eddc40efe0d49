#include "runtime/eval/trace.h"

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/interpreter.h"
#include "runtime/scope_guard.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::trace {

bool g_on = false;
bool g_active = false;
int g_switch = -1;

namespace {

uint32_t g_mask = 0;
Cell g_tracer{TYPE_NONE, 0, 0, 0};

struct EventWord {
  uint32_t bit;
  words::Id word;
};
const EventWord kEventWords[] = {
    {EV_INIT, words::WORD_INIT},     {EV_END, words::KEY_END},       {EV_PROLOG, words::WORD_PROLOG},
    {EV_EPILOG, words::WORD_EPILOG}, {EV_ENTER, words::WORD_ENTER},  {EV_EXIT, words::WORD_EXIT},
    {EV_OPEN, words::WORD_OPEN},     {EV_RETURN, words::WORD_RETURN}, {EV_FETCH, words::WORD_FETCH},
    {EV_PUSH, words::WORD_PUSH},     {EV_SET, words::KEY_SET},       {EV_CALL, words::WORD_CALL},
    {EV_ERROR, words::WORD_ERROR},   {EV_THROW, words::WORD_THROW},  {EV_CATCH, words::WORD_CATCH},
    {EV_EXPR, words::WORD_EXPR},
};

uint32_t canonical_word_symbol(words::Id id) {
  const Cell* w = words::cell_of(id);
  uint32_t sym = TYPE_OF(w) == TYPE_UNSET ? words::symbol_of(id) : w->data2;
  return symbol::canonical(sym);
}

Cell event_word(uint32_t event) {
  for (const EventWord& e : kEventWords)
    if (e.bit == event) return *words::cell_of(e.word);
  return Cell{TYPE_NONE, 0, 0, 0};
}

// The events that report a ref.
constexpr uint32_t kRefEvents = EV_SET | EV_EPILOG | EV_PROLOG | EV_RETURN | EV_CALL;

}  // namespace

void mark_roots() { collector::mark_cell(&g_tracer); }

void init() {
  g_on = false;
  g_active = false;
  g_switch = -1;
  g_mask = 0;
  g_tracer = Cell{TYPE_NONE, 0, 0, 0};
}

uint32_t mask_of(const Cell* tracer) {
  if (TYPE_OF(tracer) != TYPE_FUNCTION) return 0;
  uint32_t spec = function::spec_node(tracer);
  if (series_length(spec) == 0) return kAllEvents;
  Cell first = series_head_cell(spec)[0];
  if (TYPE_OF(&first) != TYPE_BLOCK) return kAllEvents;
  uint32_t mask = 0;
  for (uint32_t i = first.data1; i < series_length(first.data2); ++i) {
    Cell w = series_head_cell(first.data2)[i];
    if (TYPE_OF(&w) != TYPE_WORD) continue;
    uint32_t c = symbol::canonical(w.data2);
    for (const EventWord& e : kEventWords)
      if (canonical_word_symbol(e.word) == c) mask |= e.bit;
  }
  return mask;
}

void fire_event(uint32_t event, const Cell* code, int64_t pos, const Cell* value, const Cell* ref) {
  if (!g_on || !(g_mask & event) || TYPE_OF(&g_tracer) != TYPE_FUNCTION) return;
  // The library's own code is seen as built in: nothing from inside its
  // blocks and bodies, only its calls from user code, the user code it
  // evaluates, and the errors it raises.
  if (code && event != EV_ERROR && series::any_block_q(TYPE_OF(code)) && block::library_code_q(code->data2)) return;
  // Copies first: the cells given may lie at or above the top, where the
  // pushes below write.
  Cell args[6];
  args[0] = event_word(event);
  args[1] = code ? *code : Cell{TYPE_NONE, 0, 0, 0};
  int32_t offset = -1;
  if (code && pos >= 0) {
    uint32_t head = code->data1;
    uint32_t tail = series_length(code->data2);
    if (pos >= head && pos <= tail) offset = static_cast<int32_t>(pos - head);
  }
  args[1].header &= ~kFlagNewLine;
  args[2] = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(offset), 0};
  args[3] = value ? *value : Cell{TYPE_NONE, 0, 0, 0};
  args[4] = (ref && (event & kRefEvents)) ? *ref : Cell{TYPE_NONE, 0, 0, 0};
  args[5] = Cell{TYPE_PAIR, 0, stack::base_index(), stack::top_index()};
  for (Cell& a : args) a.header &= ~kFlagNewLine;
  uint32_t top = stack::top_index();
  uint32_t frames = stack::frame_count();
  Cell tracer = g_tracer;
  // An error reported while it travels names its frames by index; once the
  // tracer is done they are unwound, so an error the tracer kept shows no
  // stack rather than the frames that take their place.
  const Cell* error = event == EV_ERROR ? &args[3] : nullptr;
  ScopeExit forget([error] {
    if (error) error::forget_stack(error);
  });
  {
    Scope off(false);
    Cell result;
    interpreter::call_function(&tracer, args, 6, words::cell_of(words::WORD_INTERP_CALLBACK), CB_NONE, &result);
  }
  stack::set_frame_top(frames);
  stack::drop_cells(stack::top_index() > top ? stack::top_index() - top : 0);
}

bool callback_traced_q(uint32_t kind) {
  if (!g_active) return false;
  const Cell* bits = error::system_member({"state", "callbacks", "bits"});
  return bits && TYPE_OF(bits) == TYPE_INTEGER && (static_cast<int32_t>(bits->data2) & static_cast<int32_t>(kind));
}

void run(const Cell* callback, void (*evaluate)(void* state), void* state) {
  if (g_active) {
    evaluate(state);
    return;
  }
  if (TYPE_OF(callback) != TYPE_FUNCTION) {
    Cell c = *callback;
    fire(ErrorCategory::kScript, "invalid-arg", c);
  }
  // Ends the run on every exit.
  ScopeExit end_run([] {
    g_tracer = Cell{TYPE_NONE, 0, 0, 0};
    g_on = false;
    g_active = false;
    g_switch = -1;
    g_mask = 0;
  });
  g_tracer = *callback;
  g_mask = mask_of(callback);
  g_active = true;
  g_on = true;
  event(EV_INIT, nullptr, -1, nullptr);
  try {
    evaluate(state);
  } catch (...) {
    // The departure goes on once the tracer has seen the end.
    g_on = true;
    event(EV_END, nullptr, -1, nullptr);
    throw;
  }
  g_on = true;
  event(EV_END, nullptr, -1, nullptr);
}

}  // namespace kiv::trace
