#include <gtest/gtest.h>

#include <algorithm>

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/platform_memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

// The heap is shared with every other test of the binary, so these tests
// measure changes, never absolute states.

size_t count_series_frames() {
  size_t n = 0;
  for (SeriesFrame* f = memory_state().series_first; f; f = f->next) ++n;
  return n;
}

TEST(MemoryBigSeries, BoundaryBetweenFrameAndOwnBlock) {
  struct Case {
    uint32_t bytes;
    bool big;
  } cases[] = {{2097120, false}, {2097121, true}, {2097136, true}, {100, false}};
  for (const auto& c : cases) {
    RootedNode n(alloc_bytes(c.bytes));
    SeriesBuffer* b = n.buffer();
    EXPECT_EQ((b->flags & kSeriesBig) != 0, c.big) << c.bytes;
    EXPECT_GE(static_cast<uint32_t>(b->size), c.bytes);
  }
}

TEST(MemoryBigSeries, GrowingABigSeriesKeepsTheBigBitAndTheContent) {
  RootedNode n(alloc_bytes(kBigSeriesThreshold));
  SeriesBuffer* b = n.buffer();
  b->tail = 3;
  b->head_ptr()[2] = 42;
  b = expand_series_copy(b, 0);
  EXPECT_TRUE(b->flags & kSeriesBig);
  EXPECT_EQ(b->head_ptr()[2], 42);
  EXPECT_EQ(b->size, static_cast<int32_t>(2 * kBigSeriesThreshold));
}

uint64_t big_series_bytes() {
  uint64_t n = 0;
  for (BigSeries* b = memory_state().big_first; b; b = b->next) n += b->size;
  return n;
}

// Big series that die are given back only by a collection: with none before
// a big allocation, garbage made of them alone grew without limit.
TEST(MemoryBigSeries, GarbageMadeOnlyOfBigSeriesStaysBounded) {
  init_memory();
  CollectorEnableScope on(true);
  collector::collect();
  const uint64_t live = memory_state().live_after_collection + memory_state().big_live_after_collection;
  constexpr uint32_t kBytes = 3 * kBigSeriesThreshold;  // never touched: costs address space only
  const uint64_t bound = 2 * (live + kBytes);
  const uint32_t cycles = collector::series_cycles();
  uint64_t most = 0;
  for (uint64_t made = 0; made < 2 * bound; made += kBytes) {
    alloc_bytes(kBytes);
    most = std::max(most, big_series_bytes());
  }
  EXPECT_LE(most, bound);
  EXPECT_GT(collector::series_cycles(), cycles);
}

// One live big series grown step by step: a collection before each grow
// marked the whole heap every time, for one dead buffer.
TEST(MemoryBigSeries, GrowingOneLiveBigSeriesCollectsOnlyEveryFewGrows) {
  const int saved = collector::torture_interval();
  collector::set_torture_interval(0);  // the trigger under test, not the torture mode's
  init_memory();
  CollectorEnableScope on(true);
  collector::collect();
  RootedNode grown(alloc_bytes(kBigSeriesThreshold));
  node_buffer(grown)->tail = 1;
  node_buffer(grown)->head_ptr()[0] = 42;
  const uint32_t cycles = collector::series_cycles();
  constexpr int kGrows = 30;  // by 1 MB each, to 32 MB
  for (int i = 0; i < kGrows; ++i) {
    SeriesBuffer* b = node_buffer(grown);
    expand_series_copy(b, b->size + 0x100000);
  }
  const uint32_t collections = collector::series_cycles() - cycles;
  collector::set_torture_interval(saved);
  EXPECT_GT(collections, 0u);  // the dead buffers are still given back
  EXPECT_LE(collections, static_cast<uint32_t>(kGrows / 2));
  EXPECT_EQ(node_buffer(grown)->head_ptr()[0], 42);
}

// The buffer a grow leaves is dead at once: the next big allocation gives it
// back without a collection. Inside a NoCollectScope, where C++ code may still
// read it, it stays.
TEST(MemoryBigSeries, ABufferLeftByAGrowGoesAtTheNextBigAllocationOutsideANoCollectScope) {
  const int saved = collector::torture_interval();
  collector::set_torture_interval(0);
  init_memory();
  CollectorEnableScope on(true);
  RootedNode grown(alloc_bytes(kBigSeriesThreshold));
  RootedNode kept(alloc_bytes(4 * kBigSeriesThreshold));  // live enough that no collection runs
  collector::collect();
  const uint32_t cycles = collector::series_cycles();
  const uint64_t before = big_series_bytes();
  const uint64_t old_bytes = node_buffer(grown)->size + kBufferOverhead;
  expand_series_copy(node_buffer(grown), 0);
  const uint64_t new_bytes = node_buffer(grown)->size + kBufferOverhead;
  RootedNode in_scope, after;
  {
    NoCollectScope no;
    in_scope = alloc_bytes(kBigSeriesThreshold);
    EXPECT_EQ(big_series_bytes(), before + new_bytes + in_scope.buffer()->size + kBufferOverhead);
  }
  after = alloc_bytes(kBigSeriesThreshold);
  EXPECT_EQ(big_series_bytes(), before - old_bytes + new_bytes + 2 * (after.buffer()->size + kBufferOverhead));
  EXPECT_EQ(collector::series_cycles(), cycles);
  collector::set_torture_interval(saved);
}

TEST(MemoryFrames, NoFrameHoldsMoreThanTwoMegabytesAndTheListIsSorted) {
  RootedNode keep(alloc_bytes(1500000));  // forces at least a look beyond the first frame
  SeriesFrame* first = memory_state().series_first;
  ASSERT_NE(first, nullptr);
  for (SeriesFrame* f = first; f; f = f->next) {
    EXPECT_LE(f->end - f->start, kBigSeriesThreshold);
    if (f->next) {
      EXPECT_LT(f->start, f->next->start);
    }
  }
  EXPECT_EQ(memory_state().next_frame_size, kBigSeriesThreshold);
}

TEST(MemoryFrames, RequestThatFitsNowhereMakesANewFrameWithoutCollectingWhenDisabled) {
  CollectorEnableScope off(false);
  uint32_t cycles = collector::series_cycles();
  size_t frames = count_series_frames();
  // More than any frame's free room can take, less than a big series.
  uint32_t largest_room = 0;
  for (SeriesFrame* f = memory_state().series_first; f; f = f->next) largest_room = std::max(largest_room, f->room());
  uint32_t bytes = std::min<uint32_t>(largest_room + 64, kBigSeriesThreshold - 64);
  RootedNode n(alloc_bytes(bytes));
  if (largest_room + 64 < kBigSeriesThreshold - 64) {
    EXPECT_EQ(count_series_frames(), frames + 1);
  }
  EXPECT_EQ(collector::series_cycles(), cycles);
  EXPECT_FALSE(n.buffer()->flags & kSeriesBig);
}

// A frame left with a little room (too little to be taken up again, enough
// for a small buffer) once kept every later allocation from collecting:
// frame after frame was added while garbage piled up.
TEST(MemoryFrames, AFrameLeftWithALittleRoomDoesNotPutOffCollectionsForGood) {
  init_memory();
  CollectorEnableScope on(true);
  SeriesFrame* left = memory_state().series_current;
  ASSERT_NE(left, nullptr);
  constexpr uint32_t kLeft = 1000;
  if (left->room() > kLeft + kBufferOverhead + 16) {
    alloc_bytes((left->room() - kLeft - kBufferOverhead) & ~15u);  // garbage
  }
  alloc_bytes(4 * kLeft);  // fits there no more: another frame becomes the current one
  const uint32_t cycles = collector::series_cycles();
  for (int i = 0; i < 400000; ++i) alloc_cells(2);  // garbage, about 22 MB
  EXPECT_GT(collector::series_cycles(), cycles);
}

TEST(MemoryNodes, FullFramesMakeANewFrameOfTenThousandNodes) {
  MemoryStats before = memory_stats();
  uint64_t free_nodes = 0;
  for (const auto& f : before.node_frames) free_nodes += f.free;
  std::vector<uint32_t> taken;
  taken.reserve(free_nodes + 1);
  for (uint64_t i = 0; i <= free_nodes; ++i) taken.push_back(alloc_node());
  MemoryStats after = memory_stats();
  ASSERT_EQ(after.node_frames.size(), before.node_frames.size() + 1);
  EXPECT_EQ(after.node_frames.back().total, kNodesPerFrame);
  EXPECT_EQ(after.node_frames.back().used, 1u);
  for (uint32_t n : taken) free_node(n);
  release_empty_node_frames();
  EXPECT_EQ(memory_stats().node_frames.size(), before.node_frames.size());
}

TEST(MemoryNodes, NodeIdsAreNeverZeroAndNameTheirBuffer) {
  RootedNode a(alloc_cells(1)), b(alloc_bytes(1));
  EXPECT_NE(a.get(), 0u);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(node_buffer(a.get())->node, a.get());
  EXPECT_TRUE(node_valid_q(a.get()));
  EXPECT_FALSE(node_valid_q(0));
  EXPECT_FALSE(node_valid_q(0xFFFFFFFF));
}

TEST(MemoryVirtual, RefusalRaisesNoMemoryAndLeavesTheListsAsTheyWere) {
  CollectorEnableScope off(false);
  init_memory();
  MemoryStats before = memory_stats();
  platform::refuse_virtual_allocations(1);
  try {
    alloc_bytes(3 * kBigSeriesThreshold);
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::kInternal);
    EXPECT_EQ(e.id, "no-memory");
    EXPECT_STREQ(e.what(), "internal/no-memory");
  }
  MemoryStats after = memory_stats();
  EXPECT_EQ(after.big_series.size(), before.big_series.size());
  EXPECT_EQ(after.series_frames.size(), before.series_frames.size());
  EXPECT_EQ(after.os_total, before.os_total);
  RootedNode n(alloc_bytes(3 * kBigSeriesThreshold));  // works again
  EXPECT_TRUE(n.buffer()->flags & kSeriesBig);
}

TEST(MemoryVirtual, TotalCountsWholePages) {
  CollectorEnableScope off(false);
  init_memory();
  uint64_t before = memory_state().total;
  RootedNode n(alloc_bytes(3 * kBigSeriesThreshold));
  uint64_t grown = memory_state().total - before;
  EXPECT_EQ(grown % kVirtualPageSize, 0u);
  EXPECT_GE(grown, 3ull * kBigSeriesThreshold + kBufferOverhead);
  EXPECT_LT(grown, 3ull * kBigSeriesThreshold + 2 * kVirtualPageSize);
}

}  // namespace
}  // namespace kiv
