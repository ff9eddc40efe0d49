#include "runtime/stack.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::stack {

namespace detail {
Cell* g_cells = nullptr;        // the argument stack's data: never moves
uint64_t g_base = 0;
uint64_t g_top = 0;
uint64_t g_cell_limit = 0;      // end less the reserve, or the end while overflowing
CallFrame* g_frame_cells = nullptr;
uint64_t g_frame_top = 0;
uint64_t g_frame_limit = 0;
}  // namespace detail

namespace {

using detail::g_base;
using detail::g_cell_limit;
using detail::g_cells;
using detail::g_frame_limit;
using detail::g_frame_top;
using detail::g_top;
using detail::push_frame;

uint32_t g_block_node = 0;      // the argument stack's heap series

std::unique_ptr<CallFrame[]> g_frames;

uint32_t g_throw_frame_top = 0;  // recorded by throw_value for calling_word; 0 = none
uint32_t g_error_frame_top = 0;
UncaughtErrorHandler g_uncaught = nullptr;
ErrorHook g_error_hook = nullptr;

constexpr uint32_t kNoIndex = 0xFFFFFFFF;

void close_reserve() {
  g_cell_limit = kArgumentStackCells - kOverflowReserveCells;
  g_frame_limit = kCallStackFrames - kOverflowReserveFrames;
}

bool reserve_open() { return g_cell_limit == kArgumentStackCells; }

}  // namespace

// Raised when a push or an open reaches the reserve: the reserve opens for
// the error's own needs and stays open until the error has unwound. Running
// out while it is open throws the bare error, which needs no room at all.
[[noreturn]] void detail::overflow() {
  support::cycle_stack::reset();
  if (reserve_open()) throw_error(LanguageError(ErrorCategory::kInternal, "stack-overflow"));
  g_cell_limit = kArgumentStackCells;
  g_frame_limit = kCallStackFrames;
  fire(ErrorCategory::kInternal, "stack-overflow");
}

namespace {
using detail::overflow;

bool named_hidden(const CallFrame& f) {
  return f.symbol != 0 &&
         (f.symbol == words::symbol_of(words::WORD_BODY) || f.symbol == words::symbol_of(words::WORD_ANON));
}

Cell* context_record(uint32_t context) { return series_head_cell(context); }

// Opening a kind-1 frame remembers the context's values reference; popping
// it puts the reference (and whether it pointed into the stack) back.
void save_values(CallFrame* f, uint32_t context) {
  f->function_context = context;
  if (context == 0) return;
  Cell* rec = context_record(context);
  f->saved_values = rec->data2;
  f->saved_count = rec->data3;
  if (rec->header & kFlagContextOnStack) f->header |= kFrameSavedValuesOnStack;
}

void restore_values(const CallFrame& f) {
  if (f.kind() != 1 || f.function_context == 0) return;
  Cell* rec = context_record(f.function_context);
  rec->data2 = f.saved_values;
  rec->data3 = f.saved_count;
  if (f.header & kFrameSavedValuesOnStack) rec->header |= kFlagContextOnStack;
  else rec->header &= ~kFlagContextOnStack;
}

// Pops the top frame, restoring a kind-1 frame's function context when asked;
// leaves base and top alone. Returns the popped frame.
const CallFrame& pop_record(bool restore) {
  const CallFrame& f = g_frames[--g_frame_top];
  if (restore) restore_values(f);
  return f;
}

void mark_argument_stack() { collector::mark_cells(g_cells, g_cells + g_top); }

void mark_call_frames() {
  for (uint32_t i = 0; i < g_frame_top; i++) {
    const CallFrame& f = g_frames[i];
    if (f.word_context) collector::mark_context(f.word_context);
    if (f.function_context) collector::mark_context(f.function_context);
    if (f.saved_values && !(f.header & kFrameSavedValuesOnStack)) collector::mark_series_cells(f.saved_values);
  }
}

// The frame the walk for a departure stops at: the nearest frame of the
// kind, or -1 when a try/all frame or the bottom comes first.
int find_target(uint32_t kind) {
  for (int i = int(g_frame_top) - 1; i >= 0; i--) {
    uint32_t k = g_frames[i].kind();
    if (k == kind) return i;
    if (k == (FRAME_TRY_ALL & 0x0F)) return -1;
  }
  return -1;
}

// Pops every frame above index i; base = frame i's base, top = base + 1.
void unwind_keeping(uint32_t i) {
  while (g_frame_top > i + 1) pop_record(true);
  g_base = g_frames[i].base;
  g_top = g_base + 1;
}

}  // namespace

void init() {
  bool fresh = !g_cells;
  if (fresh) {
    g_block_node = alloc_heap_series(kArgumentStackCells, sizeof(Cell), 0);
    g_cells = reinterpret_cast<Cell*>(node_buffer(g_block_node)->data());
    // Not cleared: a push writes every field of its frame, and nothing
    // reads a frame above the top, so start-up touches only the pages used.
    g_frames = std::make_unique_for_overwrite<CallFrame[]>(kCallStackFrames);
    detail::g_frame_cells = g_frames.get();
  }
  // Every cell is written before the top passes it (a push writes its cell,
  // a frame its base cell), so a fresh stack sets only its bottom cell, the
  // one read while the stack is empty, and start-up touches only the pages
  // it uses; a stack used before is cleared whole.
  uint32_t cleared = fresh ? 1 : kArgumentStackCells;
  for (uint32_t i = 0; i < cleared; i++) set_unset(&g_cells[i]);
  g_base = g_top = 0;
  g_frame_top = 0;
  g_throw_frame_top = 0;
  g_error_frame_top = 0;
  close_reserve();
  collector::set_root_hook(collector::RootHook::kArgumentStack, mark_argument_stack);
  collector::set_root_hook(collector::RootHook::kCallFrames, mark_call_frames);
}

uint32_t argument_block_node() { return g_block_node; }

Cell* open_frame(const Cell* word, uint32_t kind) {
  push_frame(word, kind);
  return arguments();
}

Cell* open_function_frame(const Cell* word, uint32_t function_context) {
  CallFrame* f = push_frame(word, FRAME_FUNCTION);
  save_values(f, function_context);
  return arguments();
}

Cell* open_body_frame(const Cell* word, uint32_t function_context) {
  if (g_frame_top >= g_frame_limit) overflow();
  if (function_context) {
    Cell* rec = context_record(function_context);
    rec->data2 = g_top;
    // One value per word: the record's word 1 is its word table, whose data
    // block holds the words (a record without a word table has no words).
    rec->data3 = rec->data1 ? series_length(hashtable::field(rec->data1, hashtable::kData)) : 0;
    rec->header |= kFlagContextOnStack;
  }
  CallFrame* f = push_frame(word, FRAME_BODY);
  f->function_context = function_context;
  return arguments();
}

Cell* open_call_frame(const Cell* word) { return open_frame(word, FRAME_CALL); }
Cell* open_try_frame(const Cell* word) { return open_frame(word, FRAME_TRY); }
Cell* open_try_all_frame(const Cell* word) { return open_frame(word, FRAME_TRY_ALL); }
Cell* open_catch_frame(const Cell* word) { return open_frame(word, FRAME_CATCH); }
Cell* open_loop_frame(const Cell* word) { return open_frame(word, FRAME_LOOP); }


void set_frame_top(uint32_t count) {
  if (count <= kCallStackFrames) g_frame_top = count;
}


void mark_top_interpreted() {
  if (g_frame_top) g_frames[g_frame_top - 1].header |= kFrameInterpretedFlag;
}

bool set_caller_body_flag() {
  if (g_frame_top < 2) return false;
  CallFrame& f = g_frames[g_frame_top - 2];
  if (f.header & kFrameBodyFlag) return false;
  f.header |= kFrameBodyFlag;
  return true;
}

void clear_body_flag(uint32_t frame_index) {
  if (frame_index < g_frame_top) g_frames[frame_index].header &= ~kFrameBodyFlag;
}

void clear_arguments() { g_top = g_base; }

static void pop_return(bool restore) {
  if (!g_frame_top) return;
  const CallFrame& f = pop_record(restore);
  copy_cell(&g_cells[f.base], &g_cells[f.saved_base]);
  g_top = f.base + 1;
  g_base = f.saved_base;
}

static void pop_drop(bool restore) {
  if (!g_frame_top) return;
  const CallFrame& f = pop_record(restore);
  g_top = f.base;
  g_base = f.saved_base;
}

void pop_function_frame_return() { pop_return(true); }
void pop_frame_drop() { pop_drop(false); }
void pop_function_frame_drop() { pop_drop(true); }

void pop_frame_safe() {
  if (!g_frame_top) {
    g_base = g_top = 0;
    return;
  }
  const CallFrame& f = pop_record(true);
  if (g_frame_top == 0) {
    g_base = g_top = 0;
  } else {
    g_top = f.base;
    g_base = f.saved_base;
  }
}

int unwind_to_kind(uint32_t kind, bool keep) {
  kind &= 0x0F;
  while (g_frame_top) {
    const CallFrame& f = g_frames[g_frame_top - 1];
    uint32_t k = f.kind();
    if (k == kind || k == (FRAME_TRY_ALL & 0x0F)) {
      int reached = int(g_frame_top - 1);
      if (keep) {
        g_base = f.base;
        g_top = g_base + 1;
      } else {
        pop_record(true);
        g_top = f.base;
        g_base = f.saved_base;
      }
      return reached;
    }
    pop_record(true);
  }
  g_base = g_top = 0;
  return -1;
}

int unwind_to_kind_return(uint32_t kind) {
  Cell result = *arguments();
  int reached = unwind_to_kind(kind, true);
  if (reached >= 0) copy_cell(&result, arguments());
  return reached;
}

int unwind_to_loop() { return unwind_to_kind(FRAME_LOOP, true); }

void unwind_to(uint32_t count) {
  if (g_frame_top <= count) return;
  while (g_frame_top > count + 1) pop_record(true);
  const CallFrame& f = pop_record(true);
  g_top = f.base;
  g_base = f.saved_base;
}




void keep_result() {
  if (g_top > g_base && TYPE_OF(&g_cells[g_top - 1]) == TYPE_ERROR) copy_cell(&g_cells[g_top - 1], arguments());
  g_top = g_base + 1;
}






bool in_interpreted_frame_q(int from, bool one_only) {
  int i = from < 0 ? int(g_frame_top) - 1 : from;
  if (i >= int(g_frame_top)) i = int(g_frame_top) - 1;
  for (; i >= 0; i--) {
    if (g_frames[i].header & kFrameInterpretedFlag) return true;
    if (one_only) break;
  }
  return false;
}

void calling_word(Cell* out) {
  uint32_t from = g_frame_top;
  if (g_throw_frame_top) {
    from = std::min(g_throw_frame_top, kCallStackFrames);
    g_throw_frame_top = 0;
  }
  for (int i = int(from) - 1; i >= 0; i--) {
    const CallFrame& f = g_frames[i];
    if (f.symbol == 0 || named_hidden(f)) continue;
    *out = Cell{TYPE_WORD, f.word_context, f.symbol, kNoIndex};
    return;
  }
  *out = Cell{TYPE_NONE, 0, 0, 0};
}

void collect_calls(uint32_t block_node) {
  for (int i = int(g_frame_top) - 1; i >= 1; i--) {
    // Appending may grow the block; the frames live outside the series heap.
    const CallFrame f = g_frames[i];
    if (named_hidden(f)) continue;
    uint32_t context = f.function_context ? f.function_context : f.word_context;
    *series_new_tail_cell(block_node) = Cell{TYPE_WORD, context, f.symbol, kNoIndex};
    *series_new_tail_cell(block_node) = Cell{TYPE_INTEGER, 0, f.saved_base, 0};
  }
}

uint32_t error_frame_top() { return g_error_frame_top; }

void set_uncaught_error_handler(UncaughtErrorHandler handler) { g_uncaught = handler; }

void set_error_hook(ErrorHook hook) { g_error_hook = hook; }

void report_uncaught_and_exit(const LanguageError& error) {
  std::fprintf(stderr, "*** %s\n", error.what());
  std::fflush(stderr);
  std::exit(-2 & 0xFF);
}

void throw_error(const LanguageError& error) {
  g_error_frame_top = g_frame_top;
  if (g_error_hook) g_error_hook(error);
  int target = -1;
  for (int i = int(g_frame_top) - 1; i >= 0; i--) {
    uint32_t k = g_frames[i].kind();
    if (k == (FRAME_TRY & 0x0F) || k == (FRAME_TRY_ALL & 0x0F)) {
      target = i;
      break;
    }
  }
  if (target < 0) {
    while (g_frame_top) pop_record(true);
    g_base = g_top = 0;
    close_reserve();
    if (g_uncaught) g_uncaught(error);
    throw error;
  }
  unwind_to(uint32_t(target));
  close_reserve();
  throw error;
}

void throw_break(bool continue_loop, const Cell* value) {
  int target = find_target(FRAME_LOOP);
  if (target < 0) fire(ErrorCategory::kThrow, continue_loop ? "continue" : "break");
  Cell v = value ? *value : Cell{TYPE_UNSET, 0, 0, 0};
  unwind_keeping(uint32_t(target));
  copy_cell(&v, arguments());
  throw NonLocalExit(continue_loop ? THROW_CONTINUE : THROW_BREAK);
}

void throw_return(const Cell* value) {
  int target = find_target(FRAME_FUNCTION);
  if (target < 0) fire(ErrorCategory::kThrow, "return");
  Cell v = value ? *value : Cell{TYPE_UNSET, 0, 0, 0};
  unwind_keeping(uint32_t(target));
  copy_cell(&v, arguments());
  throw NonLocalExit(value ? THROW_RETURN : THROW_EXIT);
}

void throw_value(const Cell* value, const Cell* name, uint32_t catch_code) {
  if (!g_throw_frame_top) g_throw_frame_top = g_frame_top;
  int target = find_target(FRAME_CATCH & 0x0F);
  if (target < 0) fire(ErrorCategory::kThrow, "throw", *value);
  Cell v = *value;
  Cell n = name ? *name : Cell{TYPE_UNSET, 0, 0, 0};
  unwind_keeping(uint32_t(target));
  g_top = g_base;
  copy_cell(&v, push_new_cell());
  copy_cell(&n, push_new_cell());
  throw NonLocalExit(catch_code);
}

}  // namespace kiv::stack
