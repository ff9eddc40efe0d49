#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "runtime/collector.h"
#include "runtime/handles.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

// Every release is counted by the resource it released.
std::map<void*, int> g_released;
void count_release(void* p) { ++g_released[p]; }

int test_kind() {
  static int kind = register_handle_kind("test-resource", count_release);
  return kind;
}

Cell handle_cell(int32_t slot) { return Cell{TYPE_HANDLE, 0, 0, static_cast<uint32_t>(slot)}; }

int resources[4096];  // addresses to stand for external resources

class Handles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(test_kind(), 0);
    g_released.clear();
  }
  CollectorEnableScope on_{true};
};

TEST_F(Handles, DroppedHandleIsReleasedAtTheNextCollectionExactlyOnce) {
  int32_t kept = alloc_handle(&resources[0], test_kind());
  int32_t dropped = alloc_handle(&resources[1], test_kind());
  RootedCell value(handle_cell(kept));
  (void)dropped;
  collector::collect();
  EXPECT_EQ(g_released[&resources[1]], 1);
  EXPECT_EQ(g_released.count(&resources[0]), 0u);
  EXPECT_EQ(handle_pointer(kept), &resources[0]);
  collector::collect();
  collector::collect();
  EXPECT_EQ(g_released[&resources[1]], 1) << "released again by a later collection";
  set_unset(value.get());
  collector::collect();
  EXPECT_EQ(g_released[&resources[0]], 1);
  EXPECT_EQ(handle_kind(kept), 0);
}

TEST_F(Handles, HandleInsideAReachableBlockStaysAndNegativeSlotMeansNone) {
  RootedCell block(Cell{TYPE_BLOCK, 0, alloc_cells(2), 0});
  int32_t slot = alloc_handle(&resources[2], test_kind());  // unreferenced until stored below
  *alloc_tail(block.get()) = handle_cell(-1);
  *alloc_tail(block.get()) = handle_cell(slot);
  collector::collect();
  EXPECT_EQ(g_released.count(&resources[2]), 0u);
  EXPECT_EQ(handle_pointer(slot), &resources[2]);
  free_handle(slot, false);
}

TEST_F(Handles, SettingTheSamePointerReleasesNothingAndANewOneReleasesTheOld) {
  int32_t slot = alloc_handle(&resources[3], test_kind());
  handle_set_pointer(slot, &resources[3]);
  EXPECT_TRUE(g_released.empty());
  handle_set_pointer(slot, &resources[4]);
  EXPECT_EQ(g_released[&resources[3]], 1);
  EXPECT_EQ(handle_pointer(slot), &resources[4]);
  free_handle(slot, true);
  EXPECT_EQ(g_released[&resources[4]], 1);
}

TEST_F(Handles, FreeingTwiceOrAnUnknownSlotIsIgnored) {
  int32_t slot = alloc_handle(&resources[5], test_kind());
  uint32_t in_use = handles_in_use();
  free_handle(slot, true);
  free_handle(slot, true);
  free_handle(-3, true);
  free_handle(1 << 30, true);
  EXPECT_EQ(g_released[&resources[5]], 1);
  EXPECT_EQ(handles_in_use(), in_use - 1);
  EXPECT_FALSE(handle_mark(slot, nullptr));
}

TEST_F(Handles, TakingTheLastFreeSlotDoublesTheArrayAndKeepsEarlierSlots) {
  uint32_t capacity = handle_slot_count();
  uint32_t free_slots = capacity - handles_in_use();
  ASSERT_LE(free_slots, 4096u);
  std::vector<int32_t> slots;
  for (uint32_t i = 0; i + 1 < free_slots; ++i) slots.push_back(alloc_handle(&resources[i], test_kind()));
  EXPECT_EQ(handle_slot_count(), capacity);
  slots.push_back(alloc_handle(&resources[free_slots - 1], test_kind()));
  EXPECT_EQ(handle_slot_count(), 2 * capacity);
  for (uint32_t i = 0; i < slots.size(); ++i) ASSERT_EQ(handle_pointer(slots[i]), &resources[i]) << i;
  for (int32_t s : slots) free_handle(s, false);
  EXPECT_TRUE(g_released.empty());
}

// A module initialised many times in one process (the unit tests boot the
// runtime again and again) must not use up the kinds.
TEST_F(Handles, RegisteringTheSameKindAgainAnswersItsNumber) {
  for (int i = 0; i < 2 * kMaxHandleKinds; ++i) EXPECT_EQ(register_handle_kind("test-resource", count_release), test_kind());
  int same_name_other_release = register_handle_kind("test-resource", nullptr);
  EXPECT_GT(same_name_other_release, 0);
  EXPECT_NE(same_name_other_release, test_kind());
  EXPECT_EQ(register_handle_kind("test-resource", nullptr), same_name_other_release);
}

std::vector<void*> g_seen;
void see(void* p) { g_seen.push_back(p); }

TEST_F(Handles, ForeachOfKindVisitsOnlyThatKindInUsedListOrder) {
  static int other = register_handle_kind("other-resource", nullptr);
  int32_t a = alloc_handle(&resources[10], test_kind());
  int32_t b = alloc_handle(&resources[11], other);
  int32_t c = alloc_handle(&resources[12], test_kind());
  g_seen.clear();
  handle_foreach_of_kind(test_kind(), see);
  EXPECT_EQ(g_seen, (std::vector<void*>{&resources[12], &resources[10]}));
  for (int32_t s : {a, b, c}) free_handle(s, true);  // a kind without a callback releases nothing
  EXPECT_EQ(g_released.size(), 2u);
}

int32_t g_made_in_release = -1;
void release_and_allocate(void* p) {
  ++g_released[p];
  alloc_cells(4);  // a callback runs after the collection: it may allocate
  g_made_in_release = alloc_handle(&resources[21], test_kind());
}

TEST_F(Handles, ReleaseCallbackMayAllocateAfterTheCollection) {
  static int kind = register_handle_kind("allocating-resource", release_and_allocate);
  alloc_handle(&resources[20], kind);
  collector::collect();
  EXPECT_EQ(g_released[&resources[20]], 1);
  ASSERT_GE(g_made_in_release, 0);
  EXPECT_EQ(handle_pointer(g_made_in_release), &resources[21]);
  free_handle(g_made_in_release, false);
}

// Cell slot table.

TEST_F(Handles, SlotTableReleaseOfZeroDoesNothingAndAReleasedIndexIsReusedFirst) {
  Cell v{TYPE_INTEGER, 0, 77, 0};
  int32_t a = slot_table::keep(&v);
  int32_t b = slot_table::keep(&v);
  slot_table::release(0);
  slot_table::release(-5);
  slot_table::release(1 << 30);
  slot_table::release(a);
  EXPECT_EQ(slot_table::keep(&v), a);
  EXPECT_EQ(slot_table::get(b)->data2, 77u);
  EXPECT_EQ(slot_table::get(0), nullptr);
  slot_table::release(a);
  slot_table::release(b);
}

TEST_F(Handles, SlotTableSecondReleaseOfAnIndexIsIgnoredSoKeepNeverHandsItOutTwice) {
  Cell v{TYPE_INTEGER, 0, 5, 0};
  int32_t a = slot_table::keep(&v);
  slot_table::release(a);
  slot_table::release(a);
  EXPECT_EQ(slot_table::get(a), nullptr);
  int32_t first = slot_table::keep(&v);
  int32_t second = slot_table::keep(&v);
  EXPECT_EQ(first, a);
  EXPECT_NE(second, first);
  // The holder of second keeps its value when first's holder stores another.
  slot_table::get(first)->data2 = 6;
  EXPECT_EQ(slot_table::get(second)->data2, 5u);
  slot_table::release(first);
  slot_table::release(second);
}

TEST_F(Handles, SlotTableKeepsValuesAliveAndGrowsPastItsCapacity) {
  std::vector<int32_t> kept;
  std::vector<uint32_t> nodes;
  for (int i = 0; i < 250; ++i) {
    uint32_t n = alloc_bytes(4);
    std::memcpy(series_reserve_tail_bytes(n, 4), &i, 4);
    Cell s{TYPE_STRING, 0, n, 0};
    kept.push_back(slot_table::keep(&s));
    nodes.push_back(n);
  }
  collector::collect();
  for (int i = 0; i < 250; ++i) {
    Cell* c = slot_table::get(kept[i]);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->data2, nodes[i]);
    int v;
    std::memcpy(&v, node_buffer(c->data2)->head_ptr(), 4);
    ASSERT_EQ(v, i);
  }
  for (int32_t k : kept) slot_table::release(k);
  collector::collect();
  for (uint32_t n : nodes) EXPECT_FALSE(node_valid_q(n));
}

}  // namespace
}  // namespace kiv
