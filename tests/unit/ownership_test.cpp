#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {
namespace {

uint32_t g_next_symbol;
uint32_t fake_intern(std::string_view) { return ++g_next_symbol; }
void fake_global(uint32_t symbol, Cell* out) { *out = Cell{TYPE_WORD, 0, symbol, 0}; }

struct Heard {
  uint32_t owner_context, field_symbol, target_node, action_symbol;
  int32_t index, part;
};
std::vector<Heard> g_heard;

void test_handler(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                  const Cell* new_value, int32_t index, int32_t part) {
  g_heard.push_back({owner->data1, word->data2, target->data2, action->data2, index, part});
}

Cell block_of(uint32_t node, uint32_t index = 0) { return Cell{TYPE_BLOCK, index, node, 0}; }
Cell string_of(uint32_t node) { return Cell{TYPE_STRING, 0, node, 0}; }

// An object as the object module lays it out: word 1 its context node (a
// context! record and a self cell), word 3 its hook node, non-zero when the
// object wants deep-change notifications.
Cell make_object(bool wants_events) {
  RootedNode ctx(alloc_cells(2));
  *series_new_tail_cell(ctx) = Cell{TYPE_CONTEXT | (2u << kFlagContextKindShift), 0, 0, 0};
  *series_new_tail_cell(ctx) = Cell{TYPE_NONE, 0, 0, 0};
  uint32_t hooks = wants_events ? alloc_cells(2) : 0;
  return Cell{TYPE_OBJECT, ctx, 0, hooks};
}

class Ownership : public ::testing::Test {
 protected:
  // Allocations may collect (every few of them under KIV_GC_TORTURE).
  CollectorEnableScope gc_{true};
  void SetUp() override {
    stack::init();
    support::init();
    ownership::init();
    ownership::set_deep_change_handler(test_handler);
    g_heard.clear();
    g_next_symbol = 0;
    words::reset();
    words::init_common_words({fake_intern, fake_global, nullptr, nullptr});
    field_ = Cell{TYPE_WORD, 0, 9999, 0};
  }
  void TearDown() override {
    ownership::init();
    ownership::set_deep_change_handler(nullptr);
    words::reset();
  }
  static uint32_t sym(words::Id id) { return words::symbol_of(id); }
  Cell field_;
};

TEST_F(Ownership, BindRecordsNestedSeriesAndStopsOnSelfReference) {
  RootedCell owner(make_object(true));
  RootedNode b(alloc_cells(4));
  RootedNode s(alloc_series_for_string(0, 1));
  *series_new_tail_cell(b) = string_of(s);
  *series_new_tail_cell(b) = block_of(b);  // contains itself
  RootedCell value(block_of(b));
  ownership::bind(value.get(), owner.get(), &field_);
  EXPECT_EQ(ownership::record_count(), 2u);
  const Cell* rec = ownership::owner_of(s);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec[0].data2, uint32_t(s));
  EXPECT_EQ(rec[1].data1, owner->data1);
  EXPECT_EQ(rec[2].data2, 9999u);
  EXPECT_TRUE(node_buffer(b)->flags & kSeriesOwned);
  EXPECT_TRUE(node_buffer(s)->flags & kSeriesOwned);
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

TEST_F(Ownership, NotificationsArriveInBeforeAfterPairsWithTheRightWords) {
  RootedCell owner(make_object(true));
  RootedNode b(alloc_cells(4));
  RootedCell value(block_of(b));
  ownership::bind(value.get(), owner.get(), &field_);
  const struct {
    words::Id action, done;
  } pairs[] = {
      {words::WORD_CHANGE, words::WORD_CHANGED},   {words::WORD_CLEAR, words::WORD_CLEARED},
      {words::WORD_APPEND, words::WORD_APPENDED},  {words::KEY_INSERT, words::WORD_INSERTED},
      {words::KEY_REMOVE, words::WORD_REMOVED},    {words::WORD_MOVE, words::WORD_MOVED},
      {words::WORD_POKE, words::WORD_POKED},       {words::WORD_PUT, words::WORD_PUT_ED},
      {words::WORD_RANDOM, words::WORD_RANDOMIZED}, {words::WORD_REVERSE, words::WORD_REVERSED},
      {words::WORD_SORT, words::WORD_SORTED},      {words::WORD_SWAP, words::WORD_SWAPED},
      {words::WORD_TAKE, words::WORD_TAKEN},       {words::WORD_TRIM, words::WORD_TRIMMED},
  };
  for (const auto& p : pairs) {
    g_heard.clear();
    bool changed = false;
    ownership::notify_around(value.get(), p.action, 3, 2, [&] {
      EXPECT_EQ(g_heard.size(), 1u) << "the announcement comes before the change";
      changed = true;
    });
    EXPECT_TRUE(changed);
    ASSERT_EQ(g_heard.size(), 2u) << words::text(p.action);
    EXPECT_EQ(g_heard[0].action_symbol, sym(p.action)) << words::text(p.action);
    EXPECT_EQ(g_heard[1].action_symbol, sym(p.done)) << words::text(p.done);
    EXPECT_EQ(g_heard[1].owner_context, owner->data1);
    EXPECT_EQ(g_heard[1].field_symbol, 9999u);
    EXPECT_EQ(g_heard[1].target_node, uint32_t(b));
    EXPECT_EQ(g_heard[1].index, 3);
    EXPECT_EQ(g_heard[1].part, 2);
  }
  EXPECT_EQ(words::text(ownership::done_word(words::WORD_SWAP)), "swaped");
  EXPECT_EQ(words::text(ownership::done_word(words::WORD_PUT)), "put-ed");
}

TEST_F(Ownership, NobodyHearsWhenUnownedUnboundOrNotListening) {
  RootedCell listener(make_object(true));
  RootedCell deaf(make_object(false));
  RootedNode a(alloc_cells(4)), b(alloc_cells(4)), free_series(alloc_cells(4));
  RootedCell va(block_of(a)), vb(block_of(b)), vf(block_of(free_series));
  ownership::bind(va.get(), listener.get(), &field_);
  ownership::bind(vb.get(), deaf.get(), &field_);
  EXPECT_TRUE(ownership::check(va.get(), words::WORD_APPEND, 0, 1));
  EXPECT_FALSE(ownership::check(vb.get(), words::WORD_APPEND, 0, 1));
  EXPECT_FALSE(ownership::check(vf.get(), words::WORD_APPEND, 0, 1));
  ownership::unbind(va.get());
  EXPECT_FALSE(ownership::check(va.get(), words::WORD_APPEND, 0, 1));
  EXPECT_EQ(ownership::owner_of(a), nullptr);
  EXPECT_FALSE(node_buffer(a)->flags & kSeriesOwned);
  EXPECT_EQ(g_heard.size(), 1u);
}

TEST_F(Ownership, SecondOwnerLeavesTheFirstRecordInPlace) {
  RootedCell first(make_object(true)), second(make_object(true));
  RootedNode b(alloc_cells(4));
  RootedCell v(block_of(b));
  ownership::bind(v.get(), first.get(), &field_);
  ownership::bind(v.get(), second.get(), &field_);
  EXPECT_EQ(ownership::owner_of(b)[1].data1, first->data1);
}

TEST_F(Ownership, UnbindRangeUnbindsOnlyThatRange) {
  RootedCell owner(make_object(true));
  RootedNode b(alloc_cells(4));
  RootedNode s[3] = {RootedNode(alloc_cells(1)), RootedNode(alloc_cells(1)), RootedNode(alloc_cells(1))};
  for (auto& n : s) *series_new_tail_cell(b) = block_of(n);
  RootedCell v(block_of(b));
  ownership::bind(v.get(), owner.get(), &field_);
  EXPECT_EQ(ownership::record_count(), 4u);
  ownership::unbind_range(v.get(), 1, 5);  // count past the tail is clipped
  EXPECT_NE(ownership::owner_of(s[0]), nullptr);
  EXPECT_EQ(ownership::owner_of(s[1]), nullptr);
  EXPECT_EQ(ownership::owner_of(s[2]), nullptr);
  EXPECT_NE(ownership::owner_of(b), nullptr);
}

TEST_F(Ownership, ImageOwnedMarkIsOnTheCell) {
  RootedCell owner(make_object(true));
  RootedNode pixels(alloc_bytes(16));
  RootedCell image(Cell{TYPE_IMAGE, 0, pixels, 0});
  ownership::bind(image.get(), owner.get(), &field_);
  EXPECT_TRUE(image->header & kFlagOwned);
  EXPECT_FALSE(node_buffer(pixels)->flags & kSeriesOwned);
  EXPECT_TRUE(ownership::check(image.get(), words::WORD_POKE, -1, -1));
  ownership::unbind(image.get());
  EXPECT_FALSE(image->header & kFlagOwned);
}

TEST_F(Ownership, BindValueMarksTheOwnerAsBoundary) {
  RootedCell owner(make_object(true));
  RootedNode b(alloc_cells(4));
  RootedCell v(block_of(b));
  ownership::bind_value(v.get(), owner.get(), &field_);
  EXPECT_TRUE(series_head_cell(owner->data1)->header & kFlagOwned);
}

// The table is not a root: an owner that nothing refers to any more loses
// its records at the next collection, and its series can be owned again.
TEST_F(Ownership, UnreachableOwnerLosesItsRecordAtTheNextCollection) {
  RootedNode b(alloc_cells(4));
  RootedCell v(block_of(b));
  uint32_t owner_context;
  {
    RootedCell owner(make_object(true));
    owner_context = owner->data1;
    ownership::bind(v.get(), owner.get(), &field_);
    ASSERT_TRUE(collector::collect());
    EXPECT_NE(ownership::owner_of(b), nullptr) << "a live owner keeps its record";
  }
  ASSERT_TRUE(collector::collect());
  EXPECT_FALSE(node_valid_q(owner_context));
  EXPECT_EQ(ownership::owner_of(b), nullptr);
  EXPECT_FALSE(node_buffer(b)->flags & kSeriesOwned);
  EXPECT_FALSE(ownership::check(v.get(), words::WORD_APPEND, 0, 1));
  RootedCell next(make_object(true));
  ownership::bind(v.get(), next.get(), &field_);
  EXPECT_EQ(ownership::owner_of(b)[1].data1, next->data1);
}

TEST_F(Ownership, UnreachableSeriesLosesItsRecordAndIsNotKeptAlive) {
  RootedCell owner(make_object(true));
  uint32_t b = alloc_cells(4);
  {
    RootedCell v(block_of(b));
    ownership::bind(v.get(), owner.get(), &field_);
  }
  ASSERT_TRUE(collector::collect());
  EXPECT_FALSE(node_valid_q(b));
  EXPECT_EQ(ownership::record_count(), 0u);
}

}  // namespace
}  // namespace kiv
