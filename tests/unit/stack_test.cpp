#include <gtest/gtest.h>

#include <string>

#include "runtime/collector.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {
namespace {

using namespace stack;

uint32_t g_next_symbol;
uint32_t fake_intern(std::string_view) { return ++g_next_symbol; }
void fake_global(uint32_t symbol, Cell* out) { *out = Cell{TYPE_WORD, 0, symbol, 0}; }

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
Cell word(uint32_t symbol, uint32_t context = 0) { return Cell{TYPE_WORD, context, symbol, 0xFFFFFFFF}; }
void push_int(int32_t v) {
  Cell c = integer(v);
  push_copy(&c);
}

// A function context as the contexts module lays it out: a node of two
// cells, the context! record (word 2: the values series, or with bit 22 a
// position on the argument stack) and the self cell.
uint32_t make_context(uint32_t values) {
  uint32_t node = alloc_cells(2);
  *series_new_tail_cell(node) = Cell{TYPE_CONTEXT | (1u << kFlagContextKindShift), 0, values, 0};
  *series_new_tail_cell(node) = Cell{TYPE_NONE, 0, 0, 0};
  return node;
}

class Stack : public ::testing::Test {
 protected:
  void SetUp() override {
    init();
    support::init();
    set_uncaught_error_handler(nullptr);
    g_next_symbol = 100;
    words::reset();
    words::init_common_words({fake_intern, fake_global, nullptr, nullptr});
  }
  void TearDown() override {
    init();
    words::reset();
  }
  static uint32_t sym(words::Id id) { return words::symbol_of(id); }
};

TEST_F(Stack, PopFrameLeavesResultInTheBaseAndRestoresCallerBase) {
  push_int(1);
  Cell w = word(7);
  Cell* base = open_call_frame(&w);
  EXPECT_EQ(base_index(), 1u);
  push_int(10);
  push_int(20);
  Cell result = integer(99);
  set_last(&result);
  pop_frame();
  EXPECT_EQ(base_index(), 0u);
  EXPECT_EQ(top_index(), 2u);
  EXPECT_EQ(base->data2, 99u);
  EXPECT_EQ(frame_count(), 0u);
}

TEST_F(Stack, CalleeThatPushesNothingReturnsUnsetNotAStaleCell) {
  push_int(1);
  push_int(5);
  drop_cells(1);
  open_call_frame(nullptr);
  pop_frame();
  EXPECT_EQ(top_index(), 2u);
  EXPECT_EQ(TYPE_OF(at(1)), uint32_t(TYPE_UNSET));
}

TEST_F(Stack, PopVariantsDoTheirOwnBaseAndTopArithmetic) {
  enum Op { kPop, kReturn, kDrop, kSafe };
  const struct {
    Op op;
    uint32_t top, caller_result;
    const char* what;
  } cases[] = {
      {kPop, 4, 5, "pop keeps the result cell"},
      {kReturn, 4, 77, "pop-return copies the result to the caller's base"},
      {kDrop, 3, 5, "pop-drop drops the frame's cells"},
      {kSafe, 3, 5, "pop-safe with frames left drops the frame's cells"},
  };
  for (const auto& c : cases) {
    init();
    Cell outer = word(1);
    open_call_frame(&outer);  // base 0
    push_int(5);
    push_int(6);
    push_int(6);  // base 0, top 3
    Cell w = word(2);
    open_call_frame(&w);  // base 3
    push_int(77);
    push_int(78);
    switch (c.op) {
      case kPop: pop_frame(); break;
      case kReturn: pop_frame_return(); break;
      case kDrop: pop_frame_drop(); break;
      case kSafe: pop_frame_safe(); break;
    }
    EXPECT_EQ(base_index(), 0u) << c.what;
    EXPECT_EQ(top_index(), c.top) << c.what;
    EXPECT_EQ(at(0)->data2, c.caller_result) << c.what;
    EXPECT_EQ(frame_count(), 1u) << c.what;
  }
}

TEST_F(Stack, PopSafeOfTheLastFrameReturnsToTheBottom) {
  push_int(1);
  push_int(2);
  open_call_frame(nullptr);
  push_int(3);
  pop_frame_safe();
  EXPECT_EQ(base_index(), 0u);
  EXPECT_EQ(top_index(), 0u);
  pop_frame_safe();  // nothing open: stays at the bottom
  EXPECT_EQ(top_index(), 0u);
}

// Unwinding must stop at the nearest frame of the asked kind, not at another
// kind, and a try/all frame in between stops it early.
TEST_F(Stack, UnwindToKindStopsAtEachKind) {
  const uint32_t kinds[] = {FRAME_FUNCTION, FRAME_CALL, FRAME_TRY, FRAME_CATCH, FRAME_LOOP,
                            FRAME_INTERP_FUNCTION, FRAME_EVAL_BLOCK, FRAME_BODY};
  for (uint32_t target : kinds) {
    for (bool keep : {true, false}) {
      init();
      push_int(0);
      Cell w = word(3);
      open_frame(&w, target);  // frame 0, base 1
      push_int(1);
      // Frames of other kinds above it.
      for (uint32_t k : {FRAME_CALL, FRAME_LOOP, FRAME_EVAL_BLOCK, FRAME_CATCH}) {
        if ((k & 0x0F) == (target & 0x0F)) continue;
        open_frame(&w, k);
        push_int(9);
      }
      int reached = unwind_to_kind(target, keep);
      std::string what = "kind " + std::to_string(target) + (keep ? " keep" : " drop");
      EXPECT_EQ(reached, 0) << what;
      if (keep) {
        EXPECT_EQ(frame_count(), 1u) << what;
        EXPECT_EQ(base_index(), 1u) << what;
        EXPECT_EQ(top_index(), 2u) << what;
      } else {
        EXPECT_EQ(frame_count(), 0u) << what;
        EXPECT_EQ(base_index(), 0u) << what;
        EXPECT_EQ(top_index(), 1u) << what;
      }
    }
  }
}

TEST_F(Stack, UnwindStopsAtTryAllAndEmptiesWhenNothingMatches) {
  open_loop_frame(nullptr);
  open_try_all_frame(nullptr);
  open_call_frame(nullptr);
  EXPECT_EQ(unwind_to_loop(), 1);
  EXPECT_EQ(current_frame()->kind(), uint32_t(FRAME_TRY_ALL & 0x0F));
  init();
  open_call_frame(nullptr);
  open_call_frame(nullptr);
  push_int(1);
  EXPECT_EQ(unwind_to_kind(FRAME_LOOP, true), -1);
  EXPECT_EQ(frame_count(), 0u);
  EXPECT_EQ(top_index(), 0u);
}

// A symbol id at or above 65,536 must not spill into the frame's kind.
TEST_F(Stack, LargeSymbolIdsKeepFrameKind) {
  Cell w = word(0x12345);
  open_try_frame(&w);
  Cell v = word(0xFFFFFF);
  open_call_frame(&v);
  EXPECT_EQ(current_frame()->symbol, 0xFFFFFFu);
  EXPECT_EQ(current_frame()->kind(), 2u);
  EXPECT_EQ(unwind_to_kind(FRAME_TRY, true), 0);
  EXPECT_EQ(frame_at(0)->symbol, 0x12345u);
  EXPECT_EQ(frame_at(0)->kind(), 4u);
  EXPECT_FALSE(frame_at(0)->header & kFrameInterpretedFlag);
}

// A recursive function: each call saves the context's values reference, so
// the outer call gets its own arguments back after the inner one returns,
// also when the inner call is left by unwinding.
TEST_F(Stack, RecursiveCallRestoresFunctionContextValues) {
  uint32_t values = alloc_cells(4);
  uint32_t ctx = make_context(values);
  Cell f = word(5);
  open_function_frame(&f, ctx);
  push_int(1);
  open_body_frame(&f, ctx);
  uint32_t outer_base = base_index();
  EXPECT_EQ(series_head_cell(ctx)->data2, outer_base);
  EXPECT_TRUE(series_head_cell(ctx)->header & kFlagContextOnStack);
  push_int(2);
  // Inner call.
  open_function_frame(&f, ctx);
  push_int(3);
  open_body_frame(&f, ctx);
  EXPECT_NE(series_head_cell(ctx)->data2, outer_base);
  open_loop_frame(nullptr);
  // Leave the inner call by unwinding, keeping the outer function and body.
  unwind_to(2);
  EXPECT_EQ(series_head_cell(ctx)->data2, outer_base);
  EXPECT_TRUE(series_head_cell(ctx)->header & kFlagContextOnStack);
  pop_frame();           // outer body
  pop_function_frame();  // outer function
  EXPECT_EQ(series_head_cell(ctx)->data2, values);
  EXPECT_FALSE(series_head_cell(ctx)->header & kFlagContextOnStack);
}

// The interpreter's calls: the frame is opened while the arguments are
// fetched, with the context's values reference remembered only when the
// body starts. A fetch left by unwinding (a departure or an error in an
// argument) leaves the reference alone; a started body gives it back when
// popped or unwound, also across a recursive call.
TEST_F(Stack, InterpreterCallRemembersContextValuesWhenTheBodyStarts) {
  uint32_t values = alloc_cells(4);
  uint32_t ctx = make_context(values);
  Cell f = word(5);
  open_interp_fetch_frame(&f, ctx);
  EXPECT_EQ(current_frame()->kind(), FRAME_INTERP_CALL & 0x0Fu);
  EXPECT_EQ(current_frame()->function_context, ctx);
  push_int(1);
  // The values and the context live through a collection during the fetch.
  ASSERT_TRUE(collector::collect());
  EXPECT_TRUE(node_valid_q(ctx));
  EXPECT_TRUE(node_valid_q(values));
  start_function_body(ctx);
  uint32_t outer_base = base_index();
  EXPECT_EQ(current_frame()->kind(), FRAME_INTERP_FUNCTION & 0x0Fu);
  EXPECT_TRUE(current_frame()->header & kFrameInterpretedFlag);
  EXPECT_TRUE(current_frame()->header & kFrameBodyFlag);
  EXPECT_EQ(series_head_cell(ctx)->data2, outer_base);
  EXPECT_EQ(series_head_cell(ctx)->data3, 1u);
  EXPECT_TRUE(series_head_cell(ctx)->header & kFlagContextOnStack);

  // A recursive call whose fetch is left by unwinding.
  open_interp_fetch_frame(&f, ctx);
  push_int(2);
  open_loop_frame(nullptr);
  unwind_to(1);
  EXPECT_EQ(series_head_cell(ctx)->data2, outer_base);
  EXPECT_EQ(series_head_cell(ctx)->data3, 1u);
  EXPECT_TRUE(series_head_cell(ctx)->header & kFlagContextOnStack);

  // A recursive call whose body is left by unwinding, then one popped.
  for (bool unwind : {true, false}) {
    open_interp_fetch_frame(&f, ctx);
    push_int(3);
    push_int(4);
    start_function_body(ctx);
    EXPECT_EQ(series_head_cell(ctx)->data3, 2u);
    EXPECT_NE(series_head_cell(ctx)->data2, outer_base);
    if (unwind) {
      open_loop_frame(nullptr);
      unwind_to(1);
    } else {
      pop_body_frame();
      EXPECT_EQ(top_index(), outer_base + 2);  // the outer argument and the result
      drop_cells(1);
    }
    EXPECT_EQ(series_head_cell(ctx)->data2, outer_base);
    EXPECT_EQ(series_head_cell(ctx)->data3, 1u);
    EXPECT_TRUE(series_head_cell(ctx)->header & kFlagContextOnStack);
  }
  pop_body_frame();
  EXPECT_EQ(frame_count(), 0u);
  EXPECT_EQ(series_head_cell(ctx)->data2, values);
  EXPECT_FALSE(series_head_cell(ctx)->header & kFlagContextOnStack);
}

TEST_F(Stack, ErrorCrossingFramesLandsAtNearestTryAndLeavesStacksConsistent) {
  push_int(0);
  open_try_frame(nullptr);  // frame 0, base 1
  push_int(1);
  open_loop_frame(nullptr);  // frame 1 (a loop does not stop errors)
  open_try_frame(nullptr);   // frame 2, base 2: the catcher
  uint32_t try_base = base_index();
  uint32_t try_saved = frame_at(2)->saved_base;
  LanguageError caught(ErrorCategory::kInternal, "none");
  uint32_t code = catch_throws(THROW_ERROR, [] {
    open_call_frame(nullptr);
    push_int(5);
    open_eval_block_frame(nullptr);
    open_catch_frame(nullptr);
    push_int(6);
    fire(ErrorCategory::kMath, "zero-divide");
  }, &caught);
  EXPECT_EQ(code, uint32_t(THROW_ERROR));
  EXPECT_EQ(caught.id, "zero-divide");
  EXPECT_EQ(caught.category, ErrorCategory::kMath);
  EXPECT_EQ(frame_count(), 2u);  // the try frame was dropped
  EXPECT_EQ(base_index(), try_saved);
  EXPECT_EQ(top_index(), try_base);
  EXPECT_EQ(error_frame_top(), 6u);
}

TEST_F(Stack, BreakPassesInnerCatchersAndLandsAtTheLoop) {
  open_loop_frame(nullptr);  // frame 0
  push_int(1);
  uint32_t loop_base = base_index();
  uint32_t outer = catch_throws(THROW_BREAK, [] {
    open_call_frame(nullptr);
    open_try_frame(nullptr);  // plain try does not stop break
    // An inner catcher for throw only: break's code is higher, it passes.
    uint32_t inner = catch_throws(THROW_THROW, [] {
      open_call_frame(nullptr);
      Cell v = integer(42);
      throw_break(false, &v);
    });
    ADD_FAILURE() << "inner catcher stopped code " << inner;
  });
  EXPECT_EQ(outer, uint32_t(THROW_BREAK));
  EXPECT_EQ(frame_count(), 1u);
  EXPECT_EQ(base_index(), loop_base);
  EXPECT_EQ(top_index(), loop_base + 1);
  EXPECT_EQ(arguments()->data2, 42u);
}

TEST_F(Stack, ContinueAndReturnAndExitCarryTheirCodes) {
  const struct {
    uint32_t code;
    uint32_t frame_kind;
  } cases[] = {{THROW_CONTINUE, FRAME_LOOP}, {THROW_RETURN, FRAME_INTERP_FUNCTION}, {THROW_EXIT, FRAME_FUNCTION}};
  for (const auto& c : cases) {
    init();
    open_frame(nullptr, c.frame_kind);
    uint32_t got = catch_throws(THROW_BREAK, [&] {
      open_call_frame(nullptr);
      open_loop_frame(nullptr);
      Cell v = integer(3);
      if (c.code == THROW_CONTINUE) throw_break(true);
      if (c.code == THROW_RETURN) throw_return(&v);
      throw_return(nullptr);
    });
    EXPECT_EQ(got, c.code);
    if (c.code == THROW_RETURN) EXPECT_EQ(arguments()->data2, 3u);
    else EXPECT_EQ(TYPE_OF(arguments()), uint32_t(TYPE_UNSET));
  }
}

TEST_F(Stack, BreakInsideTryAllRaisesThrowBreakInsteadOfLeavingTheLoop) {
  open_loop_frame(nullptr);
  open_try_all_frame(nullptr);
  LanguageError caught(ErrorCategory::kInternal, "none");
  uint32_t code = catch_throws(THROW_ERROR, [] {
    open_call_frame(nullptr);
    throw_break(false);
  }, &caught);
  EXPECT_EQ(code, uint32_t(THROW_ERROR));
  EXPECT_EQ(caught.category, ErrorCategory::kThrow);
  EXPECT_EQ(caught.id, "break");
  EXPECT_EQ(frame_count(), 1u);  // the loop frame is still there
}

TEST_F(Stack, DeparturesWithoutTargetRaiseThrowErrors) {
  const struct {
    int which;
    const char* id;
  } cases[] = {{0, "break"}, {1, "continue"}, {2, "return"}, {3, "throw"}};
  for (const auto& c : cases) {
    init();
    open_try_frame(nullptr);
    LanguageError caught(ErrorCategory::kInternal, "none");
    catch_throws(THROW_ERROR, [&] {
      open_call_frame(nullptr);
      Cell v = integer(1);
      if (c.which == 0) throw_break(false);
      if (c.which == 1) throw_break(true);
      if (c.which == 2) throw_return(&v);
      throw_value(&v, nullptr);
    }, &caught);
    EXPECT_EQ(caught.category, ErrorCategory::kThrow) << c.id;
    EXPECT_EQ(caught.id, c.id);
    EXPECT_EQ(frame_count(), 0u) << c.id;
  }
}

TEST_F(Stack, UncaughtErrorEmptiesBothStacksAndReachesTheHandler) {
  static int handled;
  handled = 0;
  set_uncaught_error_handler([](const LanguageError& e) { handled += e.id == "return"; });
  open_call_frame(nullptr);
  push_int(1);
  EXPECT_THROW(throw_return(nullptr), LanguageError);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(frame_count(), 0u);
  EXPECT_EQ(top_index(), 0u);
}

TEST_F(Stack, ThrowValuePushesValueAndNameAtTheCatchFrame) {
  open_catch_frame(nullptr);
  uint32_t catch_base = base_index();
  uint32_t code = catch_throws(THROW_THROW, [] {
    open_call_frame(nullptr);
    open_loop_frame(nullptr);
    Cell v = integer(5), n = word(77);
    throw_value(&v, &n);
  });
  EXPECT_EQ(code, uint32_t(THROW_THROW));
  EXPECT_EQ(frame_count(), 1u);
  EXPECT_EQ(top_index(), catch_base + 2);
  EXPECT_EQ(at(catch_base)->data2, 5u);
  EXPECT_EQ(at(catch_base + 1)->data2, 77u);
}

// Each overflow is reported as a language error that try catches, with
// both stacks consistent afterwards, and a second overflow works the same.
TEST_F(Stack, CallStackOverflowIsCaughtByTry) {
  for (int round = 0; round < 2; round++) {
    open_try_frame(nullptr);
    LanguageError caught(ErrorCategory::kNote, "none");
    uint32_t code = catch_throws(THROW_ERROR, [] {
      for (;;) open_call_frame(nullptr);
    }, &caught);
    EXPECT_EQ(code, uint32_t(THROW_ERROR));
    EXPECT_EQ(caught.category, ErrorCategory::kInternal);
    EXPECT_EQ(caught.id, "stack-overflow");
    EXPECT_EQ(frame_count(), 0u);
    EXPECT_EQ(top_index(), 0u);
    EXPECT_GT(kCallStackFrames - kOverflowReserveFrames, 10000u);
  }
}

TEST_F(Stack, ArgumentStackOverflowIsCaughtByTryAndLeavesRoom) {
  uint32_t pushed = 0;
  support::cycle_stack::push(5);
  open_try_frame(nullptr);
  LanguageError caught(ErrorCategory::kNote, "none");
  catch_throws(THROW_ERROR, [&] {
    open_call_frame(nullptr);
    for (;;) {
      push_new_cell();
      pushed++;
    }
  }, &caught);
  EXPECT_EQ(caught.id, "stack-overflow");
  EXPECT_EQ(pushed, kArgumentStackCells - kOverflowReserveCells);
  EXPECT_EQ(support::cycle_stack::count(), 0u);
  EXPECT_EQ(frame_count(), 0u);
  // The stack works again afterwards.
  push_int(8);
  EXPECT_EQ(top_index(), 1u);
}

TEST_F(Stack, OverflowWithoutTryIsThrownNotACrash) {
  EXPECT_THROW(
      {
        for (;;) open_loop_frame(nullptr);
      },
      LanguageError);
  EXPECT_EQ(frame_count(), 0u);
}

TEST_F(Stack, CallingWordSkipsBodyAndAnonFrames) {
  Cell named = word(sym(words::WORD_APPEND), 9);
  Cell body = word(sym(words::WORD_BODY));
  Cell anon = word(sym(words::WORD_ANON));
  open_call_frame(&named);
  open_eval_block_frame(&body);
  open_call_frame(&anon);
  Cell out;
  calling_word(&out);
  EXPECT_EQ(TYPE_OF(&out), uint32_t(TYPE_WORD));
  EXPECT_EQ(out.data2, sym(words::WORD_APPEND));
  EXPECT_EQ(out.data1, 9u);
  init();
  open_call_frame(&body);
  calling_word(&out);
  EXPECT_EQ(TYPE_OF(&out), uint32_t(TYPE_NONE));
}

TEST_F(Stack, CollectCallsListsWordsAndBasesFromTheTopDownToTheSecondFrame) {
  uint32_t ctx = make_context(0);
  Cell first = word(sym(words::WORD_TRY));
  Cell a = word(sym(words::WORD_APPEND), 3);
  Cell body = word(sym(words::WORD_BODY));
  Cell b = word(sym(words::WORD_INSERTED), 3);
  open_call_frame(&first);
  push_new_cell();
  open_function_frame(&a, ctx);  // saved base 0
  push_new_cell();
  push_new_cell();
  open_eval_block_frame(&body);
  open_call_frame(&b);  // saved base 3
  RootedNode block(alloc_cells(4));
  collect_calls(block);
  ASSERT_EQ(series_length(block), 4u);
  HeldPtr<Cell> c = series_head_cell(block);
  EXPECT_EQ(c[0].data2, sym(words::WORD_INSERTED));
  EXPECT_EQ(c[0].data1, 3u);
  EXPECT_EQ(c[1].data2, 3u);
  EXPECT_EQ(TYPE_OF(&c[1]), uint32_t(TYPE_INTEGER));
  EXPECT_EQ(c[2].data2, sym(words::WORD_APPEND));
  EXPECT_EQ(c[2].data1, ctx);  // bound to the function context
  EXPECT_EQ(c[3].data2, 0u);
}

TEST_F(Stack, FrameGuardPopsWhatAForeignExceptionLeaves) {
  push_int(1);
  try {
    FrameGuard guard;
    open_call_frame(nullptr);
    push_new_cell();
    open_loop_frame(nullptr);
    throw std::runtime_error("not a departure");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(frame_count(), 0u);
  EXPECT_EQ(top_index(), 1u);
  EXPECT_EQ(base_index(), 0u);
  {
    FrameGuard guard;
    open_call_frame(nullptr);
    pop_frame();
  }
  EXPECT_EQ(frame_count(), 0u);
  EXPECT_EQ(top_index(), 2u);  // the normal pop kept its result; the guard did nothing
}

TEST_F(Stack, FlagsOnFrames) {
  open_call_frame(nullptr);
  open_interp_call_frame(nullptr);
  EXPECT_TRUE(in_interpreted_frame_q());
  EXPECT_FALSE(in_interpreted_frame_q(0));
  EXPECT_TRUE(set_caller_body_flag());
  EXPECT_FALSE(set_caller_body_flag());
  EXPECT_TRUE(frame_at(0)->header & kFrameBodyFlag);
  clear_body_flag(0);
  EXPECT_FALSE(frame_at(0)->header & kFrameBodyFlag);
  mark_top_interpreted();
  set_body_flag(true);
  EXPECT_EQ(current_frame()->header >> 24, 0x92u);
}

// Values held only by the argument stack or by a frame survive a
// collection; cells popped off the stack do not keep anything alive.
TEST_F(Stack, StackCellsAndFramesAreCollectorRoots) {
  uint32_t kept = alloc_cells(4);
  uint32_t dropped = alloc_cells(4);
  uint32_t values = alloc_cells(4);
  uint32_t ctx = make_context(values);
  *push_new_cell() = Cell{TYPE_BLOCK, 0, kept, 0};
  Cell w = word(1);
  open_function_frame(&w, ctx);
  *push_new_cell() = Cell{TYPE_BLOCK, 0, dropped, 0};
  clear_arguments();
  ASSERT_TRUE(collector::collect());
  EXPECT_TRUE(node_valid_q(kept));
  EXPECT_TRUE(node_valid_q(ctx));
  EXPECT_TRUE(node_valid_q(values));
  EXPECT_FALSE(node_valid_q(dropped));
  pop_function_frame();
  EXPECT_EQ(series_head_cell(ctx)->data2, values);
}

}  // namespace
}  // namespace kiv
