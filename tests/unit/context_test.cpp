#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "tests/unit/global_context_support.h"

namespace kiv {
namespace {

using testing::error_of;
using testing::GlobalContextTest;

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

// Contexts and blocks held by the tests are rooted and the collector is on,
// so under KIV_GC_TORTURE every few allocations move every buffer while
// words are added and bound. The symbol table and the global context are
// per process: each test uses symbols of its own ("ctx-...").
class ContextTest : public GlobalContextTest {
 protected:
  void TearDown() override {
    _context::set_change_hook(nullptr);
    GlobalContextTest::TearDown();
  }

  static uint32_t sym(const std::string& text) { return symbol::intern(text.c_str()); }
  // An unbound word of the kind.
  static Cell word(const std::string& text, uint32_t type = TYPE_WORD) {
    return Cell{type, 0, sym(text), kUnresolved};
  }
  static Cell global_word(const std::string& text, uint32_t type = TYPE_WORD) {
    Cell w = _context::add_global(sym(text), true, true);
    w.header = type;
    return w;
  }
  // A context holding the words, each set to its position as integer!.
  static uint32_t context_of(const std::vector<std::string>& names, uint32_t kind = kContextObject) {
    RootedNode ctx(_context::allocate(static_cast<uint32_t>(names.size()), false, kind == kContextObject, 0, kind));
    for (size_t i = 0; i < names.size(); ++i) {
      Cell w = word(names[i]);
      Cell v = integer(static_cast<int32_t>(i));
      _context::put_symbol(ctx, &w, &v);
    }
    return ctx;
  }
  static RootedCell block_of(const std::vector<Cell>& cells, uint32_t type = TYPE_BLOCK) {
    RootedCell b;
    block::init_cell(b.get(), 0);
    for (const Cell& c : cells) block::append_cell(b.get(), &c);
    set_type(b.get(), type);
    return b;
  }
  static void churn() {
    for (int i = 0; i < 6; ++i) alloc_series(48, 1, 0);
  }
};

// ---------------------------------------------------------------------------
// Adding and finding.

TEST_F(ContextTest, WordsGetStableIndexesAsTheContextGrowsPastItsFirstSize) {
  RootedNode ctx(_context::allocate(2, false, true, 0, kContextObject));
  const int kWords = 200;
  for (int i = 0; i < kWords; ++i) {
    Cell w = word("ctx-grow-" + std::to_string(i));
    ASSERT_EQ(_context::word_index(ctx, &w), i);
    Cell v = integer(i * 10);
    _context::set_in(&w, &v, ctx, false);
    churn();
  }
  ASSERT_TRUE(collector::collect());
  EXPECT_TRUE(collector::verify_heap().ok);
  EXPECT_EQ(_context::word_count(ctx), static_cast<uint32_t>(kWords));
  EXPECT_EQ(series_length(_context::record(ctx)->data2), static_cast<uint32_t>(kWords));
  for (int i = 0; i < kWords; ++i) {
    uint32_t s = sym("ctx-grow-" + std::to_string(i));
    ASSERT_EQ(_context::find_symbol(ctx, s), i);
    const Cell* w = _context::word_at(ctx, i);
    EXPECT_EQ(TYPE_OF(w), TYPE_WORD);
    EXPECT_EQ(w->data1, ctx.get());
    EXPECT_EQ(w->data2, s);
    EXPECT_EQ(w->data3, static_cast<uint32_t>(i));
    EXPECT_EQ(static_cast<int32_t>(_context::value_at(ctx, i)->data2), i * 10);
  }
  // Adding a word already there adds nothing.
  Cell again = word("ctx-grow-17");
  EXPECT_EQ(_context::word_index(ctx, &again), 17);
  EXPECT_EQ(_context::word_count(ctx), static_cast<uint32_t>(kWords));
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-grow-absent")), -1);
}

TEST_F(ContextTest, SpellingsOfOneWordShareASlotUnlessTheLookupIsExact) {
  RootedNode ctx(context_of({"ctx-Case"}));
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-CASE"), true), 0);
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-CASE"), false), -1);
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-Case"), false), 0);
  Cell other = word("ctx-case");
  EXPECT_EQ(_context::word_index(ctx, &other), 0);
  EXPECT_EQ(_context::word_count(ctx), 1u);
}

TEST_F(ContextTest, GlobalSlotIsSharedByFooAndFooEachKeepingItsSpelling) {
  Cell mixed = _context::add_global(sym("ctx-Glob"), true, true);
  Cell lower = _context::add_global(sym("ctx-glob"), true, true);
  EXPECT_EQ(mixed.data1, _context::global());
  EXPECT_EQ(lower.data1, _context::global());
  EXPECT_EQ(mixed.data3, lower.data3);
  EXPECT_EQ(mixed.data2, sym("ctx-Glob"));
  EXPECT_EQ(lower.data2, sym("ctx-glob"));
  Cell v = integer(42);
  _context::set_word(&mixed, &v);
  EXPECT_EQ(_context::get_word(&lower)->data2, 42u);
  Cell value;
  _context::global_value(sym("ctx-GLOB"), &value);
  EXPECT_EQ(value.data2, 42u);
  EXPECT_EQ(_context::global_value_cell(sym("ctx-gLoB"))->data2, 42u);
}

TEST_F(ContextTest, AllocateFromASourceCopiesItsWordsBoundToTheNewContext) {
  RootedNode source(context_of({"ctx-src-a", "ctx-src-b"}));
  RootedNode copy(_context::allocate(2, false, true, source, kContextObject));
  ASSERT_EQ(_context::word_count(copy), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(_context::word_at(copy, i)->data1, copy.get());
    EXPECT_EQ(_context::word_at(source, i)->data1, source.get());
    EXPECT_EQ(TYPE_OF(_context::value_at(copy, i)), TYPE_UNSET);
  }
  // The two word tables are separate.
  Cell extra = word("ctx-src-c");
  _context::word_index(copy, &extra);
  EXPECT_EQ(_context::word_count(copy), 3u);
  EXPECT_EQ(_context::word_count(source), 2u);
}

TEST_F(ContextTest, DuplicateGivesTheHolderAnIndependentContext) {
  RootedNode original(context_of({"ctx-dup-a", "ctx-dup-b"}));
  RootedCell holder(Cell{TYPE_OBJECT, original, 0, 0});
  RootedNode copy(_context::duplicate(holder.get()));
  EXPECT_EQ(holder->data1, copy.get());
  EXPECT_EQ(_context::self_cell(copy)->data1, copy.get());
  EXPECT_EQ(_context::kind_of(copy), kContextObject);
  ASSERT_EQ(_context::word_count(copy), 2u);
  EXPECT_EQ(_context::word_at(copy, 1)->data1, copy.get());
  Cell b = *_context::word_at(copy, 1);
  Cell v = integer(99);
  _context::set_in(&b, &v, copy, false);
  EXPECT_EQ(_context::value_at(copy, 1)->data2, 99u);
  EXPECT_EQ(_context::value_at(original, 1)->data2, 1u);
}

TEST_F(ContextTest, FromSpecTakesArgumentWordsInOrderAndSkipsTheRest) {
  RootedCell types = block_of({global_word("integer!")});
  RootedCell doc;
  string::init_cell(doc.get(), 0);
  string::append_text(doc.get(), "doc");
  RootedCell spec = block_of({word("ctx-spec-a"), word("ctx-spec-b", TYPE_SET_WORD), *doc, word("ctx-spec-c"),
                              *types, word("ctx-spec-ref", TYPE_REFINEMENT), word("ctx-spec-d", TYPE_LIT_WORD),
                              word("ctx-spec-e", TYPE_GET_WORD), word("ctx-spec-A")});
  spec->data1 = 3;  // the spec is read from the start of its buffer
  RootedNode ctx(_context::from_spec(spec.get(), false, false, kContextFunction));
  const char* expected[] = {"ctx-spec-a", "ctx-spec-c", "ctx-spec-ref", "ctx-spec-d", "ctx-spec-e"};
  ASSERT_EQ(_context::word_count(ctx), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(_context::word_at(ctx, i)->data2, sym(expected[i]));
    EXPECT_EQ(TYPE_OF(_context::value_at(ctx, i)), 0u) << "values start unfilled";
  }
  EXPECT_EQ(_context::kind_of(ctx), kContextFunction);

  RootedNode on_stack(_context::from_spec(spec.get(), true, false, kContextFunction));
  EXPECT_TRUE(_context::on_stack_q(on_stack));
  EXPECT_FALSE(_context::has_values_q(on_stack));
  EXPECT_EQ(_context::word_count(on_stack), 5u);
}

TEST_F(ContextTest, CollectSetWordsAddsOnlyNewSetWords) {
  RootedNode ctx(context_of({"ctx-col-x"}));
  RootedCell body = block_of({word("ctx-col-x", TYPE_SET_WORD), integer(1), word("ctx-col-y", TYPE_SET_WORD),
                              word("ctx-col-z"), word("ctx-col-w", TYPE_LIT_WORD)});
  EXPECT_TRUE(_context::collect_set_words(ctx, body.get()));
  EXPECT_EQ(_context::word_count(ctx), 2u);
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-col-y")), 1);
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-col-z")), -1);
  EXPECT_FALSE(_context::collect_set_words(ctx, body.get()));
}

// ---------------------------------------------------------------------------
// Binding.

TEST_F(ContextTest, BindingANestedBlockBindsDeeplyOnlyTheWordsTheContextHas) {
  RootedNode ctx(context_of({"ctx-b-a", "ctx-b-b", "ctx-b-c", "ctx-b-d"}));
  // [a [b (c)] d/e f 'a :b c: /d #a]
  RootedCell paren = block_of({global_word("ctx-b-c")}, TYPE_PAREN);
  RootedCell inner = block_of({global_word("ctx-b-b"), *paren});
  RootedCell path = block_of({global_word("ctx-b-d"), global_word("ctx-b-e")}, TYPE_PATH);
  Cell issue = global_word("ctx-b-a");
  issue.header = TYPE_ISSUE;
  issue.data3 = kUnresolved;
  RootedCell outer = block_of({global_word("ctx-b-a"), *inner, *path, global_word("ctx-b-f"),
                               global_word("ctx-b-a", TYPE_LIT_WORD), global_word("ctx-b-b", TYPE_GET_WORD),
                               global_word("ctx-b-c", TYPE_SET_WORD), global_word("ctx-b-d", TYPE_REFINEMENT),
                               issue});
  _context::bind_block(outer.get(), ctx, false);

  auto at = [](const Cell* blk, uint32_t i) { return *(series_head_cell(blk->data2) + i); };
  struct Expect {
    Cell cell;
    uint32_t context;
    uint32_t index;
  };
  uint32_t g = _context::global();
  uint32_t e_index = global_word("ctx-b-e").data3;
  uint32_t f_index = global_word("ctx-b-f").data3;
  const Expect cases[] = {
      {at(outer.get(), 0), ctx, 0},                 // a
      {at(inner.get(), 0), ctx, 1},                 // b, one level down
      {at(paren.get(), 0), ctx, 2},                 // c, inside the paren
      {at(path.get(), 0), ctx, 3},                  // d, the path's first word
      {at(path.get(), 1), g, e_index},              // e: absent, keeps its binding
      {at(outer.get(), 3), g, f_index},             // f: absent
      {at(outer.get(), 4), ctx, 0},                 // 'a
      {at(outer.get(), 5), ctx, 1},                 // :b
      {at(outer.get(), 6), ctx, 2},                 // c:
      {at(outer.get(), 7), ctx, 3},                 // /d
      {at(outer.get(), 8), g, kUnresolved},         // #a: issues are left alone
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(cases[i].cell.data1, cases[i].context) << "case " << i;
    EXPECT_EQ(cases[i].cell.data3, cases[i].index) << "case " << i;
  }
}

TEST_F(ContextTest, BindingABlockThatContainsItselfEnds) {
  RootedNode ctx(context_of({"ctx-cyc-a"}));
  RootedCell blk = block_of({global_word("ctx-cyc-a")});
  block::append_cell(blk.get(), blk.get());
  RootedCell outer = block_of({*blk, *blk});
  _context::bind_block(outer.get(), ctx, false);
  EXPECT_EQ(series_head_cell(blk->data2)->data1, ctx.get());
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

TEST_F(ContextTest, SelfBindsToTheSelfCellOnlyWithTheSelfFlag) {
  RootedNode ctx(context_of({"ctx-self-x"}));
  *_context::self_cell(ctx) = integer(4242);
  Cell self = global_word("self");
  RootedCell with = block_of({self, global_word("ctx-self-x")});
  RootedCell without = block_of({self});
  _context::bind_block(with.get(), ctx, true);
  _context::bind_block(without.get(), ctx, false);

  Cell bound_self = *series_head_cell(with->data2);
  EXPECT_EQ(bound_self.data1, ctx.get());
  EXPECT_EQ(bound_self.data3, kUnresolved);
  EXPECT_EQ(_context::get_word(&bound_self)->data2, 4242u);
  EXPECT_EQ(series_head_cell(with->data2)[1].data1, ctx.get());

  Cell plain = *series_head_cell(without->data2);
  EXPECT_EQ(plain.data1, _context::global());
  EXPECT_EQ(plain.data3, self.data3);
}

// ---------------------------------------------------------------------------
// Getting and setting.

TEST_F(ContextTest, GetAndSetRaiseTheErrorsOfTheirCase) {
  RootedNode fn(_context::allocate(1, true, false, 0, kContextFunction));
  Cell local = word("ctx-err-local");
  _context::word_index(fn, &local);
  Cell local_bound = *_context::word_at(fn, 0);
  RootedNode obj(context_of({"ctx-err-x"}));
  Cell unresolved{TYPE_WORD, obj, sym("ctx-err-nothing"), kUnresolved};
  Cell unbound = word("ctx-err-unbound");
  Cell v = integer(1);

  struct Case {
    const char* what;
    std::string expected;
    std::string got;
  };
  Cell arg;
  std::vector<Case> cases = {
      {"get through an unbound word", "script/no-value", error_of([&] { _context::get_word(&unbound); })},
      {"get with index -1", "script/no-value", error_of([&] { _context::get_word(&unresolved); })},
      {"get in a function context outside a call", "script/not-in-context",
       error_of([&] { _context::get_word(&local_bound); }, &arg)},
      {"set in a function context outside a call", "script/not-defined",
       error_of([&] { _context::set_word(&local_bound, &v); })},
      {"set through an unbound word", "script/not-defined", error_of([&] { _context::set_word(&unbound, &v); })},
      {"get by index without values", "script/not-defined", error_of([&] { get_context_word_at(fn, 0); })},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
  EXPECT_EQ(arg.data2, local_bound.data2) << "the error names the word";
}

TEST_F(ContextTest, SetWithIndexMinusOneResolvesOrAddsTheWord) {
  RootedNode ctx(context_of({"ctx-res-a"}));
  Cell a{TYPE_WORD, ctx, sym("ctx-res-A"), kUnresolved};
  Cell v = integer(5);
  _context::set_in(&a, &v, ctx, true);
  EXPECT_EQ(_context::value_at(ctx, 0)->data2, 5u);
  Cell fresh{TYPE_WORD, ctx, sym("ctx-res-new"), kUnresolved};
  _context::set_in(&fresh, &v, ctx, true);
  EXPECT_EQ(_context::find_symbol(ctx, sym("ctx-res-new")), 1);
  EXPECT_EQ(_context::value_at(ctx, 1)->data2, 5u);
  Cell via_integer{TYPE_WORD, ctx, sym("ctx-res-int"), kUnresolved};
  _context::set_integer(&via_integer, ctx, -3);
  EXPECT_EQ(static_cast<int32_t>(_context::value_at(ctx, 2)->data2), -3);
}

TEST_F(ContextTest, FunctionValuesLiveOnTheArgumentStackOnlyDuringTheCall) {
  RootedCell spec = block_of({word("ctx-fn-a"), word("ctx-fn-b")});
  RootedNode fn(_context::from_spec(spec.get(), true, false, kContextFunction));
  Cell a = *_context::word_at(fn, 0);
  Cell b = *_context::word_at(fn, 1);

  Cell outside = integer(-1);
  stack::push_copy(&outside);  // the caller's cell: the call's arguments start above it
  stack::open_interp_function_frame(nullptr, fn);
  _context::record(fn)->data2 = stack::base_index();
  _context::record(fn)->data3 = _context::word_count(fn);  // the image: one value per word
  Cell one = integer(1), two = integer(2);
  stack::push_copy(&one);
  stack::push_copy(&two);
  EXPECT_EQ(_context::get_word(&a)->data2, 1u);
  Cell seven = integer(7);
  _context::set_word(&b, &seven);
  EXPECT_EQ(stack::at(stack::base_index() + 1)->data2, 7u);
  // A stack context's values are not the answer for a symbol lookup.
  EXPECT_EQ(_context::value_of_symbol(sym("ctx-fn-a"), fn), nullptr);
  stack::pop_function_frame_drop();

  EXPECT_FALSE(_context::has_values_q(fn));
  EXPECT_EQ(error_of([&] { _context::get_word(&a); }), "script/not-in-context");
}

// An object's change hook records what it was called with.
struct HookLog {
  static inline int calls = 0;
  static inline uint32_t word_symbol = 0;
  static inline int32_t old_value = 0;
  static inline int32_t new_value = 0;
  static void hook(uint32_t, const Cell* word, const Cell* old_value_cell, const Cell* new_value_cell) {
    ++calls;
    word_symbol = word->data2;
    old_value = static_cast<int32_t>(old_value_cell->data2);
    new_value = static_cast<int32_t>(new_value_cell->data2);
  }
};

TEST_F(ContextTest, ObjectWordsAreMarkedChangedAndHooksFireOnlyWhenPresent) {
  HookLog::calls = 0;
  _context::set_change_hook(HookLog::hook);
  RootedNode obj(context_of({"ctx-obj-a", "ctx-obj-b"}));
  Cell b = *_context::word_at(obj, 1);
  Cell v = integer(20);
  uint32_t top = stack::top_index();

  _context::set_in(&b, &v, obj, true);  // no hooks: self cell word 3 is 0
  EXPECT_EQ(HookLog::calls, 0);
  EXPECT_NE(_context::word_at(obj, 1)->header & kFlagWordChanged, 0u);
  EXPECT_EQ(_context::word_at(obj, 0)->header & kFlagWordChanged, 0u);

  _context::self_cell(obj)->data3 = 1;  // the object has hooks now
  Cell w = integer(30);
  _context::set_in(&b, &w, obj, true);
  EXPECT_EQ(HookLog::calls, 1);
  EXPECT_EQ(HookLog::word_symbol, sym("ctx-obj-b"));
  EXPECT_EQ(HookLog::old_value, 20);
  EXPECT_EQ(HookLog::new_value, 30);
  EXPECT_EQ(_context::value_at(obj, 1)->data2, 30u);
  EXPECT_EQ(stack::top_index(), top);

  _context::set_in(&b, &v, obj, false);  // fire flag off
  EXPECT_EQ(HookLog::calls, 1);
}

TEST_F(ContextTest, NativeSettersCheckUnsetExceptTheObjectSetter) {
  RootedNode obj(context_of({"ctx-nat-a"}));
  Cell a = *_context::word_at(obj, 0);
  Cell unset{TYPE_UNSET, 0, 0, 0};
  Cell nine = integer(9);

  stack::push_copy(&unset);
  EXPECT_EQ(error_of([&] { set_word_keep(&a); }), "script/need-value");
  stack::push_copy(&unset);
  EXPECT_EQ(error_of([&] { set_context_word_keep(obj, 0); }), "script/need-value");
  EXPECT_EQ(_context::value_at(obj, 0)->data2, 0u) << "nothing stored on error";

  stack::push_copy(&nine);
  set_word_keep(&a);
  EXPECT_EQ(stack::last_pushed()->data2, 9u) << "the value stays pushed";
  EXPECT_EQ(_context::value_at(obj, 0)->data2, 9u);
  stack::clear_arguments();

  stack::push_copy(&unset);
  set_object_word(obj, 0);
  EXPECT_EQ(TYPE_OF(_context::value_at(obj, 0)), TYPE_UNSET);
  EXPECT_NE(_context::word_at(obj, 0)->header & kFlagWordChanged, 0u);
  EXPECT_EQ(error_of([&] { get_word_value_checked(&a); }), "script/no-value");
  EXPECT_EQ(context_word_count(obj), 1u);
  EXPECT_EQ(context_word_at(obj, 0)->data2, sym("ctx-nat-a"));
}

}  // namespace
}  // namespace kiv
