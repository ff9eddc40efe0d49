#include <gtest/gtest.h>

#include <cstring>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

Cell block_of(uint32_t node) { return Cell{TYPE_BLOCK, 0, node, 0}; }
Cell string_of(uint32_t node) { return Cell{TYPE_STRING, 0, node, 0}; }

class Collector : public ::testing::Test {
 protected:
  CollectorEnableScope on_{true};
};

TEST_F(Collector, RootedValueSurvivesCollectionsWithItsContentWhileItsBufferMoves) {
  RootedCell outer(block_of(alloc_cells(4)));
  {
    uint32_t text = alloc_bytes(16);
    std::memcpy(series_reserve_tail_bytes(text, 5), "kiv!!", 5);
    *alloc_tail(outer.get()) = string_of(text);
  }
  for (int i = 0; i < 20; ++i) {
    alloc_bytes(100);  // garbage below the next buffers: compaction slides them
    ASSERT_TRUE(collector::collect());
    SeriesBuffer* b = node_buffer(outer->data2);
    ASSERT_EQ(b->length(), 1u);
    SeriesBuffer* t = node_buffer(b->head_cell()->data2);
    ASSERT_EQ(std::memcmp(t->head_ptr(), "kiv!!", 5), 0);
  }
  EXPECT_TRUE(collector::verify_heap().ok);
}

TEST_F(Collector, UnreachableSeriesLosesItsNode) {
  uint32_t dead = alloc_cells(2);
  ASSERT_TRUE(node_valid_q(dead));
  collector::collect();
  EXPECT_FALSE(node_valid_q(dead));
}

}  // namespace
}  // namespace kiv
